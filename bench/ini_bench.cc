// INI reads and writes against the bare cost of reading the same file.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"
#include "runtime/ini_file.h"

namespace lanfeng {
namespace {

// A data configuration file as an owner's settings leave it.
struct DataFile {
  DataFile() {
    char pattern[] = "/tmp/lanfeng-bench-XXXXXX";
    native_dir = mkdtemp(pattern);
    native = native_dir + "/data.ini";
    path = native;
    for (char& c : path) {
      if (c == '/') c = '\\';
    }
    const std::string tpl = "账号：【账号号码】【换行】时间：【现行时间】【换行】" + std::string(120, 'x');
    WriteIniKey(path, "数据配置", "QQ邮箱账号", "10001@qq.com");
    WriteIniKey(path, "数据配置", "QQ邮箱授权码", "abcdefghijklmnop");
    WriteIniKey(path, "数据配置", "通知QQ邮箱", "10002@qq.com");
    WriteIniKey(path, "数据配置", "账号上线邮件内容", tpl);
    WriteIniKey(path, "数据配置", "账号下线邮件内容", tpl);
    WriteIniKey(path, "数据配置", "删除离线账号", "0");
    WriteIniKey(path, "数据配置", "开启邮件监控", "1");
  }
  ~DataFile() {
    unlink(native.c_str());
    rmdir(native_dir.c_str());
  }
  std::string native_dir, native, path;
};

DataFile& File() {
  static DataFile file;
  return file;
}

void BM_BareOpenReadClose(benchmark::State& state) {
  const std::string& native = File().native;
  char buffer[16384];
  for (auto _ : state) {
    int fd = open(native.c_str(), O_RDONLY);
    ssize_t n = read(fd, buffer, sizeof buffer);
    close(fd);
    benchmark::DoNotOptimize(n);
  }
}
BENCHMARK(BM_BareOpenReadClose);

// What replacing the file in one step costs at the least: write a sibling
// with the same contents, rename it over the file.
void BM_BareWriteAndRename(benchmark::State& state) {
  const std::string& native = File().native;
  const std::string sibling = native + ".tmp";
  char buffer[16384];
  int fd = open(native.c_str(), O_RDONLY);
  ssize_t size = read(fd, buffer, sizeof buffer);
  close(fd);
  for (auto _ : state) {
    int out = open(sibling.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    benchmark::DoNotOptimize(write(out, buffer, static_cast<size_t>(size)));
    close(out);
    rename(sibling.c_str(), native.c_str());
  }
}
BENCHMARK(BM_BareWriteAndRename);

void BM_ReadIniKey(benchmark::State& state) {
  const std::string& path = File().path;
  for (auto _ : state) benchmark::DoNotOptimize(ReadIniKey(path, "数据配置", "开启邮件监控"));
}
BENCHMARK(BM_ReadIniKey);

void BM_WriteIniKey(benchmark::State& state) {
  const std::string& path = File().path;
  int i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(WriteIniKey(path, "数据配置", "删除离线账号", (++i & 1) ? "1" : "0"));
}
BENCHMARK(BM_WriteIniKey);

}  // namespace
}  // namespace lanfeng

BENCHMARK_MAIN();
