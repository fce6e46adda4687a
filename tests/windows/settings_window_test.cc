// The plugin's notice and settings windows as real Windows windows, under
// Wine (or Windows). A DR host in miniature loads its Bot.dll and
// lanfeng.dll, calls Dr_SetUp, and drives the windows with the emulator's
// window driver as a person would (keys into edit boxes, clicks, the
// title bar's close button); the driver presses OK on the message boxes and
// hands their texts over; the INI files are read back as bytes. The core's
// Window class is also checked directly: its controls read and written
// from another thread while the window's thread waits.
//
//   settings_window_test.exe               runs the checks
//   settings_window_test.exe --show FILE   opens the settings window filled
//                                          as an owner would, writes its
//                                          place on the screen ("left top
//                                          width height") to FILE, and keeps
//                                          it open until FILE.done exists
//                                          (the screenshot of the docs)
//
// Texts in this file are GBK at run time (-fexec-charset=GBK), as the
// plugin's.
#include <windows.h>

#include <shellapi.h>
#undef CreateDirectory  // a method of Platform, not the Windows call

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "check.h"
#include "file_tree.h"
#include "owner/settings_windows.h"
#include "owner/window.h"
#include "platform/platform.h"
#include "platform/win32/wide_text.h"
#include "plugin_library.h"
#include "text.h"
#include "window_driver.h"
#include "window_driver_win32.h"

using hostsim::DescribeWindows;
using hostsim::FromGbk;
using hostsim::DriveWindowControl;
using hostsim::PluginLibrary;
using lanfeng::ControlKind;
using lanfeng::ControlLayout;
using lanfeng::GbkText;
using lanfeng::kSettingsWindowLayout;
using lanfeng::WideText;
using lanfeng::WindowLayout;

namespace {

using wintest::RemoveTree;

using TextEntry = const char*(__stdcall*)();
using VoidEntry = void(__stdcall*)();

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::wstring ProgramDirectory() {
  wchar_t path[MAX_PATH * 4];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
  std::wstring directory(path, length);
  return directory.substr(0, directory.find_last_of(L'\\'));
}

// A file's bytes; empty when it cannot be read.
std::string ReadBytes(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "";
  std::string bytes;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0)
    bytes.append(buffer, read);
  CloseHandle(file);
  return bytes;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
            written == bytes.size();
  CloseHandle(file);
  return ok;
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Serves this thread's messages for a while, as a host's message loop does.
void PumpMessages(DWORD milliseconds) {
  const ULONGLONG end = GetTickCount64() + milliseconds;
  for (;;) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    const ULONGLONG now = GetTickCount64();
    if (now >= end) return;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
  }
}

struct WindowSearch {
  std::wstring property;
  HWND found;
  uintptr_t number;
};

BOOL CALLBACK LookAtWindow(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<WindowSearch*>(param);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  wchar_t type[64] = {};
  GetClassNameW(window, type, 64);
  auto number = reinterpret_cast<uintptr_t>(GetPropW(window, search->property.c_str()));
  if (process == GetCurrentProcessId() && std::wstring(type) == lanfeng::kNativeWindowClass &&
      number > search->number) {
    search->found = window;
    search->number = number;
  }
  return TRUE;
}

// The newest window of this process opened from the layout named `name`,
// found as owner/window.h documents; null when none is open.
HWND FindWindowNamed(const char* name) {
  WindowSearch search{std::wstring(lanfeng::kNativeWindowProperty) + WideText(name), nullptr, 0};
  EnumWindows(LookAtWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::wstring TextOf(HWND window) {
  int length = GetWindowTextLengthW(window);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(window, &text[0], length + 1)));
  return text;
}

HWND ControlOf(HWND window, const WindowLayout& layout, const std::string& name) {
  for (size_t i = 0; i < layout.controls.size(); ++i) {
    if (name == layout.controls[i].name)
      return GetDlgItem(window, lanfeng::kFirstControlId + static_cast<int>(i));
  }
  return nullptr;
}

