// hostsim: plays a QQ robot host around the real plugin library.
//
//   hostsim [--host dr|xlz|dulu] [--plugin PATH] [--time-scale N] [--trace]
//           [--script FILE]
//
// Commands come from the script, or from standard input when there is none,
// one per line ("#" starts a comment):
//   load             load the plugin library (done at start)
//   register [FILE]  call the host's registration entry point (and write
//                    the answer's bytes to FILE)
//   enable           call the host's enable entry point
//   disable          call the host's disable entry point
//   unload-notice    call the host's unload notice entry point
//   unload           the unload notice, then unload the library; tells how
//                    long both took and whether
//                    any plugin thread was left behind
//   online QQ        log the account QQ in (adding it to the host's list)
//   offline QQ       log the account QQ out
//   exports FILE     look up every entry point FILE names (one per line,
//                    "name@bytes" as src/exports/exports.list has them)
//   accounts         show the host's accounts
//   add-accounts FIRST COUNT online|offline   add COUNT accounts numbered
//                    from FIRST at once
//   flap COUNT SECONDS ROUNDS [SEED]   ROUNDS times: flip COUNT accounts
//                    picked at random, then let SECONDS host seconds pass
//   refuse-removal   make the XiaoLiZi and dulu hosts refuse to remove accounts
//   private ROBOT SENDER TEXT   deliver a private message to the plugin
//   event CODE ROBOT GROUP ACTOR TARGET   deliver a friend or group event
//                    (the host's own code: XiaoLiZi 105, 108, 1, 2, 25, 3, 5, 6;
//                    dulu 2000, 2001, 2002 friend events, 3002 group events)
//   prompt KIND TEXT offer a login prompt (DR kind 3 is a lock prompt)
//   settings         call the host's settings entry (it opens the notice window)
//   windows          show the plugin's open windows, every control and its content
//   type WINDOW CONTROL TEXT   put TEXT into an edit box ("\n" for a line break)
//   tick WINDOW CONTROL 0|1    untick or tick a check box
//   click WINDOW CONTROL       click a button
//   close WINDOW     close a window with its title-bar button
//   wait SECONDS     let host time pass (divided by the time scale)
//   wait-for SECONDS TEXT
//                    let host time pass until the host shows a line with
//                    TEXT (one not matched by an earlier wait-for), at most
//                    SECONDS
//   threads          show how many threads the process has
//   echo TEXT        print TEXT
//   quit             stop
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include "accounts.h"
#include "dulu_host.h"
#include "events.h"
#include "hosts.h"
#include "xlz_host.h"
#include "plugin_library.h"
#include "text.h"
#include "window_driver.h"

namespace hostsim {
namespace {

struct Options {
  HostKind host = HostKind::kDr;
  std::string plugin = LANFENG_DEFAULT_PLUGIN;
  std::string script;
  double time_scale = 1;
  bool trace = false;
};

void Usage() {
  std::fprintf(stderr,
               "usage: hostsim [--host dr|xlz|dulu] [--plugin PATH] [--time-scale N] [--trace] "
               "[--script FILE]\n");
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string text;
    if (arg == "--host") {
      if (!value(&text) || !ParseHostKind(text, &options->host)) return false;
    } else if (arg == "--plugin") {
      if (!value(&options->plugin)) return false;
    } else if (arg == "--script") {
      if (!value(&options->script)) return false;
    } else if (arg == "--time-scale") {
      if (!value(&text)) return false;
      options->time_scale = std::atof(text.c_str());
      if (options->time_scale < 1) return false;
    } else if (arg == "--trace") {
      options->trace = true;
    } else {
      return false;
    }
  }
  return true;
}

// The rest of a command line after the words already read, without the
// one blank that separates it from them.
std::string RestOfLine(std::istringstream& words) {
  std::string rest;
  std::getline(words, rest);
  if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
  return rest;
}

class Emulator {
 public:
  explicit Emulator(const Options& options) : options_(options) {}

