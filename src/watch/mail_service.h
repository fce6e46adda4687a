// The mail service the system's mails go through: the QQ mail service,
// unless the environment points the plugin at another server (tests and the
// host emulator run a local one). Every such name and default is here.
#pragma once

#include <string>

#include "net/tls_stream.h"

namespace lanfeng {

// A QQ number, "@" and this domain is that account's mailbox.
inline constexpr const char kQqMailDomain[] = "qq.com";
inline constexpr const char kQqMailDefaultSmtpHost[] = "smtp.qq.com";
inline constexpr int kQqMailDefaultSmtpPort = 465;

// Environment settings (native text, not GBK).
// The SMTP server's host name; it must match the server's certificate.
inline constexpr const char kSmtpHostSetting[] = "LANFENG_SMTP_HOST";
// The SMTP server's port (implicit TLS), 1 to 65535.
inline constexpr const char kSmtpPortSetting[] = "LANFENG_SMTP_PORT";
// A PEM file of the CA certificates to trust instead of the system's store.
inline constexpr const char kSmtpCaFileSetting[] = "LANFENG_SMTP_CA_FILE";

// A time limit in milliseconds for connecting and for each reply (the
// whole exchange gets three times as much), instead of the standard ones.
inline constexpr const char kSmtpTimeoutSetting[] = "LANFENG_SMTP_TIMEOUT_MS";

// The SMTP host of the system's mails: LANFENG_SMTP_HOST or smtp.qq.com.
std::string QqMailSmtpHost();
// The SMTP port of the system's mails: LANFENG_SMTP_PORT (when a valid
// port) or 465.
int QqMailSmtpPort();

// How every mail connection is made: the CA file of LANFENG_SMTP_CA_FILE
// (empty: the system's store) and the standard time limits, or those of
// LANFENG_SMTP_TIMEOUT_MS; host and port are left for the sender to fill in.
// An exchange ends at once when the thread making it is asked to stop (a
// worker, when the library is unloaded), so an unload never waits out a
// silent server.
TlsConnectOptions MailConnectionOptions();

}  // namespace lanfeng