std::string ControlText(HWND window, const WindowLayout& layout, const std::string& name) {
  HWND control = ControlOf(window, layout, name);
  return control ? GbkText(TextOf(control)) : "<missing>";
}

bool ControlChecked(HWND window, const WindowLayout& layout, const std::string& name) {
  HWND control = ControlOf(window, layout, name);
  return control != nullptr && SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

// The message boxes the driver pressed OK on since the last call, one a line.
std::string TakeMessageBoxes() {
  std::string all;
  for (const std::string& text : hostsim::TakeDismissedMessageBoxes()) all += text + "\n";
  return all;
}

// The plugin's files, in the folder the test gives it as the host program's.
struct PluginFiles {
  std::wstring program;    // the host program's directory
  std::wstring base;       // 岚风守望\基础配置.ini
  std::wstring data;       // the data directory "数据" (relative in the settings)
  std::wstring data_file;  // its 数据配置.ini
};

PluginFiles MakeProgramDirectory(const wchar_t* name) {
  PluginFiles files;
  files.program = ProgramDirectory() + L"\\" + name;
  RemoveTree(files.program);
  CreateDirectoryW(files.program.c_str(), nullptr);
  files.base = files.program + L"\\" + WideText("岚风守望") + L"\\" + WideText("基础配置.ini");
  files.data = files.program + L"\\" + WideText("数据");
  files.data_file = files.data + L"\\" + WideText("数据配置.ini");
  SetEnvironmentVariableW(L"LANFENG_PROGRAM_DIR", files.program.c_str());
  // The maker's notice is not reachable: the fetch fails at once.
  SetEnvironmentVariableW(L"LANFENG_NOTICE_URL", L"http://127.0.0.1:9/2.php");
  return files;
}

// The configuration an owner saved earlier: a relative data directory, a
// template with a stored line break, no offline template, and switches of
// "1" and "01" (only "1" ticks a box).
void WriteSavedConfiguration(const PluginFiles& files) {
  CreateDirectoryW(files.data.c_str(), nullptr);
  CHECK(WriteBytes(files.base, "[路径配置]\r\n路径内容=数据\r\n"));
  CHECK(WriteBytes(files.data_file,
                   "[数据配置]\r\nQQ邮箱账号=10001@qq.com\r\nQQ邮箱授权码=abcdefgh\r\n"
                   "通知QQ邮箱=20002@qq.com\r\n删除离线账号=1\r\n开启邮件监控=01\r\n"
                   "账号上线邮件内容=上线了【换行】账号：【账号号码】\r\n"));
}

// Loads the plugin as the DR host does: its Bot.dll is already in the
// process; registration makes the plugin's folder.
bool LoadPlugin(PluginLibrary& plugin) {
  std::string error;
  if (!plugin.Load("lanfeng.dll", &error)) {
    std::printf("cannot load lanfeng.dll: %s\n", error.c_str());
    return false;
  }
  auto create = plugin.Entry<TextEntry>("Dr_Create");
  return create != nullptr && create() != nullptr;
}

void OpenSettingsEntry(const PluginLibrary& plugin) {
  auto set_up = plugin.Entry<VoidEntry>("Dr_SetUp");
  CHECK(set_up != nullptr);
  if (set_up) set_up();
}

bool Drive(const PluginLibrary& plugin, const char* action, const char* window, const char* control,
           const std::string& text = "") {
  return DriveWindowControl(plugin, action, window, control, text);
}

// Every control of the layout is a real control of its kind, with its
// caption, where the layout puts it (inside its group box for those in
// one); the window is a top-level window without owner, whose client area
// has the layout's size.
void CheckDrawnAsLaidOut(HWND window, const WindowLayout& layout) {
  CHECK(IsWindowVisible(window));
  CHECK(GetWindow(window, GW_OWNER) == nullptr);
  CHECK(GetParent(window) == nullptr);
  CHECK((GetWindowLongW(window, GWL_STYLE) & (WS_CHILD | WS_POPUP)) == 0);
  CHECK(TextOf(window) == WideText(layout.caption));
  RECT client;
  GetClientRect(window, &client);
  CHECK(client.right == layout.width && client.bottom == layout.height);
  RECT frame;
  GetWindowRect(window, &frame);
  CHECK(frame.left == layout.left && frame.top == layout.top);

  int misplaced = 0, wrong_kind = 0, wrong_caption = 0, missing = 0;
  for (size_t i = 0; i < layout.controls.size(); ++i) {
    const ControlLayout& control = layout.controls[i];
    HWND made = GetDlgItem(window, lanfeng::kFirstControlId + static_cast<int>(i));
    if (made == nullptr) {
      ++missing;
      std::printf("missing control %s\n", FromGbk(control.name).c_str());
      continue;
    }
    wchar_t type[32] = {};
    GetClassNameW(made, type, 32);
    const LONG style = GetWindowLongW(made, GWL_STYLE);
    bool kind_ok = false;
    switch (control.kind) {
      case ControlKind::kEdit:
        kind_ok = lstrcmpiW(type, L"Edit") == 0 && (style & ES_MULTILINE) == 0;
        break;
      case ControlKind::kMultiLineEdit:
        kind_ok = lstrcmpiW(type, L"Edit") == 0 && (style & ES_MULTILINE) &&
                  (style & ES_WANTRETURN) && (style & WS_VSCROLL);
        break;
      case ControlKind::kButton:
        kind_ok = lstrcmpiW(type, L"Button") == 0 && (style & BS_TYPEMASK) == BS_PUSHBUTTON;
        break;
      case ControlKind::kCheckBox:
        kind_ok = lstrcmpiW(type, L"Button") == 0 && (style & BS_TYPEMASK) == BS_AUTOCHECKBOX;
        break;
      case ControlKind::kGroupBox:
        kind_ok = lstrcmpiW(type, L"Button") == 0 && (style & BS_TYPEMASK) == BS_GROUPBOX;
        break;
      case ControlKind::kLabel:
        kind_ok = lstrcmpiW(type, L"Static") == 0;
        break;
    }
    if (!kind_ok) {
      ++wrong_kind;
      std::printf("control %s is not drawn as its kind\n", FromGbk(control.name).c_str());
    }
    const bool captioned =
        control.kind != ControlKind::kEdit && control.kind != ControlKind::kMultiLineEdit;
    if (captioned && TextOf(made) != WideText(control.caption)) {
      ++wrong_caption;
      std::printf("control %s has the caption %s\n", FromGbk(control.name).c_str(),
                  FromGbk(GbkText(TextOf(made))).c_str());
    }
    int left = control.left, top = control.top;
    if (control.parent != nullptr) {
      for (const ControlLayout& group : layout.controls) {
        if (std::string(group.name) == control.parent) {
          left += group.left;
          top += group.top;
        }
      }
    }
    RECT place;
    GetWindowRect(made, &place);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&place), 2);
    if (place.left != left || place.top != top || place.right - place.left != control.width ||
        place.bottom - place.top != control.height) {
      ++misplaced;
      std::printf("control %s is at %ld,%ld %ldx%ld, not %d,%d %dx%d\n", FromGbk(control.name).c_str(),
                  place.left, place.top, place.right - place.left, place.bottom - place.top, left,
                  top, control.width, control.height);
    }
  }
  CHECK(missing == 0);
  CHECK(wrong_kind == 0);
  CHECK(wrong_caption == 0);
  CHECK(misplaced == 0);
  // Nothing beyond the layout.
  int children = 0;
  for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    ++children;
  CHECK(children == static_cast<int>(layout.controls.size()));
}

