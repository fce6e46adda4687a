#include "shell/identity.h"

#include <cstdio>

#include "platform/digest.h"
#include "runtime/gbk_text.h"
#include "shell/plugin_state.h"
#include "shell/xlz_permissions.h"

namespace lanfeng {
namespace {

// Trims ASCII blanks and GBK full-width spaces (A1 A1) from both ends.
std::string TrimWideBlanks(const std::string& text) {
  size_t begin = std::string::npos, end = 0, pos = 0;
  while (pos < text.size()) {
    size_t length = GbkCharLength(text, pos);
    bool blank = (length == 1 && text[pos] == ' ') ||
                 (length == 2 && text.compare(pos, 2, "\xA1\xA1") == 0);
    if (!blank) {
      if (begin == std::string::npos) begin = pos;
      end = pos + length;
    }
    pos += length;
  }
  return begin == std::string::npos ? "" : text.substr(begin, end - begin);
}

void AppendMember(std::string* json, const char* name, const std::string& text) {
  *json += std::string("\"") + name + "\":\"" + text + "\",";
}

void AppendMember(std::string* json, const char* name, intptr_t number) {
  *json += std::string("\"") + name + "\":" + std::to_string(number) + ",";
}

}  // namespace

std::string DrDescriptionText(const DrPluginInfo& info) {
  return "插件名称{" + info.name + "}\r\n插件版本{" + info.version + "}\r\n插件作者{" + info.author +
         "}\r\n插件说明{" + info.description + "}\r\n插件skey{" + info.skey + "}\r\n插件sdk{" +
         info.sdk + "}";
}

std::string ApplicationName(const std::string& plugin_name) {
  std::string name = plugin_name;
  for (const char* unwanted : {"/", "\\", ":", "*", "?", "\"", "<", ">", "|", "'", "\r", "\n"}) {
    name = ReplaceAll(name, unwanted, "");
  }
  return name;
}

XlzRegistration::XlzRegistration(std::string application_name, XlzCallbacks callbacks)
    : application_name_(std::move(application_name)), callbacks_(callbacks) {}

void XlzRegistration::AddPermission(int index, const std::string& reason) {
  if (index < 1 || index > static_cast<int>(kXlzPermissionCount)) return;
  std::string escaped = ReplaceAll(reason, "\\", "\\\\");
  escaped = ReplaceAll(escaped, "\"", "\\\"");
  escaped = ReplaceAll(escaped, "\r", "\\r");
  escaped = ReplaceAll(escaped, "\n", "\\n");
  escaped = TrimWideBlanks(escaped);
  if (escaped.empty()) return;
  permissions_ += std::string("\"") + kXlzPermissionNames[index - 1] + "\":{\"desc\":\"" + escaped +
                  "\"},";
}

void XlzRegistration::AddAllPermissions(const std::string& reason) {
  for (int i = 1; i <= static_cast<int>(kXlzPermissionCount); ++i) AddPermission(i, reason);
}

std::string XlzRegistration::Json() const {
  std::string json = "{";
  AppendMember(&json, "sdkv", kXlzSdkVersion);
  AppendMember(&json, "appname", application_name_);
  AppendMember(&json, "author", kPluginAuthor);
  AppendMember(&json, "appv", kPluginVersion);
  AppendMember(&json, "describe", kPluginDescription);
  AppendMember(&json, "getticketaddres", callbacks_.get_ticket);
  AppendMember(&json, "getvefcodeaddres", callbacks_.get_vef_code);
  AppendMember(&json, "useproaddres", callbacks_.enable);
  AppendMember(&json, "banproaddres", callbacks_.disable);
  AppendMember(&json, "unitproaddres", callbacks_.unload);
  AppendMember(&json, "setproaddres", callbacks_.settings);
  AppendMember(&json, "friendmsaddres", callbacks_.private_message);
  AppendMember(&json, "groupmsaddres", callbacks_.group_message);
  AppendMember(&json, "ChannelFunc", callbacks_.channel);
  AppendMember(&json, "eventmsaddres", callbacks_.event);
  AppendMember(&json, "PmDealFunc", callbacks_.plugin_message);
  std::string permissions = permissions_;
  if (!permissions.empty() && permissions.back() == ',') permissions.pop_back();
  return json + "\"data\":{\"needapilist\":{" + permissions + "}}}";
}

std::string DuluSignature(const std::string& name, const std::string& author) {
  Md5Digest digest;
  if (!ComputeMd5(name + "|" + author, &digest)) return "";
  std::string hex;
  for (unsigned char byte : digest) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", byte);
    hex += pair;
  }
  return hex;
}

std::string FaultReportBody(const std::string& application_name, int32_t code,
                            const std::string& message) {
  return "插件[" + application_name + "]\r\n运行时发生了类型错误。\r\n\r\n错误代码：" +
         std::to_string(code) + "\r\n错误信息：\r\n" + message;
}

std::string FaultReportTitle(const std::string& application_name) {
  return "插件运行出错：" + application_name;
}

}  // namespace lanfeng
