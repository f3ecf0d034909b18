#include "engine/upgrade_frame.h"

namespace zevuvuri {

void UpgradeFrame::SetHeader(std::uint32_t offset, std::uint8_t marker, std::uint8_t type_code) {
  bytes_[0] = static_cast<std::uint8_t>(offset & 0xFF);
  bytes_[1] = static_cast<std::uint8_t>((offset >> 8) & 0xFF);
  bytes_[2] = static_cast<std::uint8_t>(marker | ((offset >> 16) & 0x0F));
  bytes_[3] = type_code;
}

void UpgradeFrame::SetPollHeader(std::uint8_t type_code) { SetHeader(0, kPollMarker, type_code); }

void UpgradeFrame::SetDataHeader(std::uint32_t offset, std::uint8_t type_code) {
  SetHeader(offset, kDataMarker, type_code);
}

void UpgradeFrame::SetEndHeader(std::uint32_t offset, std::uint8_t type_code) {
  SetHeader(offset, kEndMarker, type_code);
}

ReplyMeaning ClassifyReply(ReplyPhase phase, std::uint8_t reply, LinkMode link_mode) {
  switch (phase) {
    case ReplyPhase::Synchronisation:
      if (reply == kReplyAck) return ReplyMeaning::OverTheAir;
      if (reply == kReplySerial) return ReplyMeaning::Serial;
      return ReplyMeaning::NotAnAnswer;
    case ReplyPhase::Frame:
      return reply == kReplyAck ? ReplyMeaning::Acknowledged : ReplyMeaning::Refused;
    case ReplyPhase::End:
      if (reply == kReplyAck) return ReplyMeaning::Acknowledged;
      if (reply == kReplySerialReboot && link_mode == LinkMode::Serial) return ReplyMeaning::Acknowledged;
      return ReplyMeaning::Refused;
  }
  return ReplyMeaning::Refused;
}

}  // namespace zevuvuri