// Dr_SetUp opens the notice window; its button closes it and opens the
// settings window, drawn from its layout and loaded from the files.
void CheckOpeningAndLoading(const PluginLibrary& plugin, const PluginFiles& files) {
  WriteSavedConfiguration(files);
  OpenSettingsEntry(plugin);
  HWND notice = FindWindowNamed("NoticeWindow");
  CHECK(notice != nullptr);
  if (notice == nullptr) return;
  CheckDrawnAsLaidOut(notice, lanfeng::kNoticeWindowLayout);
  // The notice could not be fetched: its box holds what the fetch gave,
  // nothing, instead of the layout's initial text.
  CHECK(DescribeWindows(plugin) ==
        "NoticeWindow \"岚风守望公告\"\n"
        "  编辑框_公告 [multi-line edit]: \n"
        "  按钮1 [button] \"点我进入插件配置界面\"\n");
  CHECK(FindWindowNamed("SettingsWindow") == nullptr);

  CHECK(Drive(plugin, "click", "NoticeWindow", "按钮1"));
  CHECK(!IsWindow(notice));
  CHECK(FindWindowNamed("NoticeWindow") == nullptr);
  HWND settings = FindWindowNamed("SettingsWindow");
  CHECK(settings != nullptr);
  if (settings == nullptr) return;
  CheckDrawnAsLaidOut(settings, kSettingsWindowLayout);
  CHECK(TakeMessageBoxes().empty());

  const std::string shown = DescribeWindows(plugin);
  std::printf("%s", FromGbk(shown).c_str());
  CHECK(Contains(shown, "SettingsWindow \"岚风守望\"\n  透明标签1 [label] \"数据目录：\"\n"));
  CHECK(ControlText(settings, kSettingsWindowLayout, "编辑框_数据目录") == "数据");
  CHECK(ControlText(settings, kSettingsWindowLayout, "编辑框_QQ邮箱账号") == "10001@qq.com");
  CHECK(ControlText(settings, kSettingsWindowLayout, "编辑框_QQ邮箱授权码") == "abcdefgh");
  CHECK(ControlText(settings, kSettingsWindowLayout, "编辑框_通知QQ邮箱") == "20002@qq.com");
  // Real line breaks in the box; the default template where none is saved.
  CHECK(ControlText(settings, kSettingsWindowLayout, "编辑框_账号上线邮件内容") ==
        "上线了\r\n账号：【账号号码】");
  CHECK(ControlText(settings, kSettingsWindowLayout, "编辑框_账号下线邮件内容") ==
        lanfeng::kDefaultTemplate);
  CHECK(SendMessageW(ControlOf(settings, kSettingsWindowLayout, "编辑框_账号下线邮件内容"),
                     EM_GETLINECOUNT, 0, 0) == 2);
  CHECK(ControlChecked(settings, kSettingsWindowLayout, "选择框_删除离线账号"));
  CHECK(!ControlChecked(settings, kSettingsWindowLayout, "选择框_开启账号监控"));  // "01"
  CHECK(Contains(shown, "  选择框_删除离线账号 [check box] \"删除离线账号\" checked\n"));
  CHECK(Contains(shown, "  选择框_开启账号监控 [check box] \"开启账号监控\" unchecked\n"));
}

