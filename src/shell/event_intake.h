// The hosts' chat events, decoded from each host's own format and routed:
// private messages to the chat commands, eight friend and group events to
// the notices. Everything else is answered without effect by the entry
// points themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "host/host_api.h"
#include "watch/watch_context.h"

namespace lanfeng {

// The XiaoLiZi host's records, laid out as the 32-bit host writes them
// (texts and byte blocks are 4-byte addresses there). Only the fields the
// plugin reads are named.
#pragma pack(push, 4)
struct XlzPrivateMessage {
  int64_t sender;
  int64_t robot;
  uint8_t unused_16[52];
  const char* message;
  uint8_t unused_72[20];
  const void* block_92;
  int32_t value_96;
  int32_t value_100;
  const char* text_104;
  const char* text_108;
  const void* block_112;
  const char* text_116;
  int32_t value_120;
  int32_t value_124;
};

struct XlzEvent {
  int64_t robot;
  int64_t group;
  int64_t operator_account;  // the one who acted: inviter, remover
  int64_t target;            // the one acted upon, or who triggered it
  int64_t value_32;
  int32_t value_40;
  const char* texts_44[4];
  int32_t kind;
  int32_t value_64;
};

struct XlzPluginMessage {
  const char* texts[4];  // only the fourth is used
};
#pragma pack(pop)

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(XlzPrivateMessage) == 128, "the host's private-message record");
static_assert(offsetof(XlzPrivateMessage, robot) == 8 && offsetof(XlzPrivateMessage, message) == 68 &&
                  offsetof(XlzPrivateMessage, block_92) == 92 &&
                  offsetof(XlzPrivateMessage, value_124) == 124,
              "the host's private-message record");
static_assert(sizeof(XlzEvent) == 68, "the host's event record");
static_assert(offsetof(XlzEvent, value_32) == 32 && offsetof(XlzEvent, texts_44) == 44 &&
                  offsetof(XlzEvent, kind) == 60 && offsetof(XlzEvent, value_64) == 64,
              "the host's event record");
static_assert(sizeof(XlzPluginMessage) == 16, "the host's plugin-message record");
#endif

// A text the host passed; null is the empty text.
inline std::string HostText(const char* text) { return text ? text : ""; }

// XiaoLiZi: a private message goes to the chat commands (robot, sender).
void OnXlzPrivateMessage(WatchContext& watch, const XlzPrivateMessage* message);
// XiaoLiZi: an event becomes a notice by its kind.
void OnXlzEvent(HostApi& host, const XlzEvent* event);
// XiaoLiZi: the fourth text of a plugin message, copied.
std::string XlzPluginMessageText(const XlzPluginMessage* message);

// dulu: the records arrive as hex text of big-endian fields; a short or
// damaged record reads as zeros and empty texts.
void OnDuluFriendMessage(WatchContext& watch, const std::string& hex);
void OnDuluFriendEvent(HostApi& host, const std::string& hex);
void OnDuluGroupEvent(HostApi& host, const std::string& hex);

}  // namespace lanfeng
