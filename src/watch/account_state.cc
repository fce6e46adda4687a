#include "watch/account_state.h"

namespace lanfeng {
namespace {

struct StateName {
  AccountState state;
  const char* text;
};

constexpr StateName kStateNames[] = {
    {AccountState::kUnseen, ""},
    {AccountState::kOnlinePending, "1"},
    {AccountState::kOnlineNotified, "2"},
    {AccountState::kOfflinePending, "3"},
    {AccountState::kOfflineNotified, "4"},
};

// Every transition of the state machine; any other combination leaves the
// record unchanged.
enum class Event { kReportedOnline, kReportedOffline, kDispatched };

struct Transition {
  AccountState from;
  Event event;
  AccountState to;
};

constexpr Transition kTransitions[] = {
    {AccountState::kUnseen, Event::kReportedOnline, AccountState::kOnlinePending},
    {AccountState::kOfflineNotified, Event::kReportedOnline, AccountState::kOnlinePending},
    {AccountState::kUnseen, Event::kReportedOffline, AccountState::kOfflinePending},
    {AccountState::kOnlineNotified, Event::kReportedOffline, AccountState::kOfflinePending},
    {AccountState::kOnlinePending, Event::kDispatched, AccountState::kOnlineNotified},
    {AccountState::kOfflinePending, Event::kDispatched, AccountState::kOfflineNotified},
};

std::optional<AccountState> Next(AccountState from, Event event) {
  for (const Transition& transition : kTransitions) {
    if (transition.from == from && transition.event == event) return transition.to;
  }
  return std::nullopt;
}

}  // namespace

AccountState ParseAccountState(const std::string& text) {
  for (const StateName& name : kStateNames) {
    if (text == name.text) return name.state;
  }
  return AccountState::kUnknown;
}

std::string AccountStateText(AccountState state) {
  for (const StateName& name : kStateNames) {
    if (name.state == state) return name.text;
  }
  return "";
}

std::optional<AccountState> StateAfterReport(AccountState state, bool online) {
  return Next(state, online ? Event::kReportedOnline : Event::kReportedOffline);
}

std::optional<AccountState> StateAfterDispatch(AccountState state) {
  return Next(state, Event::kDispatched);
}

}  // namespace lanfeng
