// What the account watch uses of the plugin: the host it is in, the host's
// functions and the files. The plugin state makes one for its workers; tests
// make their own.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "host/dr_binding.h"
#include "host/dulu_binding.h"
#include "host/host_api.h"
#include "host/xlz_binding.h"
#include "watch/config.h"

namespace lanfeng {

class MailSender;

// Sends a prepared mail; the seam where tests and benchmarks replace SMTP.
using MailSendStep = std::function<bool(MailSender& sender, std::string* error)>;
// The real step: MailSender::Send.
bool SendOverSmtp(MailSender& sender, std::string* error);

struct WatchContext {
  const std::atomic<int32_t>& host_kind;
  HostApi& host;
  DrBinding& dr;
  XlzBinding& xlz;
  DuluBinding& dulu;
  PluginPaths& paths;
  MailSendStep send_mail = SendOverSmtp;
};

}  // namespace lanfeng
