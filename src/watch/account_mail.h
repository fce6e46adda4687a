// The online and offline mails about one account.
#pragma once

#include <string>

#include "watch/watch_context.h"

namespace lanfeng {

// The account's own mailbox: its number under the QQ mail domain.
std::string AccountMailbox(const std::string& account);

// Sends the online (online true) or offline mail about account: to the
// forwarding mailbox when the account's forward switch is on, else to
// mailbox; then a copy to the extra notification mailbox when one is set.
// Every step and outcome goes to the host log.
void SendAccountMail(WatchContext& watch, const std::string& account, const std::string& mailbox,
                     bool online);
// The same from a pass's own reading of the settings (data) and of the
// account's record (record_contents, the INI text), so that nothing needs
// reading again once the pass has committed to the mail.
void SendAccountMail(WatchContext& watch, const DataPaths& data, const std::string& record_contents,
                     const std::string& account, const std::string& mailbox, bool online);

// Logs the outcome of one send: success when error is empty.
void LogSendResult(HostApi& host, const std::string& receiver, const std::string& error);

}  // namespace lanfeng
