// Test doubles of the platform layer.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "platform/platform.h"

namespace lanfeng {

// Makes a platform current for the life of the scope.
class ScopedPlatform {
 public:
  explicit ScopedPlatform(Platform* platform) { SetPlatformForTesting(platform); }
  ~ScopedPlatform() { SetPlatformForTesting(nullptr); }
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;
};

// A clock that moves only when the test moves it, so a 70-second wait costs
// nothing. Everything else goes to the system's platform.
class VirtualClockPlatform : public PlatformWrapper {
 public:
  VirtualClockPlatform() : PlatformWrapper(&SystemPlatform()) {}

  int64_t NowMillis() override;
  void BlockUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                  int64_t deadline_ms) override;

  // Moves the clock forward and wakes every waiting thread.
  void Advance(int64_t ms);
  // Waits (in real time, up to a few seconds) until some thread waits for
  // exactly deadline_ms.
  bool AwaitSleeper(int64_t deadline_ms);
  // The number of threads blocked on the clock right now.
  size_t sleepers();

 private:
  std::mutex mu_;
  std::condition_variable sleepers_changed_;
  int64_t now_ = 0;
  std::multiset<int64_t> deadlines_;
};

// Kinds of file operations a FaultyFilesPlatform can fail.
enum FileOp : unsigned {
  kOpRead = 1,
  kOpWrite = 2,
  kOpRename = 4,
  kOpRemove = 8,
  kOpCreateDirectory = 16,
  kOpList = 32,
  kAllFileOps = 63,
};

// Passes file operations to the system's platform, but fails the n-th one
// (counting from 1) among the chosen kinds. A failed write leaves half of the
// contents in the file, as a crash or a full disk would.
class FaultyFilesPlatform : public PlatformWrapper {
 public:
  explicit FaultyFilesPlatform(Platform* target = &SystemPlatform()) : PlatformWrapper(target) {}

  // Fails the n-th operation of the kinds in mask; 0 fails none.
  void FailNth(unsigned mask, int n);
  // How many operations of the kinds in mask were made.
  int Count(unsigned mask) const;

  Status ReadFile(const std::string& path, std::string* contents) override;
  Status WriteFile(const std::string& path, const std::string& contents) override;
  Status RenameFile(const std::string& from, const std::string& to) override;
  Status RemoveFile(const std::string& path) override;
  Status CreateDirectory(const std::string& path) override;
  Status ListFiles(const std::string& dir, std::vector<std::string>* names) override;

  // Every CreateDirectory path, in order.
  std::vector<std::string> created_directories() const;

 private:
  bool ShouldFail(FileOp op);

  mutable std::mutex mu_;
  unsigned mask_ = 0;
  int fail_at_ = 0;
  int seen_ = 0;
  std::map<FileOp, int> counts_;
  std::vector<std::string> created_;
};

// A fresh directory under the system's temporary directory, removed with
// everything in it at the end of the scope. path() is its Windows-style GBK
// path ("\tmp\...") without a trailing "\".
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  const std::string& native() const { return native_; }

 private:
  std::string native_;
  std::string path_;
};

}  // namespace lanfeng
