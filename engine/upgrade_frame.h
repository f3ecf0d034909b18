// The wire format spoken to the module: every byte the loader sends and every
// reply byte it interprets. There is no checksum, length field or escaping on
// this link; frames and fillers have fixed sizes.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace zevuvuri {

constexpr std::size_t kFrameSize = 60;
constexpr std::size_t kFrameHeaderSize = 4;
constexpr std::size_t kPayloadSize = kFrameSize - kFrameHeaderSize;  // 56 firmware bytes per frame

// Byte 2 of a frame: the kind in the high nibble, offset bits 16-19 in the low one.
constexpr std::uint8_t kPollMarker = 0x00;
constexpr std::uint8_t kDataMarker = 0x50;  // "P" while the offset is below 64 KiB
constexpr std::uint8_t kEndMarker = 0x70;   // "p" while the offset is below 64 KiB

// The offset field is 20 bits wide: 16 in bytes 0-1 and 4 in byte 2's low nibble.
constexpr std::uint32_t kOffsetLimit = 1u << 20;  // first offset that no longer fits

// Sent once per upgrade at 9600 baud to wake the module.
constexpr std::string_view kWakeUp = "ATZ\r\nATZ\r\n";
constexpr std::uint8_t kSyncProbe = 'X';      // one byte every 100 ms until the module answers
constexpr std::uint8_t kEndFiller = 'X';      // sent after the end header, one byte per write
constexpr std::size_t kEndFillerCount = 56;
constexpr std::uint8_t kRebootTrailer = 'p';  // over the air only, after the reboot acknowledgement
constexpr std::size_t kRebootTrailerCount = 60;

// Reply bytes the module sends.
constexpr std::uint8_t kReplyAck = '0';         // acknowledged; also "over the air" while synchronising
constexpr std::uint8_t kReplySerial = '1';      // "serial link" while synchronising
constexpr std::uint8_t kReplySerialReboot = '2';  // reboot acknowledged, serial link only

constexpr std::uint32_t kWakeUpBaud = 9600;
constexpr std::uint32_t kUpgradeBaud = 115200;

// 1 = the module takes the firmware itself; 0 = it relays it to a remote module.
enum class LinkMode : std::uint8_t { OverTheAir = 0, Serial = 1 };

// One 60-byte frame, reused for a whole upgrade. Only the header bytes are
// written by the builders: the payload keeps whatever the last file read left,
// which the module relies on for the final, empty read (it repeats the payload).
// Each upgrade begins with ClearPayload, so that its poll frames carry zeros
// and no byte of an earlier upgrade's firmware reaches this module.
class UpgradeFrame {
 public:
  UpgradeFrame() { bytes_.fill(0); }
  void ClearPayload() { std::fill(bytes_.begin() + kFrameHeaderSize, bytes_.end(), std::uint8_t{0}); }

  void SetPollHeader(std::uint8_t type_code);
  void SetDataHeader(std::uint32_t offset, std::uint8_t type_code);
  void SetEndHeader(std::uint32_t offset, std::uint8_t type_code);

  std::span<std::uint8_t, kPayloadSize> Payload() { return std::span<std::uint8_t, kPayloadSize>(bytes_.data() + kFrameHeaderSize, kPayloadSize); }
  std::span<const std::uint8_t, kFrameSize> Bytes() const { return bytes_; }
  std::span<const std::uint8_t, kFrameHeaderSize> Header() const {
    return std::span<const std::uint8_t, kFrameHeaderSize>(bytes_.data(), kFrameHeaderSize);
  }

 private:
  void SetHeader(std::uint32_t offset, std::uint8_t marker, std::uint8_t type_code);
  std::array<std::uint8_t, kFrameSize> bytes_;
};

// What a reply byte means in the phase it answers.
enum class ReplyPhase { Synchronisation, Frame, End };
enum class ReplyMeaning { OverTheAir, Serial, NotAnAnswer, Acknowledged, Refused };

// `link_mode` matters only for the end: "2" acknowledges the reboot on a serial link only.
ReplyMeaning ClassifyReply(ReplyPhase phase, std::uint8_t reply, LinkMode link_mode = LinkMode::Serial);

// Offset of the end header after a file of `file_size` bytes: one data frame
// per 56-byte read, plus the final read that returns nothing.
constexpr std::uint64_t EndHeaderOffset(std::uint64_t file_size) {
  return (file_size / kPayloadSize + (file_size % kPayloadSize != 0 ? 1 : 0) + 1) * kPayloadSize;
}

// True when every offset of the upgrade, the end header's included, fits the 20-bit field.
constexpr bool FitsOffsetField(std::uint64_t file_size) { return EndHeaderOffset(file_size) < kOffsetLimit; }

}  // namespace zevuvuri
