#include "watch/mail_service.h"

#include <cstdlib>

#include "platform/platform.h"

namespace lanfeng {

std::string QqMailSmtpHost() {
  std::string host = EnvironmentSetting(kSmtpHostSetting);
  return host.empty() ? kQqMailDefaultSmtpHost : host;
}

namespace {

// A whole decimal number of the environment within [low, high], else 0.
long NumberSetting(const char* name, long low, long high) {
  const std::string setting = EnvironmentSetting(name);
  char* end = nullptr;
  const long value = std::strtol(setting.c_str(), &end, 10);
  const bool valid = !setting.empty() && *end == '\0' && value >= low && value <= high;
  return valid ? value : 0;
}

}  // namespace

int QqMailSmtpPort() {
  const long port = NumberSetting(kSmtpPortSetting, 1, 65535);
  return port != 0 ? static_cast<int>(port) : kQqMailDefaultSmtpPort;
}

TlsConnectOptions MailConnectionOptions() {
  TlsConnectOptions options;
  options.ca_file = EnvironmentSetting(kSmtpCaFileSetting);
  options.stop_requested = [] { return StopRequested(ThisThreadQueue()); };
  if (const long limit = NumberSetting(kSmtpTimeoutSetting, 1, 600000)) {
    options.connect_timeout_ms = static_cast<int>(limit);
    options.io_timeout_ms = static_cast<int>(limit);
    options.total_timeout_ms = static_cast<int>(limit * 3);
  }
  return options;
}

}  // namespace lanfeng
