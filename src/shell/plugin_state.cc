#include "shell/plugin_state.h"

#include "platform/platform.h"

namespace lanfeng {

namespace {

constexpr int64_t kPollerShortWait = 5, kPollerLongWait = 60;
constexpr int64_t kDispatcherShortWait = 6, kDispatcherLongWait = 70;

}  // namespace

PluginState::PluginState(WorkerPasses passes, std::function<std::string()> fetch_notice)
    : owner{watch, windows, std::move(fetch_notice)}, passes_(std::move(passes)) {
  InitializePlatform();
}

PluginState::~PluginState() { StopWorkers(); }

void PluginState::Enable() {
  std::lock_guard<std::mutex> lock(enable_mu_);
  if (!workers_started_) {
    workers_started_ = true;
    workers_.Start({"StatusPoller", kPollerShortWait, kPollerLongWait,
                    [this] { paths.RefreshDataDirectory(); }, passes_.poller},
                   &poller);
    poller.running.store(1, std::memory_order_release);
    workers_.Start({"NotificationDispatcher", kDispatcherShortWait, kDispatcherLongWait, nullptr,
                    passes_.dispatcher},
                   &dispatcher);
    dispatcher.running.store(1, std::memory_order_release);
    return;
  }
  poller.running.store(1, std::memory_order_release);
  dispatcher.running.store(1, std::memory_order_release);
}

void PluginState::Disable() {
  poller.running.store(0, std::memory_order_release);
  dispatcher.running.store(0, std::memory_order_release);
}

void PluginState::StopWorkers() { workers_.StopAndJoin(); }

void PluginState::StopWorkersForUnload() {
  std::lock_guard<std::mutex> lock(enable_mu_);
  workers_.StopAndJoin();
  workers_.AllowRestart();
  workers_started_ = false;
}

}  // namespace lanfeng
