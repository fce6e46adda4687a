// The POSIX backend of the platform layer.
//
// Path mapping: a GBK path is converted to UTF-8 first and only then are its
// "\" separators turned into "/", since the trail byte of a GBK character can
// be 0x5C (乗 is 81 5C) and a byte-wise replacement would split it. A drive
// "X:" maps to the directory $LANFENG_DRIVES/x (default /mnt/x).
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

extern char** environ;

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <type_traits>

#include "platform/platform.h"

namespace lanfeng {
namespace {

bool IsAscii(const std::string& text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

// The iconv descriptors of one conversion, kept for reuse: opening one costs
// more than converting a short text. Each serves one thread at a time.
// Constant-initialized and trivially destructible, so it serves before and
// after every other object of the library; unloading closes the kept
// descriptors, and from then on each conversion closes its own.
class IconvPool {
 public:
  constexpr IconvPool(const char* to, const char* from) : to_(to), from_(from) {}

  // A descriptor in its initial state, or (iconv_t)-1.
  iconv_t Take() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (count_ > 0) return kept_[--count_];
    }
    return iconv_open(to_, from_);
  }
  // Puts back a descriptor of Take, after returning it to its initial state.
  void Give(iconv_t cd) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!closed_ && count_ < kKept) {
        kept_[count_++] = cd;
        return;
      }
    }
    iconv_close(cd);
  }
  void Close() {
    std::lock_guard<std::mutex> lock(mu_);
    closed_ = true;
    while (count_ > 0) iconv_close(kept_[--count_]);
  }

 private:
  static constexpr size_t kKept = 4;
  const char* to_;
  const char* from_;
  std::mutex mu_;
  iconv_t kept_[kKept] = {};
  size_t count_ = 0;
  bool closed_ = false;
};

static_assert(std::is_trivially_destructible_v<IconvPool>);

IconvPool gbk_to_utf8("UTF-8", "GBK");
IconvPool utf8_to_gbk("GBK", "UTF-8");

// Closes the pools' descriptors when the library is unloaded.
struct IconvPoolsCloser {
  ~IconvPoolsCloser() {
    gbk_to_utf8.Close();
    utf8_to_gbk.Close();
  }
} iconv_pools_closer;

// Converts with iconv; false on an invalid or unconvertible sequence.
bool Iconv(IconvPool& pool, const std::string& in, std::string* out) {
  iconv_t cd = pool.Take();
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  out->assign(in.size() * 2 + 8, '\0');
  char* src = const_cast<char*>(in.data());
  size_t src_left = in.size();
  char* dst = &(*out)[0];
  size_t dst_left = out->size();
  bool ok = iconv(cd, &src, &src_left, &dst, &dst_left) != static_cast<size_t>(-1) &&
            iconv(cd, nullptr, nullptr, &dst, &dst_left) != static_cast<size_t>(-1);
  pool.Give(cd);
  if (!ok) return false;
  out->resize(out->size() - dst_left);
  return true;
}

Status ErrnoStatus(const std::string& what, int error) {
  std::string message = what + ": " + std::strerror(error);
  if (error == ENOENT) return Status::NotFound(message);
  return Status::Error(message);
}

// Maps a Windows-style GBK path to a native UTF-8 path. False when the path
// is not valid GBK.
bool MapPath(const std::string& path, std::string* native) {
  std::string utf8;
  if (!GbkToUtf8(path, &utf8)) return false;
  std::string prefix;
  if (utf8.size() >= 2 && utf8[1] == ':' && std::isalpha(static_cast<unsigned char>(utf8[0]))) {
    std::string drives = EnvironmentSetting("LANFENG_DRIVES");
    if (drives.empty()) drives = "/mnt";
    prefix = drives + "/" + static_cast<char>(std::tolower(static_cast<unsigned char>(utf8[0])));
    utf8.erase(0, 2);
    if (!utf8.empty() && utf8[0] != '\\') prefix += "/";
  }
  for (char& c : utf8) {
    if (c == '\\') c = '/';
  }
  *native = prefix + utf8;
  return true;
}

// A rooted or drive path with a separator, which the program must get in
// its native form.
bool LooksLikeWindowsPath(const std::string& text) {
  bool drive = text.size() >= 3 && text[1] == ':' && text[2] == '\\' &&
               std::isalpha(static_cast<unsigned char>(text[0]));
  return drive || (text.size() >= 2 && text[0] == '\\' && text[1] != '\\');
}

class PosixThread : public Thread {
 public:
  PosixThread(std::thread thread, uint32_t id) : thread_(std::move(thread)), id_(id) {}
  ~PosixThread() override {
    if (thread_.joinable()) thread_.detach();
  }
  void Join() override {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
  }
  uint32_t id() const override { return id_; }

 private:
  std::thread thread_;
  uint32_t id_;
};

class PosixPlatform : public Platform {
 public:
  PosixPlatform() : start_(std::chrono::steady_clock::now()), random_(std::random_device{}()) {
    std::string scale = EnvironmentSetting("LANFENG_TIME_SCALE");
    if (!scale.empty()) {
      double value = std::strtod(scale.c_str(), nullptr);
      if (value >= 1 && value <= 1e6) time_scale_ = value;
    }
  }