  // Runs one command line; false to stop.
  bool Run(const std::string& line) {
    std::istringstream words(line);
    std::string command;
    if (!(words >> command) || command[0] == '#') return true;
    if (command == "quit") return false;
    if (command == "load") {
      Load();
    } else if (command == "register") {
      std::string file, answer;
      words >> file;
      if (Require()) Say(CallRegister(plugin_, options_.host, &answer));
      if (!file.empty()) {
        std::ofstream out(file, std::ios::binary);
        out << answer;
        Say(out ? "the answer's bytes are in " + file : "cannot write " + file);
      }
    } else if (command == "enable") {
      Say(Require() ? CallEnable(plugin_, options_.host) : "");
    } else if (command == "disable") {
      Say(Require() ? CallDisable(plugin_, options_.host) : "");
    } else if (command == "unload-notice") {
      Say(Require() ? CallUnloadNotice(plugin_, options_.host) : "");
    } else if (command == "unload") {
      Unload();
    } else if (command == "wait") {
      double seconds = 0;
      words >> seconds;
      Say("waiting " + std::to_string(static_cast<long long>(seconds)) + " host seconds");
      WaitHandlingWindows(seconds / options_.time_scale);
    } else if (command == "wait-for") {
      double seconds = 0;
      words >> seconds;
      const std::string text = RestOfLine(words);
      // Host time is real time times the scale; look every 20 ms of real time.
      const double slice = 0.02;
      double left = seconds / options_.time_scale;
      bool seen = TakeShownLine(text);
      for (; !seen && left > 0; left -= slice) {
        WaitHandlingWindows(slice);
        seen = TakeShownLine(text);
      }
      Say(seen ? "the host showed: " + text
               : "gave up after " + std::to_string(static_cast<long long>(seconds)) +
                     " host seconds waiting for: " + text);
    } else if (command == "online" || command == "offline") {
      std::string account;
      words >> account;
      if (account.empty()) {
        Say("usage: " + command + " QQ");
      } else {
        SetAccountOnline(account, command == "online");
        Say("account " + account + " is now " + command);
      }
    } else if (command == "add-accounts") {
      unsigned long long first = 0, count = 0;
      std::string status;
      words >> first >> count >> status;
      std::vector<std::pair<std::string, bool>> accounts;
      for (unsigned long long i = 0; i < count; ++i) accounts.emplace_back(std::to_string(first + i), status == "online");
      SetAccountsOnline(accounts);
      Say("added " + std::to_string(count) + " accounts, " + (status == "online" ? "online" : "offline"));
    } else if (command == "flap") {
      unsigned long long count = 0, rounds = 0;
      double seconds = 0;
      unsigned seed = 1;
      words >> count >> seconds >> rounds >> seed;
      for (unsigned long long round = 0; round < rounds; ++round) {
        FlipRandomAccounts(count, &seed);
        WaitHandlingWindows(seconds / options_.time_scale);
      }
      Say("flipped " + std::to_string(count) + " accounts " + std::to_string(rounds) + " times");
    } else if (command == "refuse-removal") {
      SetXlzDeleteAnswer("1");
      SetDuluDeleteStatus(2);
      Say("the host now refuses to remove accounts");
    } else if (command == "private") {
      long long robot = 0, sender = 0;
      words >> robot >> sender;
      const std::string text = RestOfLine(words);
      Say(Require() ? DeliverPrivateMessage(plugin_, options_.host, robot, sender, text) : "");
    } else if (command == "event") {
      long long code = 0, robot = 0, group = 0, actor = 0, target = 0;
      words >> code >> robot >> group >> actor >> target;
      Say(Require() ? DeliverEvent(plugin_, options_.host, static_cast<int32_t>(code), robot, group,
                                   actor, target)
                    : "");
    } else if (command == "prompt") {
      int prompt = 0;
      words >> prompt;
      const std::string text = RestOfLine(words);
      Say(Require() ? DeliverLoginPrompt(plugin_, options_.host, prompt, text) : "");
    } else if (command == "settings") {
      Say(Require() ? CallSettingsEntry(plugin_, options_.host) : "");
    } else if (command == "windows") {
      if (Require()) std::printf("%s", FromGbk(DescribeWindows(plugin_)).c_str());
    } else if (command == "type" || command == "tick" || command == "click" || command == "close") {
      std::string window, control;
      words >> window;
      if (command != "close") words >> control;
      const std::string text = RestOfLine(words);
      Say(Require() ? DriveWindow(plugin_, command, window, control, text) : "");
    } else if (command == "exports") {
      std::string file;
      words >> file;
      if (Require()) Say(FindExports(file));
    } else if (command == "accounts") {
      for (const std::string& line : DescribeAccounts()) Say(line);
    } else if (command == "threads") {
      Say("the process has " + std::to_string(ThreadCount()) + " threads");
    } else if (command == "echo") {
      Say(RestOfLine(words));
    } else {
      Say("unknown command: " + command);
    }
    return true;
  }

