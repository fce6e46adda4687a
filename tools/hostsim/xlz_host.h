// The XiaoLiZi host as the emulator plays it: its API functions, listed by
// name and address in the text the host hands over at registration.
#pragma once

#include <string>

namespace hostsim {

// The plugin key this host gives the plugin.
inline constexpr char kXlzPluginKey[] = "hostsim-xlz-key";

// The API list: {"name":address,...} for every function below (GBK names).
std::string XlzApiList();

// The answer of "取框架QQ" (GBK JSON) and of "QQ列表_删除QQ".
void SetXlzAccountList(const std::string& json);
void SetXlzDeleteAnswer(const std::string& answer);

}  // namespace hostsim
