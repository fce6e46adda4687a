// The Windows backend of the platform layer.
//
// Paths arrive as Windows paths in GBK (code page 936); each is converted to
// UTF-16 and handed to the wide-character calls, so a name that the host
// process's ANSI code page could not spell still works. Texts going to
// people (message boxes) and programs (command lines) are converted the
// same way.
#include <windows.h>
#include <bcrypt.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>

// <windows.h> names this after its A and W variants; the platform's own
// method of the same name must keep its name.
#undef CreateDirectory

#include "platform/platform.h"
#include "platform/win32/message_wait.h"
#include "platform/win32/wide_text.h"

namespace lanfeng {
namespace {

bool IsAscii(const std::string& text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

}  // namespace

bool ToWide(UINT page, const std::string& text, bool strict, std::wstring* wide) {
  wide->clear();
  if (text.empty()) return true;
  if (text.size() > 0x7FFFFFFF) return false;
  const DWORD flags = strict ? MB_ERR_INVALID_CHARS : 0;
  const int size = static_cast<int>(text.size());
  int length = ::MultiByteToWideChar(page, flags, text.data(), size, nullptr, 0);
  if (length <= 0) return false;
  wide->resize(static_cast<size_t>(length));
  return ::MultiByteToWideChar(page, flags, text.data(), size, &(*wide)[0], length) == length;
}

bool FromWide(UINT page, const std::wstring& wide, bool strict, std::string* text) {
  text->clear();
  if (wide.empty()) return true;
  if (wide.size() > 0x7FFFFFFF) return false;
  const int size = static_cast<int>(wide.size());
  DWORD flags = 0;
  BOOL used_default = FALSE;
  BOOL* used_default_out = nullptr;
  if (strict && page == CP_UTF8) flags = WC_ERR_INVALID_CHARS;
  if (strict && page != CP_UTF8) used_default_out = &used_default;
  int length =
      ::WideCharToMultiByte(page, flags, wide.data(), size, nullptr, 0, nullptr, used_default_out);
  if (length <= 0 || used_default) return false;
  text->resize(static_cast<size_t>(length));
  used_default = FALSE;
  length = ::WideCharToMultiByte(page, flags, wide.data(), size, &(*text)[0], length, nullptr,
                                 used_default_out);
  return length == static_cast<int>(text->size()) && !used_default;
}

bool WidePath(const std::string& path, std::wstring* wide) {
  if (path.find('\0') != std::string::npos) return false;
  return ToWide(kGbkCodePage, path, true, wide);
}

std::wstring WideText(const std::string& gbk) {
  std::wstring wide;
  ToWide(kGbkCodePage, gbk, false, &wide);
  return wide;
}

std::string GbkText(const std::wstring& wide) {
  std::string gbk;
  FromWide(kGbkCodePage, wide, false, &gbk);
  return gbk;
}

std::wstring SystemMessage(DWORD error) {
  wchar_t* buffer = nullptr;
  DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring wide = length > 0 && buffer != nullptr ? std::wstring(buffer, length) : L"";
  if (buffer != nullptr) ::LocalFree(buffer);
  while (!wide.empty() && (wide.back() == L'\r' || wide.back() == L'\n' || wide.back() == L' ')) {
    wide.pop_back();
  }
  return wide;
}

namespace {

// The system's wording of an error code, in GBK, without the line break.
std::string SystemErrorText(DWORD error) {
  std::string text = GbkText(SystemMessage(error));
  return text.empty() ? "error " + std::to_string(error) : text;
}

// A failed call on `what` (a GBK path) as a Status: NotFound when the file
// or a directory on its way is missing.
Status WindowsError(const std::string& what, DWORD error) {
  std::string message = what + ": " + SystemErrorText(error);
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
    return Status::NotFound(message);
  return Status::Error(message);
}

Status NotGbk() { return Status::Error("path is not GBK"); }

// Closes a handle when it goes out of scope.
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() { Close(); }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  // Closes now; false when CloseHandle failed.
  bool Close() {
    bool ok = true;
    if (valid()) ok = ::CloseHandle(handle_) != 0;
    handle_ = nullptr;
    return ok;
  }

