// The one interface between the plugin and the operating system.
//
// Nothing outside src/platform/ includes an operating-system header. Paths
// handed to this layer look as they do on Windows: GBK text with "\"
// separators, optionally a drive ("C:\...") or rooted ("\..."). Each backend
// maps them to what its system takes (see MapPath in the POSIX backend).
//
// Every call that can fail says so in its result; none throws. All methods
// are safe to call from any thread at the same time.
//
// Tests replace the current Platform with a double (see PlatformWrapper and
// tests/support/) through SetPlatformForTesting.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace lanfeng {

// The outcome of a platform call: ok, or an error with a short reason.
class Status {
 public:
  Status() = default;
  static Status Ok() { return Status(); }
  static Status NotFound(std::string message) { return Status(Code::kNotFound, std::move(message)); }
  static Status Error(std::string message) { return Status(Code::kError, std::move(message)); }

  bool ok() const { return code_ == Code::kOk; }
  bool IsNotFound() const { return code_ == Code::kNotFound; }
  const std::string& message() const { return message_; }

 private:
  enum class Code { kOk, kNotFound, kError };
  Status(Code code, std::string message) : code_(code), message_(std::move(message)) {}
  Code code_ = Code::kOk;
  std::string message_;
};

// A thread started by the platform. Join waits for it to end; destroying a
// Thread that was not joined detaches it.
class Thread {
 public:
  virtual ~Thread() = default;
  virtual void Join() = 0;
  // The system's identifier of the thread (never 0 for a started thread).
  virtual uint32_t id() const = 0;
};

// A local date and time of the wall clock.
struct CivilTime {
  int year = 1970, month = 1, day = 1;  // month 1..12, day 1..31
  int hour = 0, minute = 0, second = 0;
  int weekday = 4;               // 0 Sunday .. 6 Saturday
  int utc_offset_minutes = 0;    // local time minus UTC
};

// The warning icon of a message box (MB_ICONWARNING).
inline constexpr uint32_t kMessageBoxWarning = 0x30;

class Platform {
 public:
  virtual ~Platform() = default;

  // Files. ReadFile gives NotFound when the file does not exist.
  virtual Status ReadFile(const std::string& path, std::string* contents) = 0;
  // Creates or truncates the file and writes contents to it. On failure the
  // file may hold part of contents.
  virtual Status WriteFile(const std::string& path, const std::string& contents) = 0;
  // Renames, replacing `to` in one step if it exists.
  virtual Status RenameFile(const std::string& from, const std::string& to) = 0;
  virtual Status RemoveFile(const std::string& path) = 0;
  // True when path names an existing regular file.
  virtual bool FileExists(const std::string& path) = 0;

  // Directories. CreateDirectory makes one level; it fails if the directory
  // exists already or its parent does not.
  virtual Status CreateDirectory(const std::string& path) = 0;
  virtual bool IsDirectory(const std::string& path) = 0;
  // The names (not paths) of the regular files directly inside `dir`, in no
  // particular order.
  virtual Status ListFiles(const std::string& dir, std::vector<std::string>* names) = 0;

  // Runs a program without a shell: argv[0] is the program's path, every
  // element reaches the program as one argument, whatever blanks or quotes
  // it holds. The program gets no console window. With wait, blocks until it
  // ends and stores its exit code in *exit_code (if not null).
  virtual Status RunProcess(const std::vector<std::string>& argv, bool wait, int* exit_code) = 0;

  // The directory of the host program's executable, GBK, without a trailing
  // "\".
  virtual std::string ProgramDirectory() = 0;

  // The wall clock's local date and time now.
  virtual CivilTime LocalNow() = 0;

  // Clock: milliseconds on a monotonic scale that may run faster than real
  // time (a time scale) or only when a test moves it (a virtual clock).
  virtual int64_t NowMillis() = 0;
  // Blocks on cv (lock held by the caller) until it is notified or the clock
  // reaches deadline_ms. May return early; callers re-check their condition.
  virtual void BlockUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                          int64_t deadline_ms) = 0;

  // Shows a message box with an OK button and waits until it is closed.
  // style holds the Windows MB_ flags (icon); Linux has no desktop here and
  // writes the box to standard error.
  virtual void ShowMessageBox(const std::string& text, const std::string& title, uint32_t style) = 0;

  // A uniformly distributed random number.
  virtual uint32_t Random() = 0;

  // Starts a thread running body. Returns null if no thread could be made.
  virtual std::unique_ptr<Thread> StartThread(std::function<void()> body) = 0;
};