// Typing, ticking and "保存" write the data configuration, the templates'
// line breaks as "【换行】"; "刷新" reads it back over what was typed.
void CheckSaving(const PluginLibrary& plugin, const PluginFiles& files) {
  HWND settings = FindWindowNamed("SettingsWindow");
  CHECK(settings != nullptr);
  if (settings == nullptr) return;
  CHECK(Drive(plugin, "type", "SettingsWindow", "编辑框_QQ邮箱账号", "30003@qq.com"));
  CHECK(Drive(plugin, "type", "SettingsWindow", "编辑框_账号上线邮件内容",
              "第一行\r\n第二行\r\n第三行"));
  CHECK(Drive(plugin, "tick", "SettingsWindow", "选择框_开启账号监控", "1"));
  CHECK(Drive(plugin, "tick", "SettingsWindow", "选择框_删除离线账号", "0"));
  CHECK(Drive(plugin, "click", "SettingsWindow", "按钮_保存配置"));
  CHECK(TakeMessageBoxes() == "保存成功！\n");

  const std::string saved = ReadBytes(files.data_file);
  std::printf("saved:\n%s", FromGbk(saved).c_str());
  CHECK(Contains(saved, "QQ邮箱账号=30003@qq.com\r\n"));
  CHECK(Contains(saved, "QQ邮箱授权码=abcdefgh\r\n"));
  CHECK(Contains(saved, "删除离线账号=0\r\n"));
  CHECK(Contains(saved, "开启邮件监控=1\r\n"));
  CHECK(Contains(saved, "账号上线邮件内容=第一行【换行】第二行【换行】第三行\r\n"));
  CHECK(Contains(saved, "账号下线邮件内容=账号：【账号号码】【换行】时间：【现行时间】\r\n"));

  CHECK(Drive(plugin, "type", "SettingsWindow", "编辑框_QQ邮箱账号", "typed@qq.com"));
  CHECK(Drive(plugin, "click", "SettingsWindow", "按钮_刷新配置"));
  CHECK(TakeMessageBoxes().empty());
  CHECK(ControlText(settings, kSettingsWindowLayout, "编辑框_QQ邮箱账号") == "30003@qq.com");
  CHECK(ControlText(settings, kSettingsWindowLayout, "编辑框_账号上线邮件内容") ==
        "第一行\r\n第二行\r\n第三行");
  CHECK(ControlChecked(settings, kSettingsWindowLayout, "选择框_开启账号监控"));
  CHECK(!ControlChecked(settings, kSettingsWindowLayout, "选择框_删除离线账号"));
}