  Status ReadFile(const std::string& path, std::string* contents) override {
    std::string native;
    if (!MapPath(path, &native)) return Status::Error("path is not GBK");
    int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ErrnoStatus(native, errno);
    contents->clear();
    char buffer[16384];
    for (;;) {
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n == 0) break;
      if (n < 0) {
        if (errno == EINTR) continue;
        int error = errno;
        ::close(fd);
        return ErrnoStatus(native, error);
      }
      contents->append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return Status::Ok();
  }

  Status WriteFile(const std::string& path, const std::string& contents) override {
    std::string native;
    if (!MapPath(path, &native)) return Status::Error("path is not GBK");
    int fd = ::open(native.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return ErrnoStatus(native, errno);
    const char* data = contents.data();
    size_t left = contents.size();
    while (left > 0) {
      ssize_t n = ::write(fd, data, left);
      if (n < 0) {
        if (errno == EINTR) continue;
        int error = errno;
        ::close(fd);
        return ErrnoStatus(native, error);
      }
      data += n;
      left -= static_cast<size_t>(n);
    }
    if (::close(fd) != 0) return ErrnoStatus(native, errno);
    return Status::Ok();
  }

  Status RenameFile(const std::string& from, const std::string& to) override {
    std::string native_from, native_to;
    if (!MapPath(from, &native_from) || !MapPath(to, &native_to)) {
      return Status::Error("path is not GBK");
    }
    if (::rename(native_from.c_str(), native_to.c_str()) != 0) return ErrnoStatus(native_to, errno);
    return Status::Ok();
  }

  Status RemoveFile(const std::string& path) override {
    std::string native;
    if (!MapPath(path, &native)) return Status::Error("path is not GBK");
    if (::unlink(native.c_str()) != 0) return ErrnoStatus(native, errno);
    return Status::Ok();
  }

  bool FileExists(const std::string& path) override {
    std::string native;
    if (!MapPath(path, &native)) return false;
    struct stat info;
    return ::stat(native.c_str(), &info) == 0 && S_ISREG(info.st_mode);
  }

  Status RunProcess(const std::vector<std::string>& argv, bool wait, int* exit_code) override {
    if (argv.empty()) return Status::Error("no program");
    std::vector<std::string> native(argv.size());
    if (!MapPath(argv[0], &native[0])) return Status::Error("path is not GBK");
    for (size_t i = 1; i < argv.size(); ++i) {
      // Arguments that hold paths are mapped; other texts reach the program as UTF-8.
      if (!GbkToUtf8(argv[i], &native[i])) native[i] = argv[i];
      if (LooksLikeWindowsPath(argv[i])) MapPath(argv[i], &native[i]);
    }
    std::vector<char*> pointers;
    for (std::string& arg : native) pointers.push_back(&arg[0]);
    pointers.push_back(nullptr);
    if (::access(native[0].c_str(), X_OK) != 0) return ErrnoStatus(native[0], errno);
    pid_t pid = 0;
    if (wait) {
      int error = ::posix_spawn(&pid, native[0].c_str(), nullptr, nullptr, pointers.data(), environ);
      if (error != 0) return ErrnoStatus(native[0], error);
    } else {
      // Nobody waits for the program: an intermediate child starts it and
      // ends at once, so the program is adopted by init and never lingers
      // as a zombie, and no thread of ours outlives the call.
      pid = ::fork();
      if (pid < 0) return ErrnoStatus("fork", errno);
      if (pid == 0) {
        if (::fork() == 0) {
          ::execve(native[0].c_str(), pointers.data(), environ);
          ::_exit(127);
        }
        ::_exit(0);
      }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
      if (errno != EINTR) return ErrnoStatus(native[0], errno);
    }
    if (wait && exit_code) *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return Status::Ok();
  }

  Status CreateDirectory(const std::string& path) override {
    std::string native;
    if (!MapPath(path, &native)) return Status::Error("path is not GBK");
    if (::mkdir(native.c_str(), 0755) != 0) return ErrnoStatus(native, errno);
    return Status::Ok();
  }

  bool IsDirectory(const std::string& path) override {
    std::string native;
    if (!MapPath(path, &native)) return false;
    struct stat info;
    return ::stat(native.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  }

  Status ListFiles(const std::string& dir, std::vector<std::string>* names) override {
    std::string native;
    if (!MapPath(dir, &native)) return Status::Error("path is not GBK");
    names->clear();
    DIR* stream = ::opendir(native.c_str());
    if (stream == nullptr) return ErrnoStatus(native, errno);
    int dir_fd = ::dirfd(stream);
    while (struct dirent* entry = ::readdir(stream)) {
      struct stat info;
      if (::fstatat(dir_fd, entry->d_name, &info, 0) != 0 || !S_ISREG(info.st_mode)) continue;
      std::string gbk;
      if (Utf8ToGbk(entry->d_name, &gbk)) names->push_back(std::move(gbk));
    }
    ::closedir(stream);
    return Status::Ok();
  }

  std::string ProgramDirectory() override {
    std::string native = EnvironmentSetting("LANFENG_PROGRAM_DIR");
    if (native.empty()) {
      char buffer[4096];
      ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
      if (n > 0) {
        native.assign(buffer, static_cast<size_t>(n));
        native.erase(native.find_last_of('/') == std::string::npos ? 0 : native.find_last_of('/'));
      }
    }
    while (native.size() > 1 && native.back() == '/') native.pop_back();
    std::string gbk;
    if (!Utf8ToGbk(native, &gbk)) gbk = native;
    for (char& c : gbk) {
      if (c == '/') c = '\\';
    }
    return gbk;
  }

  CivilTime LocalNow() override {
    time_t now = ::time(nullptr);
    struct tm local;
    ::localtime_r(&now, &local);
    CivilTime time;
    time.year = local.tm_year + 1900;
    time.month = local.tm_mon + 1;
    time.day = local.tm_mday;
    time.hour = local.tm_hour;
    time.minute = local.tm_min;
    time.second = local.tm_sec;
    time.weekday = local.tm_wday;
    time.utc_offset_minutes = static_cast<int>(local.tm_gmtoff / 60);
    return time;
  }

  int64_t NowMillis() override {
    auto elapsed = std::chrono::steady_clock::now() - start_;
    double ms = std::chrono::duration<double, std::milli>(elapsed).count();
    return static_cast<int64_t>(ms * time_scale_);
  }

  void BlockUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                  int64_t deadline_ms) override {
    int64_t left = deadline_ms - NowMillis();
    if (left <= 0) return;
    cv.wait_for(lock, std::chrono::duration<double, std::milli>(left / time_scale_ + 0.05));
  }

  void ShowMessageBox(const std::string& text, const std::string& title, uint32_t) override {
    std::string shown = "[message box] " + title + "\n" + text + "\n";
    std::string utf8;
    if (!GbkToUtf8(shown, &utf8)) utf8 = shown;
    ssize_t ignored = ::write(2, utf8.data(), utf8.size());
    (void)ignored;
  }

  uint32_t Random() override {
    std::lock_guard<std::mutex> lock(random_mu_);
    return random_();
  }

  std::unique_ptr<Thread> StartThread(std::function<void()> body) override {
    std::atomic<uint32_t> id{0};
    std::mutex mu;
    std::condition_variable started;
    std::thread thread;
    try {
      thread = std::thread([&id, &mu, &started, body = std::move(body)]() {
        {
          // Notified under the lock: once it is released the starter may
          // return and these variables go.
          std::lock_guard<std::mutex> lock(mu);
          id = static_cast<uint32_t>(::syscall(SYS_gettid));
          started.notify_all();
        }
        try {
          body();
        } catch (...) {
        }
        ReleaseThisThreadQueue();
      });
    } catch (...) {
      return nullptr;
    }
    std::unique_lock<std::mutex> lock(mu);
    started.wait(lock, [&id] { return id.load() != 0; });
    return std::make_unique<PosixThread>(std::move(thread), id.load());
  }

 private:
  std::chrono::steady_clock::time_point start_;
  double time_scale_ = 1.0;
  std::mutex random_mu_;
  std::mt19937 random_;
};

std::atomic<Platform*> test_platform{nullptr};

}  // namespace

