#include "watch/mail_service.h"

#include <cstdlib>

#include "platform/platform.h"

namespace lanfeng {

std::string QqMailSmtpHost() {
  std::string host = EnvironmentSetting(kSmtpHostSetting);
  return host.empty() ? kQqMailDefaultSmtpHost : host;
}

int QqMailSmtpPort() {
  const std::string setting = EnvironmentSetting(kSmtpPortSetting);
  char* end = nullptr;
  const long port = std::strtol(setting.c_str(), &end, 10);
  const bool valid = !setting.empty() && *end == '\0' && port >= 1 && port <= 65535;
  return valid ? static_cast<int>(port) : kQqMailDefaultSmtpPort;
}

TlsConnectOptions MailConnectionOptions() {
  TlsConnectOptions options;
  options.ca_file = EnvironmentSetting(kSmtpCaFileSetting);
  return options;
}

}  // namespace lanfeng