  void Load() {
    if (plugin_.loaded()) return;
    threads_before_load_ = ThreadCount();
    std::string error;
    if (plugin_.Load(options_.plugin, &error)) {
      Say(std::string("loaded the plugin as the ") + HostName(options_.host) + " host");
    } else {
      Say("cannot load the plugin: " + error);
    }
  }

 private:
  bool Require() {
    if (!plugin_.loaded()) Say("the plugin is not loaded");
    return plugin_.loaded();
  }

  void Unload() {
    if (!Require()) return;
    // As a host does: the unload notice, then the library is freed.
    auto start = std::chrono::steady_clock::now();
    CallUnloadNotice(plugin_, options_.host);
    bool gone = plugin_.Unload();
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    int left = ThreadCount() - threads_before_load_;
    char text[160];
    std::snprintf(text, sizeof text, "unloaded in %.1f ms; library %s; %d plugin thread(s) left", ms,
                  gone ? "gone from the process" : "STILL MAPPED", left < 0 ? 0 : left);
    Say(text);
  }

  // Looks up every entry point of the list by name, as a host would.
  std::string FindExports(const std::string& file) const {
    std::ifstream list(file);
    if (!list) return "cannot read " + file;
    std::string line, missing;
    int found = 0;
    while (std::getline(list, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty() || line[0] == '#') continue;
      const std::string name = line.substr(0, line.find('@'));
      if (plugin_.Find(name.c_str())) {
        ++found;
      } else {
        missing += " " + name;
      }
    }
    return missing.empty() ? "all " + std::to_string(found) + " entry points found by name"
                           : "entry points missing:" + missing;
  }

  void Say(const std::string& text) {
    if (text.empty()) return;
    std::printf("[hostsim] %s\n", text.c_str());
    std::fflush(stdout);
  }

  Options options_;
  PluginLibrary plugin_;
  int threads_before_load_ = 0;
};

}  // namespace
}  // namespace hostsim

int main(int argc, char** argv) {
  hostsim::Options options;
  if (!hostsim::ParseOptions(argc, argv, &options)) {
    hostsim::Usage();
    return 2;
  }
  // The plugin's trace lines (standard error) go in order with ours.
  // The plugin reads its time scale and trace switch when it loads.
  std::string scale = std::to_string(options.time_scale);
#if defined(_WIN32)
  // Lines end in LF as on Linux; the plugin's own CR LF pass unchanged.
  _setmode(_fileno(stdout), _O_BINARY);
  _dup2(_fileno(stdout), _fileno(stderr));
  _putenv_s("LANFENG_TIME_SCALE", scale.c_str());
  if (options.trace) _putenv_s("LANFENG_TRACE", "1");
#else
  dup2(STDOUT_FILENO, STDERR_FILENO);
  setenv("LANFENG_TIME_SCALE", scale.c_str(), 1);
  if (options.trace) setenv("LANFENG_TRACE", "1", 1);
#endif
  hostsim::ShowHostCalls(options.host);

  // Sanitizers start a helper thread of their own with the first thread:
  // start it now, so that counting the plugin's threads counts only them.
  std::thread([] {}).join();
  hostsim::Emulator emulator(options);
  emulator.Load();
  std::ifstream script_file;
  std::istream* input = &std::cin;
  if (!options.script.empty()) {
    script_file.open(options.script);
    if (!script_file) {
      std::fprintf(stderr, "cannot read %s\n", options.script.c_str());
      return 2;
    }
    input = &script_file;
  }
  std::string line;
  while (std::getline(*input, line) && emulator.Run(line)) {
  }
  return 0;
}