bool GbkToUtf8(const std::string& gbk, std::string* out) {
  if (IsAscii(gbk)) {
    *out = gbk;
    return true;
  }
  return Iconv(gbk_to_utf8, gbk, out);
}

bool Utf8ToGbk(const std::string& utf8, std::string* out) {
  if (IsAscii(utf8)) {
    *out = utf8;
    return true;
  }
  return Iconv(utf8_to_gbk, utf8, out);
}

std::string EnvironmentSetting(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

void* FindLoadedLibrarySymbol(const std::string& library, const char* symbol) {
  // "Bot.dll" is "libBot.so" here.
  std::string name = library;
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".dll") == 0) name.resize(name.size() - 4);
  name = "lib" + name + ".so";
  void* handle = ::dlopen(name.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (handle == nullptr) return nullptr;
  void* address = ::dlsym(handle, symbol);
  ::dlclose(handle);  // drops only the reference RTLD_NOLOAD added
  return address;
}

void DebugTrace(const std::string& line) {
  static const bool enabled = EnvironmentSetting("LANFENG_TRACE") == "1";
  if (!enabled) return;
  std::string utf8;
  if (!GbkToUtf8(line, &utf8)) utf8 = line;
  char stamp[48];
  std::snprintf(stamp, sizeof stamp, "[lanfeng %8.1fs] ", CurrentPlatform().NowMillis() / 1000.0);
  utf8 = stamp + utf8 + "\n";
  ssize_t ignored = ::write(2, utf8.data(), utf8.size());
  (void)ignored;
}

Platform& SystemPlatform() {
  static PosixPlatform platform;
  return platform;
}

Platform& CurrentPlatform() {
  Platform* platform = test_platform.load(std::memory_order_acquire);
  return platform ? *platform : SystemPlatform();
}

void SetPlatformForTesting(Platform* platform) {
  test_platform.store(platform, std::memory_order_release);
}

}  // namespace lanfeng
