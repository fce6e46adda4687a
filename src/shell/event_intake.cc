#include "shell/event_intake.h"

#include "host/packet_codec.h"
#include "owner/notices.h"
#include "owner/private_commands.h"

namespace lanfeng {
namespace {

std::string Decimal(int64_t number) { return std::to_string(number); }

// A text field of a dulu record: a signed 32-bit length, then that many
// bytes (up to the first NUL). A length that is not positive, or larger
// than what remains, is an empty text.
std::string ReadDuluText(PacketReader& reader) {
  const int32_t length = reader.ReadInt32();
  if (length <= 0 || static_cast<size_t>(length) > reader.remaining()) return "";
  std::string text = reader.ReadBytes(static_cast<size_t>(length));
  return text.substr(0, text.find('\0'));
}

PacketReader ReaderOf(const std::string& hex) {
  PacketReader reader;
  reader.Load(HexDecode(hex));
  return reader;
}

}  // namespace

void OnXlzPrivateMessage(WatchContext& watch, const XlzPrivateMessage* message) {
  if (message == nullptr) return;
  HandlePrivateCommand(watch, Decimal(message->robot), Decimal(message->sender),
                       HostText(message->message));
}

void OnXlzEvent(HostApi& host, const XlzEvent* event) {
  if (event == nullptr) return;
  const std::string robot = Decimal(event->robot), group = Decimal(event->group);
  const std::string actor = Decimal(event->operator_account), target = Decimal(event->target);
  switch (event->kind) {
    case 105: NoticeFriendAdded(host, robot, target); break;
    case 108: NoticeProfileLiked(host, robot, target); break;
    case 1: NoticeInvitedToGroup(host, robot, group, actor); break;
    case 2: NoticeMemberJoined(host, robot, group, target); break;
    case 25: NoticeMemberInvited(host, robot, group, actor, target); break;
    case 3: NoticeJoinRequest(host, robot, group, target); break;
    case 5: NoticeMemberLeft(host, robot, group, target); break;
    case 6: NoticeMemberKicked(host, robot, group, actor, target); break;
    default: break;
  }
}

std::string XlzPluginMessageText(const XlzPluginMessage* message) {
  return message ? HostText(message->texts[3]) : "";
}

void OnDuluFriendMessage(WatchContext& watch, const std::string& hex) {
  PacketReader reader = ReaderOf(hex);
  const int64_t robot = reader.ReadInt64();
  reader.ReadInt16();
  reader.ReadInt32();
  reader.ReadInt32();
  reader.ReadInt32();
  reader.ReadInt64();
  const int64_t sender = reader.ReadInt64();
  reader.ReadInt64();
  const std::string message = ReadDuluText(reader);
  HandlePrivateCommand(watch, Decimal(robot), Decimal(sender), message);
}

void OnDuluFriendEvent(HostApi& host, const std::string& hex) {
  PacketReader reader = ReaderOf(hex);
  const int64_t robot = reader.ReadInt64();
  const int16_t kind = reader.ReadInt16();
  reader.ReadInt16();
  reader.ReadInt32();
  reader.ReadInt32();
  reader.ReadInt32();
  reader.ReadInt64();
  const int64_t group = reader.ReadInt64();
  const int64_t other = reader.ReadInt64();
  switch (kind) {
    case 2000: NoticeFriendAdded(host, Decimal(robot), Decimal(other)); break;
    case 2001: NoticeProfileLiked(host, Decimal(robot), Decimal(other)); break;
    case 2002: NoticeInvitedToGroup(host, Decimal(robot), Decimal(group), Decimal(other)); break;
    default: break;
  }
}

void OnDuluGroupEvent(HostApi& host, const std::string& hex) {
  PacketReader reader = ReaderOf(hex);
  const int64_t robot = reader.ReadInt64();
  const int16_t kind = reader.ReadInt16();
  reader.ReadInt16();
  const int64_t group = reader.ReadInt64();
  reader.ReadInt32();
  reader.ReadInt32();
  reader.ReadInt32();
  reader.ReadInt64();
  const int64_t applicant = reader.ReadInt64();
  if (kind == 3002) NoticeJoinRequest(host, Decimal(robot), Decimal(group), Decimal(applicant));
}

}  // namespace lanfeng