// Forwards every call to another Platform; test doubles override a few.
class PlatformWrapper : public Platform {
 public:
  explicit PlatformWrapper(Platform* target) : target_(target) {}
  Platform* target() const { return target_; }

  Status ReadFile(const std::string& path, std::string* contents) override {
    return target_->ReadFile(path, contents);
  }
  Status WriteFile(const std::string& path, const std::string& contents) override {
    return target_->WriteFile(path, contents);
  }
  Status RenameFile(const std::string& from, const std::string& to) override {
    return target_->RenameFile(from, to);
  }
  Status RemoveFile(const std::string& path) override { return target_->RemoveFile(path); }
  bool FileExists(const std::string& path) override { return target_->FileExists(path); }
  Status RunProcess(const std::vector<std::string>& argv, bool wait, int* exit_code) override {
    return target_->RunProcess(argv, wait, exit_code);
  }
  Status CreateDirectory(const std::string& path) override { return target_->CreateDirectory(path); }
  bool IsDirectory(const std::string& path) override { return target_->IsDirectory(path); }
  Status ListFiles(const std::string& dir, std::vector<std::string>* names) override {
    return target_->ListFiles(dir, names);
  }
  std::string ProgramDirectory() override { return target_->ProgramDirectory(); }
  CivilTime LocalNow() override { return target_->LocalNow(); }
  int64_t NowMillis() override { return target_->NowMillis(); }
  void BlockUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                  int64_t deadline_ms) override {
    target_->BlockUntil(cv, lock, deadline_ms);
  }
  void ShowMessageBox(const std::string& text, const std::string& title, uint32_t style) override {
    target_->ShowMessageBox(text, title, style);
  }
  uint32_t Random() override { return target_->Random(); }
  std::unique_ptr<Thread> StartThread(std::function<void()> body) override {
    return target_->StartThread(std::move(body));
  }

 private:
  Platform* target_;
};

// Makes the platform's process-wide objects (the system platform, the
// registry of task queues) now. Objects made after this call are destroyed
// before them, so the plugin state calls it first: its workers are joined
// before anything they use goes away.
void InitializePlatform();

// The platform in use: the system's own unless a test has set another.
Platform& CurrentPlatform();
// The system's own platform, whatever a test has set.
Platform& SystemPlatform();
// Makes `platform` current (null restores the system's own). The caller
// keeps it alive while it is current.
void SetPlatformForTesting(Platform* platform);

// ---------------------------------------------------------------------------
// Per-thread task queues: what the Windows message queue is to a thread.
//
// Any thread may post a task to another thread's queue; the task runs on the
// owning thread when that thread next waits in WaitUntil or calls
// RunPendingTasks. A stop request wakes every wait of the owning thread at
// once and makes its later waits return at once.

class TaskQueue;
using TaskQueueRef = std::shared_ptr<TaskQueue>;

// The calling thread's queue, made on first use.
TaskQueueRef ThisThreadQueue();
// Queues task for the owning thread. False when the queue has been stopped.
bool PostTask(const TaskQueueRef& queue, std::function<void()> task);
// Runs the tasks already posted to the calling thread.
void RunPendingTasks();
// Asks the owning thread to stop waiting; lasts for the queue's life.
void RequestStop(const TaskQueueRef& queue);
bool StopRequested(const TaskQueueRef& queue);
// Forgets the calling thread's queue; threads made by StartThread do this as
// they end. A later ThisThreadQueue makes a new one.
void ReleaseThisThreadQueue();

enum class WaitResult { kTimeUp, kStopped };
// Waits until the clock reaches deadline_ms, running the calling thread's
// posted tasks meanwhile. A task does not move the deadline.
WaitResult WaitUntil(int64_t deadline_ms);
// Wakes every waiting thread so that it re-reads the clock (used by clocks
// that a test moves).
void WakeAllWaiters();

// GBK (Windows code page 936) to UTF-8 and back. False, with *out
// unspecified, when the input holds a sequence without a counterpart.
bool GbkToUtf8(const std::string& gbk, std::string* out);
bool Utf8ToGbk(const std::string& utf8, std::string* out);

// The address of `symbol` in the library named `library` (its Windows name,
// such as "Bot.dll"), only if the host process has loaded that library
// already: a file planted on the search path is never loaded. Null when the
// library or the symbol is missing.
void* FindLoadedLibrarySymbol(const std::string& library, const char* symbol);

// Writes a developer trace line (GBK) to standard error when the environment
// setting LANFENG_TRACE is 1. Hosts never see it.
void DebugTrace(const std::string& line);

// Reads an environment setting; empty when unset.
std::string EnvironmentSetting(const char* name);

}  // namespace lanfeng