// "保存" with an empty data-directory box says so and writes nothing;
// closing the window with its title bar's button writes nothing either.
void CheckRefusalAndClosing(const PluginLibrary& plugin, const PluginFiles& files) {
  const std::string base_before = ReadBytes(files.base);
  const std::string data_before = ReadBytes(files.data_file);
  CHECK(!data_before.empty());
  CHECK(Drive(plugin, "type", "SettingsWindow", "编辑框_数据目录", ""));
  CHECK(Drive(plugin, "type", "SettingsWindow", "编辑框_QQ邮箱账号", "40004@qq.com"));
  CHECK(Drive(plugin, "click", "SettingsWindow", "按钮_保存配置"));
  CHECK(TakeMessageBoxes() == "数据目录内容为空，无法保存配置！\n");
  CHECK(ReadBytes(files.data_file) == data_before);
  CHECK(ReadBytes(files.base) == base_before);

  HWND settings = FindWindowNamed("SettingsWindow");
  CHECK(Drive(plugin, "close", "SettingsWindow", ""));
  CHECK(!IsWindow(settings));
  CHECK(DescribeWindows(plugin).empty());
  CHECK(!Drive(plugin, "click", "SettingsWindow", "按钮_保存配置"));
  CHECK(TakeMessageBoxes().empty());
  CHECK(ReadBytes(files.data_file) == data_before);
  CHECK(ReadBytes(files.base) == base_before);
}