 private:
  HANDLE handle_;
};

// One argument of a command line as the Microsoft C runtime (and
// CommandLineToArgvW) splits it back: quoted when it is empty or holds a
// blank or a quote; inside quotes, backslashes are doubled only where a
// quote follows them, and a quote inside the text is escaped.
void AppendQuotedArgument(const std::wstring& argument, std::wstring* line) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    *line += argument;
    return;
  }
  *line += L'"';
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      line->append(backslashes * 2 + 1, L'\\');
    } else {
      line->append(backslashes, L'\\');
    }
    backslashes = 0;
    *line += c;
  }
  line->append(backslashes * 2, L'\\');
  *line += L'"';
}

// The command line of argv: the program's path in quotes (a file name holds
// no quote, and the runtime takes the program name up to the next quote
// without escapes), then each argument quoted as it needs.
std::wstring BuildCommandLine(const std::vector<std::wstring>& argv) {
  std::wstring line = L"\"" + argv[0] + L"\"";
  for (size_t i = 1; i < argv.size(); ++i) {
    line += L' ';
    AppendQuotedArgument(argv[i], &line);
  }
  return line;
}

// What a platform thread and its Thread object share. The thread's end is
// settled between them once: either the body finished first (the thread
// parks, and the Thread object ends it and frees this), or the Thread
// object was dropped first (the thread ends as any thread does and frees
// this itself).
struct ThreadControl {
  enum State : int { kRunning, kFinished, kDetached };
  std::function<void()> body;
  std::atomic<int> state{kRunning};
  HANDLE started = nullptr;   // the thread runs: set once, first thing
  HANDLE finished = nullptr;  // manual-reset: the body is done, the thread parked
};

// A platform thread: runs the body, forgets its task queue, and then tells
// the joiner that it will never again run code of this library, and parks.
//
// The park is what makes joining safe while the library is being unloaded:
// the unloading thread holds the loader lock, and a thread that ends needs
// that lock, so waiting for a worker to end would never return. The worker
// instead signals the event and blocks in one system call that never
// returns into this library; the joiner then ends it (TerminateThread on a
// thread that holds no lock and runs none of our code).
DWORD WINAPI ThreadMain(void* param) {
  auto* control = static_cast<ThreadControl*>(param);
  // The thread's message queue is made now, while the starter waits, rather
  // than in its first wait: making it may take the loader lock, which an
  // unloading thread holds while it joins this one.
  MSG message;
  ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
  ::SetEvent(control->started);  // the starter closes it
  try {
    control->body();
  } catch (...) {
  }
  control->body = nullptr;  // what it captured goes before the library may
  ReleaseThisThreadQueue();
  int running = ThreadControl::kRunning;
  if (control->state.compare_exchange_strong(running, ThreadControl::kFinished)) {
    // The pseudo-handle of the process is signalled only when the process
    // has ended: the wait never returns.
    ::SignalObjectAndWait(control->finished, ::GetCurrentProcess(), INFINITE, FALSE);
    return 0;
  }
  ::CloseHandle(control->finished);  // detached: nobody joins
  delete control;
  return 0;
}

class WindowsThread : public Thread {
 public:
  WindowsThread(HANDLE thread, ThreadControl* control, uint32_t id)
      : thread_(thread), control_(control), id_(id) {}

  ~WindowsThread() override {
    int running = ThreadControl::kRunning;
    if (!joined_ && control_->state.compare_exchange_strong(running, ThreadControl::kDetached)) {
      ::CloseHandle(thread_);  // the thread frees the control block
      return;
    }
    Join();  // finished already: it is parked, and ended here
    ::CloseHandle(thread_);
    ::CloseHandle(control_->finished);
    delete control_;
  }

  void Join() override {
    if (joined_ || ::GetCurrentThreadId() == id_) return;
    HANDLE handles[2] = {control_->finished, thread_};
    DWORD result = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    if (result == WAIT_OBJECT_0) {
      // Parked for good (see ThreadMain): end it. Its end needs no lock, and
      // it need not be waited for long, since it runs nothing of ours.
      ::TerminateThread(thread_, 0);
      ::WaitForSingleObject(thread_, 5000);
    }
    // Otherwise the thread was ended from outside (at process exit, every
    // thread is ended before the libraries are told).
    joined_ = result == WAIT_OBJECT_0 || result == WAIT_OBJECT_0 + 1;
  }

