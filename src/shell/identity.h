// Who the plugin is, as each host is told at registration.
#pragma once

#include <cstdint>
#include <string>

namespace lanfeng {

struct DrPluginInfo;

inline constexpr char kPluginName[] = "岚风守望";
inline constexpr char kPluginAuthor[] = "墨川";
inline constexpr char kPluginVersion[] = "1.0.9";
inline constexpr char kPluginDescription[] = "作者QQ：1651327064";
inline constexpr char kDrPluginKey[] = "7302KXQPLA5519047MZRTB6Y";
inline constexpr char kDrSdkCode[] = "S1";
inline constexpr char kXlzSdkVersion[] = "5.1.7";
inline constexpr char kXlzPermissionReason[] = "这是申请所有权限的例子";

// The DR host's description text: six tagged lines joined by CR LF.
std::string DrDescriptionText(const DrPluginInfo& info);

// The plugin name without the characters a file or window name cannot hold
// (/ \ : * ? " < > | ' CR LF).
std::string ApplicationName(const std::string& plugin_name);

// The entry addresses handed to the XiaoLiZi host; 0 where unset.
struct XlzCallbacks {
  intptr_t get_ticket = 0;      // "getticketaddres"
  intptr_t get_vef_code = 0;    // "getvefcodeaddres"
  intptr_t enable = 0;          // "useproaddres"
  intptr_t disable = 0;         // "banproaddres"
  intptr_t unload = 0;          // "unitproaddres"
  intptr_t settings = 0;        // "setproaddres"
  intptr_t private_message = 0; // "friendmsaddres"
  intptr_t group_message = 0;   // "groupmsaddres"
  intptr_t channel = 0;         // "ChannelFunc"
  intptr_t event = 0;           // "eventmsaddres"
  intptr_t plugin_message = 0;  // "PmDealFunc"
};

// The XiaoLiZi registration answer, built up during the call.
class XlzRegistration {
 public:
  XlzRegistration(std::string application_name, XlzCallbacks callbacks);

  // Asks for permission index (1 to 372) with a reason; nothing for an index
  // outside that range or a reason that is blank once escaped.
  void AddPermission(int index, const std::string& reason);
  // Asks for every permission with the same reason.
  void AddAllPermissions(const std::string& reason);

  // The registration JSON, one line: seventeen members, ending in "}}}".
  std::string Json() const;

 private:
  std::string application_name_;
  XlzCallbacks callbacks_;
  std::string permissions_;
};

// The dulu signature: MD5 of name + "|" + author (their GBK bytes), as 32
// lowercase hexadecimal digits.
std::string DuluSignature(const std::string& name, const std::string& author);

// The message shown for an internal fault under the XiaoLiZi host.
std::string FaultReportBody(const std::string& application_name, int32_t code,
                            const std::string& message);
std::string FaultReportTitle(const std::string& application_name);

}  // namespace lanfeng
