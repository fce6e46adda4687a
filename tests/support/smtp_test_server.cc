#include "support/smtp_test_server.h"

#include "support/child_process.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <rapidjson/document.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace lanfeng {
namespace {

constexpr char kPython[] = "/usr/bin/python3";
constexpr auto kStartLimit = std::chrono::seconds(30);

std::string ScriptPath() {
  return (std::filesystem::path(__FILE__).parent_path().parent_path() / "servers" /
          "smtp_server.py")
      .string();
}

std::string StringMember(const rapidjson::Value& object, const char* name) {
  auto found = object.FindMember(name);
  if (found == object.MemberEnd() || !found->value.IsString()) return "";
  return std::string(found->value.GetString(), found->value.GetStringLength());
}

std::vector<std::string> StringArray(const rapidjson::Value& array) {
  std::vector<std::string> texts;
  for (const auto& item : array.GetArray()) {
    texts.push_back(item.IsString() ? item.GetString() : "");
  }
  return texts;
}

// The server's decoded summary of one message (see smtp_server.py).
ReceivedMail ParseSummary(const std::string& json) {
  rapidjson::Document document;
  document.Parse(json.c_str(), json.size());
  ReceivedMail mail;
  if (document.HasParseError() || !document.IsObject()) return mail;
  mail.auth_login = StringMember(document, "auth_login");
  mail.mail_from = StringMember(document, "mail_from");
  mail.rcpt_tos = StringArray(document["rcpt_tos"]);
  mail.from_name = StringMember(document, "from_name");
  mail.from_address = StringMember(document, "from_address");
  for (const auto& pair : document["to"].GetArray()) {
    mail.to.emplace_back(pair[0].GetString(), pair[1].GetString());
  }
  mail.subject = StringMember(document, "subject");
  mail.date_valid = document["date_valid"].GetBool();
  mail.message_id = StringMember(document, "message_id");
  mail.mime_version = StringMember(document, "mime_version");
  mail.content_type = StringMember(document, "content_type");
  mail.charset = StringMember(document, "charset");
  mail.transfer_encoding = StringMember(document, "transfer_encoding");
  mail.body = StringMember(document, "body");
  mail.defects = StringArray(document["defects"]);
  mail.longest_line = document["longest_line"].GetInt();
  mail.stray_line_ends = document["stray_line_ends"].GetInt();
  return mail;
}

}  // namespace

::testing::AssertionResult MakeCertificate(const std::string& dir, const std::string& dns_name,
                                           std::string* certificate, std::string* key) {
  *certificate = dir + "/" + dns_name + ".crt";
  *key = dir + "/" + dns_name + ".key";
  const std::string log = dir + "/" + dns_name + ".openssl.log";
  pid_t pid =
      SpawnWithLog({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
             "-nodes", "-days", "2", "-subj", "/CN=" + dns_name, "-addext",
             "subjectAltName=DNS:" + dns_name, "-keyout", *key, "-out", *certificate},
            log);
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    return ::testing::AssertionFailure()
           << "the openssl command could not make a certificate for " << dns_name << ":\n"
           << ReadWholeFile(log);
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult SmtpTestServer::Start(const SmtpServerOptions& options) {
  if (::access(kPython, X_OK) != 0 || ::access(ScriptPath().c_str(), R_OK) != 0) {
    return ::testing::AssertionFailure()
           << kPython << " or " << ScriptPath()
           << " is missing; these tests need Debian's python3-aiosmtpd";
  }
  std::string key;
  ::testing::AssertionResult made =
      MakeCertificate(dir_.native(), options.certificate_name, &certificate_, &key);
  if (!made) return made;
  const std::string store = dir_.native() + "/store";
  const std::string port_file = dir_.native() + "/port";
  const std::string log = dir_.native() + "/server.log";
  ::mkdir(store.c_str(), 0700);
  pid_ = SpawnWithLog({kPython, ScriptPath(), "--port-file", port_file, "--cert", certificate_, "--key",
                key, "--user", options.user, "--password", options.password, "--store", store,
                "--mode", options.mode, "--trickle-delay",
                std::to_string(options.trickle_delay_ms / 1000.0), "--faulty-connections",
                std::to_string(options.faulty_connections)},
               log);
  const auto give_up = std::chrono::steady_clock::now() + kStartLimit;
  while (std::chrono::steady_clock::now() < give_up) {
    port_ = std::atoi(ReadWholeFile(port_file).c_str());
    if (port_ > 0) return ::testing::AssertionSuccess();
    int status = 0;
    if (pid_ < 0 || ::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return ::testing::AssertionFailure()
             << "the SMTP test server ended at once (is python3-aiosmtpd installed for " << kPython
             << "?):\n"
             << ReadWholeFile(log);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return ::testing::AssertionFailure() << "the SMTP test server did not start:\n"
                                       << ReadWholeFile(log);
}

SmtpTestServer::~SmtpTestServer() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

std::vector<ReceivedMail> SmtpTestServer::ReceivedMails() const {
  std::vector<ReceivedMail> mails;
  for (int n = 1;; ++n) {
    const std::string path = dir_.native() + "/store/" + std::to_string(n) + ".json";
    if (::access(path.c_str(), R_OK) != 0) return mails;
    mails.push_back(ParseSummary(ReadWholeFile(path)));
  }
}

RefusingPort::RefusingPort() {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port_ = ntohs(address.sin_port);
  }
}

RefusingPort::~RefusingPort() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace lanfeng