  uint32_t id() const override { return id_; }

 private:
  HANDLE thread_;
  ThreadControl* control_;
  uint32_t id_;
  bool joined_ = false;
};

class WindowsPlatform : public Platform {
 public:
  WindowsPlatform() : start_(std::chrono::steady_clock::now()), fallback_random_(::GetTickCount()) {
    std::string scale = EnvironmentSetting("LANFENG_TIME_SCALE");
    if (!scale.empty()) {
      double value = std::strtod(scale.c_str(), nullptr);
      if (value >= 1 && value <= 1e6) time_scale_ = value;
    }
  }

  double time_scale() const { return time_scale_; }

  Status ReadFile(const std::string& path, std::string* contents) override {
    std::wstring wide;
    if (!WidePath(path, &wide)) return NotGbk();
    ScopedHandle file(::CreateFileW(wide.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return WindowsError(path, ::GetLastError());
    contents->clear();
    char buffer[16384];
    for (;;) {
      DWORD read = 0;
      if (!::ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr)) {
        return WindowsError(path, ::GetLastError());
      }
      if (read == 0) break;
      contents->append(buffer, read);
    }
    return Status::Ok();
  }

  Status WriteFile(const std::string& path, const std::string& contents) override {
    std::wstring wide;
    if (!WidePath(path, &wide)) return NotGbk();
    ScopedHandle file(::CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return WindowsError(path, ::GetLastError());
    const char* data = contents.data();
    size_t left = contents.size();
    while (left > 0) {
      DWORD piece = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
      DWORD written = 0;
      if (!::WriteFile(file.get(), data, piece, &written, nullptr)) {
        return WindowsError(path, ::GetLastError());
      }
      data += written;
      left -= written;
    }
    if (!file.Close()) return WindowsError(path, ::GetLastError());
    return Status::Ok();
  }

  Status RenameFile(const std::string& from, const std::string& to) override {
    std::wstring wide_from, wide_to;
    if (!WidePath(from, &wide_from) || !WidePath(to, &wide_to)) return NotGbk();
    if (!::MoveFileExW(wide_from.c_str(), wide_to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return WindowsError(to, ::GetLastError());
    }
    return Status::Ok();
  }

  Status RemoveFile(const std::string& path) override {
    std::wstring wide;
    if (!WidePath(path, &wide)) return NotGbk();
    if (!::DeleteFileW(wide.c_str())) return WindowsError(path, ::GetLastError());
    return Status::Ok();
  }

  bool FileExists(const std::string& path) override {
    std::wstring wide;
    if (!WidePath(path, &wide)) return false;
    DWORD attributes = ::GetFileAttributesW(wide.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }

  Status RunProcess(const std::vector<std::string>& argv, bool wait, int* exit_code) override {
    if (argv.empty()) return Status::Error("no program");
    std::vector<std::wstring> wide(argv.size());
    if (!WidePath(argv[0], &wide[0]) || wide[0].find(L'"') != std::wstring::npos) return NotGbk();
    for (size_t i = 1; i < argv.size(); ++i) {
      if (argv[i].find('\0') != std::string::npos) return Status::Error("an argument holds a NUL");
      wide[i] = WideText(argv[i]);
    }
    std::wstring line = BuildCommandLine(wide);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process = {};
    // CreateProcessW may write to the command line: it gets a copy.
    if (!::CreateProcessW(wide[0].c_str(), &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                          nullptr, nullptr, &startup, &process)) {
      return WindowsError(argv[0], ::GetLastError());
    }
    ScopedHandle process_handle(process.hProcess);
    ScopedHandle thread_handle(process.hThread);
    if (wait) {
      ::WaitForSingleObject(process.hProcess, INFINITE);
      DWORD code = 0;
      if (!::GetExitCodeProcess(process.hProcess, &code))
        return WindowsError(argv[0], ::GetLastError());
      if (exit_code != nullptr) *exit_code = static_cast<int>(code);
    }
    return Status::Ok();
  }

  Status CreateDirectory(const std::string& path) override {
    std::wstring wide;
    if (!WidePath(path, &wide)) return NotGbk();
    if (!::CreateDirectoryW(wide.c_str(), nullptr)) return WindowsError(path, ::GetLastError());
    return Status::Ok();
  }

  bool IsDirectory(const std::string& path) override {
    std::wstring wide;
    if (!WidePath(path, &wide)) return false;
    DWORD attributes = ::GetFileAttributesW(wide.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }

  Status ListFiles(const std::string& dir, std::vector<std::string>* names) override {
    std::wstring pattern;
    if (!WidePath(dir, &pattern)) return NotGbk();
    names->clear();
    // The separator is looked for in UTF-16, where no character hides one.
    if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/') pattern += L'\\';
    pattern += L'*';
    WIN32_FIND_DATAW entry;
    HANDLE search = ::FindFirstFileW(pattern.c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
      DWORD error = ::GetLastError();
      // An existing directory that is empty (no "." either, at a root).
      if (error == ERROR_FILE_NOT_FOUND && IsDirectory(dir)) return Status::Ok();
      return WindowsError(dir, error);
    }
    do {
      if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
      std::string gbk;
      // A name GBK cannot spell is left out: no path of ours could open it.
      if (FromWide(kGbkCodePage, entry.cFileName, true, &gbk)) names->push_back(std::move(gbk));
    } while (::FindNextFileW(search, &entry));
    DWORD error = ::GetLastError();
    ::FindClose(search);
    if (error != ERROR_NO_MORE_FILES) return WindowsError(dir, error);
    return Status::Ok();
  }

  std::string ProgramDirectory() override {
    std::string directory = EnvironmentSetting("LANFENG_PROGRAM_DIR");
    if (directory.empty()) {
      std::wstring path(MAX_PATH, L'\0');
      for (;;) {
        DWORD length = ::GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) {
          path.clear();
          break;
        }
        if (length < path.size()) {
          path.resize(length);
          break;
        }
        path.resize(path.size() * 2);  // cut short: try a larger buffer
      }
      size_t slash = path.find_last_of(L"\\/");
      path.erase(slash == std::wstring::npos ? 0 : slash);
      directory = GbkText(path);
    }
    // Without trailing separators; a final 5C byte may be the second half
    // of a GBK character, so the last whole character is what counts.
    while (directory.size() > 1 && directory.back() == '\\') {
      std::wstring wide = WideText(directory);
      if (wide.empty() || wide.back() != L'\\') break;
      directory.pop_back();
    }
    return directory;
  }

  CivilTime LocalNow() override {
    SYSTEMTIME local;
    ::GetLocalTime(&local);
    TIME_ZONE_INFORMATION zone;
    DWORD kind = ::GetTimeZoneInformation(&zone);
    CivilTime time;
    time.year = local.wYear;
    time.month = local.wMonth;
    time.day = local.wDay;
    time.hour = local.wHour;
    time.minute = local.wMinute;
    time.second = local.wSecond;
    time.weekday = local.wDayOfWeek;
    if (kind != TIME_ZONE_ID_INVALID) {
      LONG bias = zone.Bias;  // UTC minus local time, in minutes
      if (kind == TIME_ZONE_ID_DAYLIGHT) bias += zone.DaylightBias;
      if (kind == TIME_ZONE_ID_STANDARD) bias += zone.StandardBias;
      time.utc_offset_minutes = -bias;
    }
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

  void ShowMessageBox(const std::string& text, const std::string& title, uint32_t style) override {
    ::MessageBoxW(nullptr, WideText(text).c_str(), WideText(title).c_str(), MB_OK | style);
  }

  uint32_t Random() override {
    uint32_t value = 0;
    if (BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&value), sizeof value,
                                         BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
      return value;
    }
    std::lock_guard<std::mutex> lock(random_mu_);
    return fallback_random_();
  }

  std::unique_ptr<Thread> StartThread(std::function<void()> body) override {
    auto control = std::make_unique<ThreadControl>();
    control->body = std::move(body);
    control->finished = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (control->finished == nullptr) return nullptr;
    HANDLE started = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (started == nullptr) {
      ::CloseHandle(control->finished);
      return nullptr;
    }
    control->started = started;
    DWORD id = 0;
    HANDLE thread = ::CreateThread(nullptr, 0, &ThreadMain, control.get(), 0, &id);
    if (thread == nullptr) {
      ::CloseHandle(started);
      ::CloseHandle(control->finished);
      return nullptr;
    }
    // A new thread first takes the loader lock (to tell the libraries it
    // has begun). Returning only once it runs means no thread of ours is
    // still starting when the library is unloaded, where the unloading
    // thread holds that lock and would wait for it for ever.
    HANDLE handles[2] = {started, thread};
    ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    ::CloseHandle(started);
    return std::make_unique<WindowsThread>(thread, control.release(), id);
  }

 private:
  std::chrono::steady_clock::time_point start_;
  double time_scale_ = 1.0;
  std::mutex random_mu_;
  std::mt19937 fallback_random_;
};

WindowsPlatform& TheWindowsPlatform() {
  static WindowsPlatform platform;
  return platform;
}

std::atomic<Platform*> test_platform{nullptr};

// A WM_QUIT that a wait took off some thread's queue, to be posted again.
thread_local bool quit_seen = false;
thread_local int quit_code = 0;

}  // namespace

int64_t RealMillisUntil(int64_t deadline_ms) {
  WindowsPlatform& platform = TheWindowsPlatform();
  int64_t left = deadline_ms - platform.NowMillis();
  if (left <= 0) return 0;
  double real = static_cast<double>(left) / platform.time_scale();
  return static_cast<int64_t>(real) + 1;
}

void DispatchThreadMessages() {
  MSG message;
  while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      quit_seen = true;
      quit_code = static_cast<int>(message.wParam);
      continue;
    }
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
}

void RepostQuitMessage() {
  if (!quit_seen) return;
  quit_seen = false;
  ::PostQuitMessage(quit_code);
}

bool GbkToUtf8(const std::string& gbk, std::string* out) {
  if (IsAscii(gbk)) {
    *out = gbk;
    return true;
  }
  std::wstring wide;
  return ToWide(kGbkCodePage, gbk, true, &wide) && FromWide(CP_UTF8, wide, true, out);
}

bool Utf8ToGbk(const std::string& utf8, std::string* out) {
  if (IsAscii(utf8)) {
    *out = utf8;
    return true;
  }
  std::wstring wide;
  return ToWide(CP_UTF8, utf8, true, &wide) && FromWide(kGbkCodePage, wide, true, out);
}

std::string EnvironmentSetting(const char* name) {
  std::wstring wide_name = WideText(name);
  std::wstring value(256, L'\0');
  for (;;) {
    DWORD length =
        ::GetEnvironmentVariableW(wide_name.c_str(), &value[0], static_cast<DWORD>(value.size()));
    if (length == 0) return "";
    if (length < value.size()) {
      value.resize(length);
      return GbkText(value);
    }
    value.resize(length);  // the size it needs, with its NUL
  }
}

void* FindLoadedLibrarySymbol(const std::string& library, const char* symbol) {
  // GetModuleHandle finds a library only if the process has loaded it, and
  // takes no reference: nothing is ever loaded from the search path.
  HMODULE module = ::GetModuleHandleW(WideText(library).c_str());
  if (module == nullptr || symbol == nullptr) return nullptr;
  FARPROC address = ::GetProcAddress(module, symbol);
  return reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(address));
}

void DebugTrace(const std::string& line) {
  static const bool enabled = EnvironmentSetting("LANFENG_TRACE") == "1";
  if (!enabled) return;
  char stamp[48];
  std::snprintf(stamp, sizeof stamp, "[lanfeng %8.1fs] ", CurrentPlatform().NowMillis() / 1000.0);
  std::string text = stamp + line + "\n";
  ::OutputDebugStringW(WideText(text).c_str());
  std::string utf8;
  if (!GbkToUtf8(text, &utf8)) utf8 = text;
  std::fwrite(utf8.data(), 1, utf8.size(), stderr);
  std::fflush(stderr);
}

Platform& SystemPlatform() { return TheWindowsPlatform(); }

Platform& CurrentPlatform() {
  Platform* platform = test_platform.load(std::memory_order_acquire);
  return platform ? *platform : SystemPlatform();
}

void SetPlatformForTesting(Platform* platform) {
  test_platform.store(platform, std::memory_order_release);
}

}  // namespace lanfeng
