// A plugin's account watch around the emulator's three hosts, in a
// temporary program directory with a configured data directory.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "host/dr_binding.h"
#include "host/dulu_binding.h"
#include "host/host_api.h"
#include "host/xlz_binding.h"
#include "support/test_platforms.h"
#include "watch/config.h"
#include "watch/watch_context.h"

namespace lanfeng {

// The program directory is a temporary one; file operations can be made to
// fail (FaultyFilesPlatform).
class ProgramDirPlatform : public FaultyFilesPlatform {
 public:
  explicit ProgramDirPlatform(std::string program) : program_(std::move(program)) {}
  std::string ProgramDirectory() override { return program_; }
  // Message boxes are kept as "title|text" instead of being shown.
  void ShowMessageBox(const std::string& text, const std::string& title, uint32_t) override {
    std::lock_guard<std::mutex> lock(boxes_mu_);
    boxes_.push_back(title + "|" + text);
  }
  std::vector<std::string> TakeMessageBoxes() {
    std::lock_guard<std::mutex> lock(boxes_mu_);
    std::vector<std::string> taken;
    taken.swap(boxes_);
    return taken;
  }

 private:
  std::string program_;
  std::mutex boxes_mu_;
  std::vector<std::string> boxes_;
};

class WatchFixture : public ::testing::Test {
 protected:
  WatchFixture();
  ~WatchFixture() override;

  // Registers the emulated host of kind (0: none).
  void UseHost(HostKind kind);
  // Sets a key of the data configuration file.
  void SetSetting(const std::string& key, const std::string& value);
  void SetState(const std::string& account, const std::string& state);
  std::string State(const std::string& account);
  std::string RecordPath(const std::string& account);
  // The lines logged through the host API (prefix removed) since the last
  // call, and all other host calls dropped.
  std::vector<std::string> LogLines();
  // Whether a line equal to text was logged (consumes the lines).
  static bool Contains(const std::vector<std::string>& lines, const std::string& text);

  TempDir dir_;
  ProgramDirPlatform platform_{dir_.path()};
  ScopedPlatform scope_{&platform_};
  std::atomic<int32_t> host_kind_{kNoHost};
  DrBinding dr_;
  XlzBinding xlz_;
  DuluBinding dulu_;
  HostApi host_{host_kind_, dr_, xlz_, dulu_};
  PluginPaths paths_;
  WatchContext watch_{host_kind_, host_, dr_, xlz_, dulu_, paths_};
  // Mails handed to the send step; each succeeds unless fail_mail_ is set.
  std::atomic<int> mails_{0};
  std::string fail_mail_;
};

}  // namespace lanfeng