// The Window class itself (the core linked into this program): another
// thread reads and writes the controls and clicks while the window's thread
// waits in the plugin's own message-serving wait; handlers run on the
// window's thread; closing from another thread or the title bar.
void CheckWindowAcrossThreads() {
  const DWORD window_thread = GetCurrentThreadId();
  auto window = std::make_shared<lanfeng::Window>(kSettingsWindowLayout);
  CHECK(!window->closed());
  std::atomic<int> clicks{0};
  std::atomic<DWORD> clicked_on{0};
  window->OnClick("按钮_保存配置", [&] {
    clicked_on = GetCurrentThreadId();
    ++clicks;
  });

  std::atomic<bool> done{false};
  std::string read_back;
  bool checked_back = false, clicked = false, unknown_clicked = true;
  std::thread other([&] {
    window->SetText("编辑框_QQ邮箱账号", "甲乙丙@qq.com");
    read_back = window->Text("编辑框_QQ邮箱账号");
    window->SetChecked("选择框_删除离线账号", true);
    checked_back = window->Checked("选择框_删除离线账号");
    clicked = window->Click("按钮_保存配置");
    unknown_clicked = window->Click("无此控件");
    done = true;
  });
  // The window's thread waits as the plugin's threads and the hosts' do,
  // serving its messages.
  for (int i = 0; i < 1000 && (!done || clicks == 0); ++i) {
    lanfeng::WaitUntil(lanfeng::CurrentPlatform().NowMillis() + 10);
  }
  other.join();
  CHECK(read_back == "甲乙丙@qq.com");
  CHECK(checked_back);
  CHECK(clicked);
  CHECK(!unknown_clicked);
  CHECK(clicks == 1);
  CHECK(clicked_on == window_thread);
  HWND native = FindWindowNamed("SettingsWindow");
  CHECK(native != nullptr);
  CHECK(ControlText(native, kSettingsWindowLayout, "编辑框_QQ邮箱账号") == "甲乙丙@qq.com");
  CHECK(window->Describe() == DescribeWindows(PluginLibrary()));

  // A person's click, and a click from code on the window's thread, which
  // runs the handler at once; a check box clicked toggles.
  SendMessageW(ControlOf(native, kSettingsWindowLayout, "按钮_保存配置"), BM_CLICK, 0, 0);
  CHECK(clicks == 2);
  CHECK(window->Click("按钮_保存配置"));
  CHECK(clicks == 3);
  CHECK(window->Click("选择框_开启账号监控"));
  CHECK(window->Checked("选择框_开启账号监控"));

  // Closed from another thread while this one waits.
  done = false;
  std::thread closer([&] {
    window->Close();
    done = true;
  });
  for (int i = 0; i < 1000 && !done; ++i)
    lanfeng::WaitUntil(lanfeng::CurrentPlatform().NowMillis() + 10);
  closer.join();
  CHECK(window->closed());
  CHECK(!IsWindow(native));
  CHECK(!window->Click("按钮_保存配置"));
  CHECK(clicks == 3);

  // The title bar's close button.
  auto second = std::make_shared<lanfeng::Window>(lanfeng::kNoticeWindowLayout);
  HWND second_native = FindWindowNamed("NoticeWindow");
  CHECK(second_native != nullptr);
  SendMessageW(second_native, WM_SYSCOMMAND, SC_CLOSE, 0);
  CHECK(second->closed());
  CHECK(!IsWindow(second_native));
}

// A thread that opens the settings entry and then serves its messages
// (`serving`) or does not (until `release` is set), as a host's other
// thread might.
struct SettingsThread {
  SettingsThread(const PluginLibrary& plugin, bool serving)
      : release(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    thread = std::thread([this, &plugin, serving] {
      plugin.Entry<VoidEntry>("Dr_SetUp")();
      window = FindWindowNamed("NoticeWindow");
      opened = true;
      if (!serving) WaitForSingleObject(release, INFINITE);
      while (WaitForSingleObject(release, 0) == WAIT_TIMEOUT) PumpMessages(10);
      PumpMessages(200);  // what was posted meanwhile
    });
    while (!opened) Sleep(5);
  }
  ~SettingsThread() {
    SetEvent(release);
    thread.join();
    CloseHandle(release);
  }

  HANDLE release;
  std::atomic<bool> opened{false};
  HWND window = nullptr;
  std::thread thread;
};

// Unloading the library with windows open: windows of the unloading thread
// are destroyed; a window of another thread is cut loose from the library
// and closes itself when its thread next serves its messages, whether that
// thread is serving them meanwhile or not. A later load opens windows again.
void CheckUnloadingWithWindowsOpen(PluginLibrary& plugin) {
  OpenSettingsEntry(plugin);
  CHECK(Drive(plugin, "click", "NoticeWindow", "按钮1"));
  OpenSettingsEntry(plugin);
  HWND notice = FindWindowNamed("NoticeWindow");
  HWND settings = FindWindowNamed("SettingsWindow");
  CHECK(notice != nullptr && settings != nullptr);
  CHECK(plugin.Unload());
  CHECK(!IsWindow(notice));
  CHECK(!IsWindow(settings));
  PumpMessages(100);

  CHECK(LoadPlugin(plugin));
  {
    SettingsThread serving(plugin, true);
    CHECK(IsWindow(serving.window));
    CHECK(plugin.Unload());
    for (int i = 0; i < 200 && IsWindow(serving.window); ++i) Sleep(10);
    CHECK(!IsWindow(serving.window));
  }

  CHECK(LoadPlugin(plugin));
  {
    SettingsThread stuck(plugin, false);
    CHECK(IsWindow(stuck.window));
    CHECK(plugin.Unload());
    CHECK(IsWindow(stuck.window));  // until its thread serves it
    SetEvent(stuck.release);
    for (int i = 0; i < 200 && IsWindow(stuck.window); ++i) Sleep(10);
    CHECK(!IsWindow(stuck.window));
  }

  CHECK(LoadPlugin(plugin));
  OpenSettingsEntry(plugin);
  HWND again = FindWindowNamed("NoticeWindow");
  CHECK(again != nullptr);
  if (again) CheckDrawnAsLaidOut(again, lanfeng::kNoticeWindowLayout);
  CHECK(plugin.Unload());
  CHECK(!IsWindow(again));
}

