// A DR host in miniature, for the Windows DLL under Wine (or Windows): it
// loads its Bot.dll, then the plugin as the DR host does (LoadLibrary,
// GetProcAddress by the undecorated names), registers, enables, lets the
// workers run their cycles on a fast clock, disables, and unloads. Unloading
// an enabled plugin must stop and join its workers from inside the loader
// (which holds the loader lock), without hanging and without leaving a
// thread behind.
//
//   dr_test_host.exe [PLUGIN_DLL]   (default: lanfeng.dll beside the program)
//
// Texts in this file are GBK at run time (-fexec-charset=GBK), as the host's.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "check.h"
#include "plugin_library.h"
#include "text.h"

namespace {

// The threads of this process, counted as the Windows emulator counts them.
using hostsim::ThreadCount;

using TextEntry = const char*(__stdcall*)();
using IntEntry = int32_t(__stdcall*)();
using VoidEntry = void(__stdcall*)();
using CallsEntry = int32_t(__stdcall*)(char*, int32_t);

std::wstring ProgramDirectory() {
  wchar_t path[MAX_PATH * 4];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
  std::wstring directory(path, length);
  return directory.substr(0, directory.find_last_of(L'\\'));
}

// GBK to UTF-8, for the terminal.
std::string Utf8(const std::string& gbk) { return hostsim::FromGbk(gbk); }

// Waits up to about ten seconds for the thread count to come down to
// `count`; the count it saw last.
int AwaitThreadCount(int count) {
  int now = ThreadCount();
  for (int i = 0; i < 200 && now > count; ++i) {
    Sleep(50);
    now = ThreadCount();
  }
  return now;
}

std::string BotCalls(HMODULE bot) {
  auto calls = reinterpret_cast<CallsEntry>(
      reinterpret_cast<uintptr_t>(GetProcAddress(bot, "BotTest_Calls")));
  if (calls == nullptr) return "";
  std::string text(static_cast<size_t>(calls(nullptr, 0)) + 1, '\0');
  calls(&text[0], static_cast<int32_t>(text.size()));
  text.resize(text.size() - 1);
  return text;
}

template <typename F>
F Entry(HMODULE module, const char* name) {
  FARPROC address = GetProcAddress(module, name);
  if (address == nullptr) std::printf("missing export: %s\n", Utf8(name).c_str());
  return reinterpret_cast<F>(reinterpret_cast<uintptr_t>(address));
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Every name a host looks up, in GBK where the host spells it so.
void CheckEveryExportIsFound(HMODULE plugin) {
  const char* names[] = {"Dr_Create",
                         "Dr_Enable",
                         "Dr_Disable",
                         "Dr_DestroyPlugin",
                         "Dr_SetUp",
                         "Dr_Event",
                         "Dr_Getticket",
                         "初始化",
                         "_AppStart",
                         "_AppEnd",
                         "_AppUnload",
                         "_ControlPanel",
                         "_OnPrivate",
                         "_OnGroup",
                         "_OnEvent",
                         "_OnGuildPush",
                         "_OnPluginMessage",
                         "_GetTicket",
                         "_GetPhoneVefCode",
                         "Init_DuLu",
                         "_启用",
                         "_禁用",
                         "_卸载",
                         "_菜单",
                         "_推送自身事件",
                         "_推送好友消息",
                         "_推送好友事件",
                         "_推送群聊消息",
                         "_推送群聊事件",
                         "_推送频道消息",
                         "_推送临时消息",
                         "_劫持好友消息",
                         "_劫持群聊消息",
                         "截取视频图片",
                         "网络文件下载"};
  int found = 0;
  for (const char* name : names) found += Entry<FARPROC>(plugin, name) != nullptr ? 1 : 0;
  CHECK(found == static_cast<int>(sizeof names / sizeof names[0]));
  // The decorated __stdcall names stay inside.
  CHECK(GetProcAddress(plugin, "Dr_Create@0") == nullptr);
  CHECK(GetProcAddress(plugin, "_Dr_Create@0") == nullptr);
}

// How a run ends: disable and the unload notice before unloading; unloading
// while the workers cycle, as a host that skips the notices does; or
// unloading right after enabling, while the workers are just starting.
enum class Ending { kOrderly, kWhileRunning, kRightAfterEnabling };

// Load, register, enable, let the workers cycle, unload.
void RunLifecycle(const std::wstring& plugin_path, HMODULE bot, Ending ending) {
  HMODULE plugin = LoadLibraryW(plugin_path.c_str());
  CHECK(plugin != nullptr);
  if (plugin == nullptr) return;
  CheckEveryExportIsFound(plugin);

  auto create = Entry<TextEntry>(plugin, "Dr_Create");
  auto enable = Entry<IntEntry>(plugin, "Dr_Enable");
  auto disable = Entry<IntEntry>(plugin, "Dr_Disable");
  auto destroy = Entry<IntEntry>(plugin, "Dr_DestroyPlugin");
  if (!create || !enable || !disable || !destroy) {
    CHECK(!"the lifecycle entry points are exported");
    return;
  }

  const char* answer = create();
  std::string description = answer ? answer : "";
  std::printf("Dr_Create answered: %s\n", Utf8(description).c_str());
  CHECK(Contains(description, "岚风守望"));
  std::string calls = BotCalls(bot);
  CHECK(Contains(calls, "Api_OutPutLog|判断为DR框架\n"));
  CHECK(Contains(calls, "Api_OutPutLog|载入DR框架数据\n"));
  // Registration made the plugin's directory under the program's, by its
  // GBK name turned into UTF-16.
  DWORD attributes = GetFileAttributesW((ProgramDirectory() + L"\\岚风守望").c_str());
  CHECK(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0);

  const int threads_before = ThreadCount();
  CHECK(enable() == 0);
  CHECK(ThreadCount() == threads_before + 2);  // the poller and the dispatcher
  // On the fast clock (LANFENG_TIME_SCALE), a second is more than a minute:
  // each worker waits its short and long waits on the waitable timer.
  if (ending != Ending::kRightAfterEnabling) Sleep(1500);
  if (ending == Ending::kOrderly) {
    CHECK(disable() == 0);
    CHECK(Contains(BotCalls(bot), "Api_OutPutLog|禁用了插件哦\n"));
    CHECK(destroy() == 0);
  }

  // FreeLibrary runs the plugin's destructors under the loader lock: workers
  // still running are stopped and joined there.
  CHECK(FreeLibrary(plugin) != 0);
  CHECK(GetModuleHandleW(L"lanfeng.dll") == nullptr);
  const int threads_after = AwaitThreadCount(threads_before);
  std::printf("threads: %d before enabling, %d after unloading\n", threads_before, threads_after);
  CHECK(threads_after == threads_before);
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);  // every line out at once, even into a pipe
  std::wstring directory = ProgramDirectory();
  std::wstring plugin_path = directory + L"\\lanfeng.dll";
  if (argc > 1) {
    int length = MultiByteToWideChar(CP_ACP, 0, argv[1], -1, nullptr, 0);
    plugin_path.assign(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, argv[1], -1, &plugin_path[0], length);
    plugin_path.resize(static_cast<size_t>(length - 1));
  }
  // A fast clock for the workers' waits, set before the plugin reads it.
  SetEnvironmentVariableW(L"LANFENG_TIME_SCALE", L"100");

  // The host loads its own Bot.dll first; the plugin only finds it.
  HMODULE bot = LoadLibraryW((directory + L"\\Bot.dll").c_str());
  CHECK(bot != nullptr);
  if (bot == nullptr) return wintest::Finish();

  // Each load of the same file starts from a fresh state.
  RunLifecycle(plugin_path, bot, Ending::kOrderly);
  RunLifecycle(plugin_path, bot, Ending::kWhileRunning);
  RunLifecycle(plugin_path, bot, Ending::kRightAfterEnabling);
  std::printf("Bot.dll calls:\n%s", Utf8(BotCalls(bot)).c_str());
  return wintest::Finish();
}
