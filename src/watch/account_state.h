// The notification state of one watched account, kept in its record file.
//
// The poller moves an account out of a handled state when the host reports
// the opposite status; the dispatcher moves a pending state to its handled
// state (writing it before the mail is sent). The two start from disjoint
// states, so neither can undo the other's step.
#pragma once

#include <optional>
#include <string>

namespace lanfeng {

enum class AccountState {
  kUnseen,           // ""  no record yet, or no state key
  kOnlinePending,    // "1" seen online; the online mail is due
  kOnlineNotified,   // "2" the online mail has been handled
  kOfflinePending,   // "3" seen offline; the offline mail is due
  kOfflineNotified,  // "4" the offline mail has been handled
  kUnknown,          // any other value: left alone by both workers
};

AccountState ParseAccountState(const std::string& text);
// The stored text of a state; kUnknown has none and gives "".
std::string AccountStateText(AccountState state);

// The state the poller writes when the host reports the account online or
// offline, or nothing when the record stays as it is.
std::optional<AccountState> StateAfterReport(AccountState state, bool online);

// The handled state the dispatcher writes before it mails, or nothing when
// the state is not pending.
std::optional<AccountState> StateAfterDispatch(AccountState state);

}  // namespace lanfeng