// The settings window filled as an owner would, left open for a screenshot.
int ShowForScreenshot(const std::wstring& place_file) {
  LoadLibraryW((ProgramDirectory() + L"\\Bot.dll").c_str());
  PluginFiles files = MakeProgramDirectory(L"settings-window-shot");
  PluginLibrary plugin;
  if (!LoadPlugin(plugin)) return 1;
  CreateDirectoryW(files.data.c_str(), nullptr);
  WriteBytes(files.base, "[路径配置]\r\n路径内容=D:\\岚风守望数据\r\n");
  OpenSettingsEntry(plugin);
  Drive(plugin, "click", "NoticeWindow", "按钮1");
  Drive(plugin, "type", "SettingsWindow", "编辑框_QQ邮箱账号", "1651327064@qq.com");
  Drive(plugin, "type", "SettingsWindow", "编辑框_QQ邮箱授权码", "abcdefghijklmnop");
  Drive(plugin, "type", "SettingsWindow", "编辑框_通知QQ邮箱", "10001@qq.com");
  Drive(plugin, "tick", "SettingsWindow", "选择框_开启账号监控", "1");
  Drive(plugin, "type", "SettingsWindow", "编辑框_账号下线邮件内容",
        "账号：【账号号码】\r\n时间：【现行时间】\r\n账号掉线了，请尽快处理。");
  HWND settings = FindWindowNamed("SettingsWindow");
  if (settings == nullptr) return 1;
  SetForegroundWindow(settings);
  PumpMessages(500);
  RECT frame;
  GetWindowRect(settings, &frame);
  char place[64];
  std::snprintf(place, sizeof place, "%ld %ld %ld %ld\n", frame.left, frame.top,
                frame.right - frame.left, frame.bottom - frame.top);
  if (!WriteBytes(place_file + L".tmp", place) ||
      !MoveFileExW((place_file + L".tmp").c_str(), place_file.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    return 1;
  }
  for (int i = 0; i < 1200 && !Exists(place_file + L".done"); ++i) PumpMessages(50);
  plugin.Unload();
  return 0;
}

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (count == 3 && std::wstring(arguments[1]) == L"--show") return ShowForScreenshot(arguments[2]);

  // The host loads its own Bot.dll first; the plugin only finds it.
  HMODULE bot = LoadLibraryW((ProgramDirectory() + L"\\Bot.dll").c_str());
  CHECK(bot != nullptr);
  // The driver finds the boxes by the title's UTF-16 spelling.
  CHECK(WideText(lanfeng::kMessageBoxTitle) == lanfeng::kMessageBoxTitleUtf16);
  PluginFiles files = MakeProgramDirectory(L"settings-window-test");
  PluginLibrary plugin;
  CHECK(LoadPlugin(plugin));
  CHECK(Exists(files.program + L"\\" + WideText("岚风守望")));
  if (bot != nullptr && plugin.loaded()) {
    CheckOpeningAndLoading(plugin, files);
    CheckSaving(plugin, files);
    CheckRefusalAndClosing(plugin, files);
    CheckWindowAcrossThreads();
    CheckUnloadingWithWindowsOpen(plugin);
  }
  return wintest::Finish();
}
