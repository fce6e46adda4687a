#include "support/test_platforms.h"

#include <stdlib.h>

#include <chrono>
#include <filesystem>

namespace lanfeng {

int64_t VirtualClockPlatform::NowMillis() {
  std::lock_guard<std::mutex> lock(mu_);
  return now_;
}

void VirtualClockPlatform::BlockUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                                      int64_t deadline_ms) {
  std::multiset<int64_t>::iterator mine;
  {
    std::lock_guard<std::mutex> guard(mu_);
    if (now_ >= deadline_ms) return;
    mine = deadlines_.insert(deadline_ms);
  }
  sleepers_changed_.notify_all();
  // Woken by Advance (through WakeAllWaiters), a posted task or a stop.
  cv.wait(lock);
  {
    std::lock_guard<std::mutex> guard(mu_);
    deadlines_.erase(mine);
  }
  sleepers_changed_.notify_all();
}

void VirtualClockPlatform::Advance(int64_t ms) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    now_ += ms;
  }
  WakeAllWaiters();
}

bool VirtualClockPlatform::AwaitSleeper(int64_t deadline_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  return sleepers_changed_.wait_for(lock, std::chrono::seconds(10), [this, deadline_ms] {
    return deadlines_.count(deadline_ms) > 0;
  });
}

size_t VirtualClockPlatform::sleepers() {
  std::lock_guard<std::mutex> lock(mu_);
  return deadlines_.size();
}

void FaultyFilesPlatform::FailNth(unsigned mask, int n) {
  std::lock_guard<std::mutex> lock(mu_);
  mask_ = mask;
  fail_at_ = n;
  seen_ = 0;
}

int FaultyFilesPlatform::Count(unsigned mask) const {
  std::lock_guard<std::mutex> lock(mu_);
  int total = 0;
  for (const auto& [op, count] : counts_) {
    if (op & mask) total += count;
  }
  return total;
}

bool FaultyFilesPlatform::ShouldFail(FileOp op) {
  std::lock_guard<std::mutex> lock(mu_);
  ++counts_[op];
  if (!(op & mask_)) return false;
  return ++seen_ == fail_at_;
}

Status FaultyFilesPlatform::ReadFile(const std::string& path, std::string* contents) {
  if (ShouldFail(kOpRead)) return Status::Error("injected read failure");
  return PlatformWrapper::ReadFile(path, contents);
}

Status FaultyFilesPlatform::WriteFile(const std::string& path, const std::string& contents) {
  if (ShouldFail(kOpWrite)) {
    PlatformWrapper::WriteFile(path, contents.substr(0, contents.size() / 2));
    return Status::Error("injected write failure");
  }
  return PlatformWrapper::WriteFile(path, contents);
}

Status FaultyFilesPlatform::RenameFile(const std::string& from, const std::string& to) {
  if (ShouldFail(kOpRename)) return Status::Error("injected rename failure");
  return PlatformWrapper::RenameFile(from, to);
}

Status FaultyFilesPlatform::RemoveFile(const std::string& path) {
  if (ShouldFail(kOpRemove)) return Status::Error("injected remove failure");
  return PlatformWrapper::RemoveFile(path);
}

Status FaultyFilesPlatform::CreateDirectory(const std::string& path) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    created_.push_back(path);
  }
  if (ShouldFail(kOpCreateDirectory)) return Status::Error("injected mkdir failure");
  return PlatformWrapper::CreateDirectory(path);
}

Status FaultyFilesPlatform::ListFiles(const std::string& dir, std::vector<std::string>* names) {
  if (ShouldFail(kOpList)) return Status::Error("injected list failure");
  return PlatformWrapper::ListFiles(dir, names);
}

std::vector<std::string> FaultyFilesPlatform::created_directories() const {
  std::lock_guard<std::mutex> lock(mu_);
  return created_;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "lanfeng-XXXXXX").string();
  native_ = ::mkdtemp(pattern.data()) ? pattern : "";
  path_ = native_;
  for (char& c : path_) {
    if (c == '/') c = '\\';
  }
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!native_.empty()) std::filesystem::remove_all(native_, ignored);
}

}  // namespace lanfeng
