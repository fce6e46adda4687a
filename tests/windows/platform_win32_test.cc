// The Windows platform layer on a real Windows API (Wine or Windows): GBK
// paths through the wide-character calls, including a directory whose name
// ends in 乗 (GBK 81 5C, a trail byte that is "\"), listings, command lines
// that reach a program intact, the message-pumping wait, threads, the
// program directory, settings, symbol lookup without loading, MD5.
//
//   platform_win32_test.exe                  runs the checks
//   platform_win32_test.exe --echo-args FILE ARGS...
//                                            writes ARGS as it received them
//                                            (UTF-16, one a line) to FILE
//                                            and exits with 7
//
// Texts in this file are GBK at run time (-fexec-charset=GBK); u8"" texts
// are UTF-8.
#include <windows.h>
#include <shellapi.h>
#undef CreateDirectory  // a method of Platform, not the Windows call

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <string>
#include <vector>

#include "check.h"
#include "file_tree.h"
#include "platform/digest.h"
#include "platform/platform.h"
#include "shell/identity.h"

using namespace lanfeng;

namespace {

using wintest::RemoveTree;

constexpr int kEchoExitCode = 7;

std::wstring Wide(const std::string& gbk) {
  if (gbk.empty()) return L"";
  int length = MultiByteToWideChar(936, 0, gbk.data(), static_cast<int>(gbk.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(936, 0, gbk.data(), static_cast<int>(gbk.size()), &wide[0], length);
  return wide;
}

// --echo-args: the arguments as the C runtime's rules split the command line.
int EchoArguments() {
  int count = 0;
  wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
  if (args == nullptr || count < 3) return 1;
  std::wstring text;
  for (int i = 3; i < count; ++i) text += std::wstring(args[i]) + L"\n";
  HANDLE file = CreateFileW(args[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written,
            nullptr);
  CloseHandle(file);
  LocalFree(args);
  return kEchoExitCode;
}

std::vector<std::string> Sorted(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

void TestTextConversion() {
  std::string gbk, utf8;
  CHECK(Utf8ToGbk(u8"岚风守望乗", &gbk) && gbk == "岚风守望乗");
  CHECK(GbkToUtf8("岚风守望乗", &utf8) && utf8 == u8"岚风守望乗");
  CHECK(GbkToUtf8("", &utf8) && utf8.empty());
  CHECK(GbkToUtf8(std::string("a\0b", 3), &utf8) && utf8 == std::string("a\0b", 3));
  CHECK(!GbkToUtf8("\x81", &utf8));         // a lead byte alone
  CHECK(!Utf8ToGbk(u8"\U0001F600", &gbk));  // no GBK counterpart
  CHECK(!Utf8ToGbk("\xC3\x28", &gbk));      // not UTF-8
}

void TestFiles(Platform& platform, const std::string& root) {
  const std::string dir = root + "\\平台测试乗";  // ends in the byte 5C
  RemoveTree(Wide(dir));
  CHECK(platform.CreateDirectory(dir).ok());
  CHECK(!platform.CreateDirectory(dir).ok());  // exists already
  CHECK(platform.IsDirectory(dir));
  CHECK(!platform.FileExists(dir));
  CHECK(GetFileAttributesW((Wide(root) + L"\\平台测试乗").c_str()) != INVALID_FILE_ATTRIBUTES);
  CHECK(!platform.CreateDirectory(dir + "\\无\\子").ok());  // parent missing

  const std::string file = dir + "\\账号记录.ini";
  const std::string contents("a\r\nb\0c", 6);
  CHECK(platform.WriteFile(file, contents).ok());
  std::string read;
  CHECK(platform.ReadFile(file, &read).ok() && read == contents);
  CHECK(platform.FileExists(file));
  CHECK(!platform.IsDirectory(file));
  CHECK(GetFileAttributesW((Wide(dir) + L"\\账号记录.ini").c_str()) != INVALID_FILE_ATTRIBUTES);

  CHECK(platform.ReadFile(dir + "\\无.ini", &read).IsNotFound());
  CHECK(platform.ReadFile(dir + "\\无\\无.ini", &read).IsNotFound());
  CHECK(!platform.ReadFile("\x81", &read).ok());
  CHECK(!platform.WriteFile(std::string("a\0b", 3), "x").ok());

  // A rename replaces the target in one step.
  CHECK(platform.WriteFile(file + ".tmp", "new").ok());
  CHECK(platform.RenameFile(file + ".tmp", file).ok());
  CHECK(platform.ReadFile(file, &read).ok() && read == "new");
  CHECK(!platform.FileExists(file + ".tmp"));

  // Only files are listed, by their GBK names, with or without a final "\".
  CHECK(platform.WriteFile(dir + "\\b.txt", "").ok());
  CHECK(platform.CreateDirectory(dir + "\\子目录").ok());
  std::vector<std::string> names;
  const std::vector<std::string> expected = Sorted({"账号记录.ini", "b.txt"});
  CHECK(platform.ListFiles(dir, &names).ok() && Sorted(names) == expected);
  CHECK(platform.ListFiles(dir + "\\", &names).ok() && Sorted(names) == expected);
  CHECK(platform.ListFiles(dir + "\\子目录", &names).ok() && names.empty());
  CHECK(platform.ListFiles(dir + "\\无", &names).IsNotFound());

  CHECK(platform.RemoveFile(dir + "\\b.txt").ok());
  CHECK(!platform.FileExists(dir + "\\b.txt"));
  CHECK(platform.RemoveFile(dir + "\\b.txt").IsNotFound());
  RemoveTree(Wide(dir));
}

// Reads what an --echo-args child wrote.
std::vector<std::wstring> EchoedArguments(Platform& platform, const std::string& file) {
  std::string bytes;
  std::vector<std::wstring> args;
  if (!platform.ReadFile(file, &bytes).ok()) return args;
  std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
  std::copy(bytes.begin(), bytes.begin() + text.size() * sizeof(wchar_t),
            reinterpret_cast<char*>(&text[0]));
  size_t start = 0;
  for (size_t end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1) {
    args.push_back(text.substr(start, end - start));
  }
  return args;
}

void TestRunProcess(Platform& platform, const std::string& root) {
  const std::string dir = root + "\\带 空格 的目录乗";
  RemoveTree(Wide(dir));
  CHECK(platform.CreateDirectory(dir).ok());
  wchar_t self[MAX_PATH * 4];
  GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
  const std::string child = dir + "\\echo child.exe";
  CHECK(CopyFileW(self, Wide(child).c_str(), FALSE) != 0);

  // Blanks, quotes, backslashes before a quote and at the end, a tab, an
  // empty argument, and a GBK character whose second byte is "\".
  const std::vector<std::string> passed = {
      "plain",           "two words", "",     "quote\"inside",           "trailing\\",
      "back\\\\\"slash", "tab\there", "乗\\", "\\\\server\\share dir\\", "\"",
      "岚风 守望"};
  const std::string out = dir + "\\args.txt";
  std::vector<std::string> argv = {child, "--echo-args", out};
  argv.insert(argv.end(), passed.begin(), passed.end());
  int exit_code = -1;
  CHECK(platform.RunProcess(argv, true, &exit_code).ok());
  CHECK(exit_code == kEchoExitCode);
  std::vector<std::wstring> received = EchoedArguments(platform, out);
  CHECK(received.size() == passed.size());
  for (size_t i = 0; i < passed.size() && i < received.size(); ++i) {
    if (received[i] != Wide(passed[i]))
      std::printf("argument %u arrived changed\n", static_cast<unsigned>(i));
    CHECK(received[i] == Wide(passed[i]));
  }

  // Without waiting: the program runs on after the call.
  const std::string out2 = dir + "\\args2.txt";
  CHECK(platform.RunProcess({child, "--echo-args", out2, "later"}, false, nullptr).ok());
  std::vector<std::wstring> later;
  for (int i = 0; i < 400 && later.empty(); ++i) {
    Sleep(25);
    later = EchoedArguments(platform, out2);
  }
  CHECK(later == std::vector<std::wstring>{L"later"});

  CHECK(platform.RunProcess({dir + "\\无.exe"}, true, &exit_code).IsNotFound());
  CHECK(!platform.RunProcess({}, true, &exit_code).ok());
  // The program has had time to end; its file can go.
  Sleep(200);
  RemoveTree(Wide(dir));
}

LRESULT CALLBACK CountingWindow(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_APP + 1) {
    ++*reinterpret_cast<int*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

void TestThreadsAndWaits(Platform& platform) {
  // A thread runs its body and is joined; its id is the system's.
  std::atomic<uint32_t> seen_id{0};
  auto thread = platform.StartThread([&seen_id] { seen_id = GetCurrentThreadId(); });
  CHECK(thread != nullptr);
  if (thread == nullptr) return;
  thread->Join();
  CHECK(thread->id() != 0 && seen_id == thread->id());

  // A Thread dropped without Join lets its thread end by itself, whether
  // the body is still running or has finished.
  for (DWORD body_ms : {100, 0}) {
    std::atomic<bool> ran{false};
    HANDLE handle = nullptr;
    {
      auto dropped = platform.StartThread([&ran, body_ms] {
        Sleep(body_ms);
        ran = true;
      });
      handle = OpenThread(SYNCHRONIZE, FALSE, dropped->id());
      if (body_ms == 0) {  // let it finish and park before the drop
        while (!ran) Sleep(1);
        Sleep(100);
      }
    }
    CHECK(handle != nullptr && WaitForSingleObject(handle, 10000) == WAIT_OBJECT_0);
    CHECK(ran);
    if (handle != nullptr) CloseHandle(handle);
  }

  // A task posted from another thread runs during the wait, on the waiting
  // thread, and the wait still lasts until its deadline.
  TaskQueueRef main_queue = ThisThreadQueue();
  std::atomic<uint32_t> task_thread{0};
  auto poster = platform.StartThread([main_queue, &task_thread] {
    PostTask(main_queue, [&task_thread] { task_thread = GetCurrentThreadId(); });
  });
  int64_t deadline = platform.NowMillis() + 300;
  CHECK(WaitUntil(deadline) == WaitResult::kTimeUp);
  CHECK(platform.NowMillis() >= deadline);
  CHECK(task_thread == GetCurrentThreadId());
  poster->Join();

  // A window message sent to the waiting thread's window is dispatched
  // during the wait.
  WNDCLASSW window_class = {};
  window_class.lpfnWndProc = CountingWindow;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = L"LanfengWaitTest";
  RegisterClassW(&window_class);
  HWND window = CreateWindowExW(0, L"LanfengWaitTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                window_class.hInstance, nullptr);
  CHECK(window != nullptr);
  int dispatched = 0;
  SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&dispatched));
  auto sender = platform.StartThread([window] { PostMessageW(window, WM_APP + 1, 0, 0); });
  deadline = platform.NowMillis() + 300;
  CHECK(WaitUntil(deadline) == WaitResult::kTimeUp);
  CHECK(dispatched == 1);
  CHECK(platform.NowMillis() >= deadline);
  sender->Join();
  DestroyWindow(window);

  // A stop request ends a long wait at once and every later one too.
  std::atomic<TaskQueue*> waiting_queue{nullptr};
  TaskQueueRef queue_of_waiter;
  std::atomic<int> results{0};
  auto waiter = platform.StartThread([&] {
    queue_of_waiter = ThisThreadQueue();
    waiting_queue = queue_of_waiter.get();
    if (WaitUntil(CurrentPlatform().NowMillis() + 600000) == WaitResult::kStopped) ++results;
    if (WaitUntil(CurrentPlatform().NowMillis() + 600000) == WaitResult::kStopped) ++results;
  });
  while (waiting_queue == nullptr) Sleep(1);
  RequestStop(queue_of_waiter);
  waiter->Join();
  CHECK(results == 2);
  CHECK(StopRequested(queue_of_waiter));
  CHECK(!PostTask(queue_of_waiter, [] {}));
}

void TestProgramDirectoryAndSettings(Platform& platform) {
  wchar_t self[MAX_PATH * 4];
  DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
  std::wstring directory(self, length);
  directory.erase(directory.find_last_of(L'\\'));
  CHECK(Wide(platform.ProgramDirectory()) == directory);

  // A set directory loses its final separators, never the 5C byte of 乗.
  SetEnvironmentVariableW(L"LANFENG_PROGRAM_DIR", L"C:\\岚风\\乗\\\\");
  CHECK(platform.ProgramDirectory() == "C:\\岚风\\乗");
  SetEnvironmentVariableW(L"LANFENG_PROGRAM_DIR", nullptr);

  SetEnvironmentVariableW(L"LANFENG_TEST_SETTING", L"岚风");
  CHECK(EnvironmentSetting("LANFENG_TEST_SETTING") == "岚风");
  SetEnvironmentVariableW(L"LANFENG_TEST_SETTING", nullptr);
  CHECK(EnvironmentSetting("LANFENG_TEST_SETTING").empty());
}

// A library is only ever found, never loaded: Bot.dll lies beside this
// program, on the search path, and stays unloaded until the "host" loads it.
void TestSymbolLookup(const std::string& root) {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  CHECK(
      FindLoadedLibrarySymbol("kernel32.dll", "GetTickCount") ==
      reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(GetProcAddress(kernel, "GetTickCount"))));
  CHECK(FindLoadedLibrarySymbol("Bot.dll", "Api_OutPutLog") == nullptr);
  CHECK(GetModuleHandleW(L"Bot.dll") == nullptr);
  HMODULE bot = LoadLibraryW((Wide(root) + L"\\Bot.dll").c_str());
  CHECK(bot != nullptr);
  CHECK(FindLoadedLibrarySymbol("Bot.dll", "Api_OutPutLog") != nullptr);
  CHECK(FindLoadedLibrarySymbol("Bot.dll", "Api_Missing") == nullptr);
  if (bot != nullptr) FreeLibrary(bot);
}

std::string Hex(const Md5Digest& digest) {
  std::string hex;
  for (unsigned char byte : digest) {
    hex += "0123456789abcdef"[byte >> 4];
    hex += "0123456789abcdef"[byte & 15];
  }
  return hex;
}

void TestClockRandomAndDigest(Platform& platform) {
  CivilTime now = platform.LocalNow();
  CHECK(now.year >= 2024 && now.month >= 1 && now.month <= 12 && now.day >= 1 && now.day <= 31);
  CHECK(now.hour >= 0 && now.hour < 24 && now.weekday >= 0 && now.weekday <= 6);
  CHECK(now.utc_offset_minutes >= -14 * 60 && now.utc_offset_minutes <= 14 * 60);

  std::vector<uint32_t> draws;
  for (int i = 0; i < 8; ++i) draws.push_back(platform.Random());
  std::sort(draws.begin(), draws.end());
  CHECK(std::unique(draws.begin(), draws.end()) - draws.begin() > 1);

  Md5Digest digest;
  CHECK(ComputeMd5("", &digest) && Hex(digest) == "d41d8cd98f00b204e9800998ecf8427e");
  CHECK(ComputeMd5("abc", &digest) && Hex(digest) == "900150983cd24fb0d6963f7d28e17f72");
  // The dulu signature of the GBK texts, as the Linux build computes it.
  CHECK(DuluSignature(kPluginName, kPluginAuthor) == "81bc57d9dc3c36532f03cbb347704337");
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);  // every line out at once, even into a pipe
  if (argc >= 3 && std::string(argv[1]) == "--echo-args") return EchoArguments();
  InitializePlatform();
  Platform& platform = SystemPlatform();
  const std::string root = platform.ProgramDirectory();
  TestTextConversion();
  TestFiles(platform, root);
  TestRunProcess(platform, root);
  TestThreadsAndWaits(platform);
  TestProgramDirectoryAndSettings(platform);
  TestSymbolLookup(root);
  TestClockRandomAndDigest(platform);
  return wintest::Finish();
}
