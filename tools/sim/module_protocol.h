// The bytes exchanged between the loader and a module, as the module sees them.
// Deliberately not shared with the engine's frame definitions: the simulator is the
// independent check of the loader, so a wrong constant on one side shows up against the other.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zevuvuri::sim {

// Sent once per upgrade at 9600 baud to wake the module.
constexpr std::array<std::uint8_t, 10> kWakeup{'A', 'T', 'Z', '\r', '\n', 'A', 'T', 'Z', '\r', '\n'};
constexpr unsigned kWakeupBaudRate = 9600;

// Frames: 4 header bytes (offset bits 0-15 little-endian, marker | offset bits 16-19, type code)
// followed by 56 payload bytes. The end header is sent without its payload.
constexpr std::size_t kHeaderSize = 4;
constexpr std::size_t kPayloadSize = 56;
constexpr std::size_t kFrameSize = kHeaderSize + kPayloadSize;
constexpr std::uint8_t kPollMarker = 0x00;   // the whole byte 2 of a poll frame
constexpr std::uint8_t kDataMarker = 0x50;   // high nibble of byte 2 ("P" below 64 KiB)
constexpr std::uint8_t kEndMarker = 0x70;    // high nibble of byte 2 ("p" below 64 KiB)
constexpr std::uint8_t kMarkerMask = 0xF0;
constexpr std::uint32_t kOffsetMask = 0xFFFFF;  // 20 offset bits fit the header

// Single bytes from the loader.
constexpr std::uint8_t kProbe = 'X';         // synchronisation probe
constexpr std::uint8_t kFiller = 'X';        // follows the end header
constexpr std::size_t kFillerCount = 56;
constexpr std::uint8_t kTrailerByte = 'p';   // reboot trailer, over the air only
constexpr std::size_t kTrailerCount = 60;

// Single reply bytes from the module.
constexpr std::uint8_t kAck = '0';
constexpr std::uint8_t kRefuse = '1';
constexpr std::uint8_t kRebootAck = '2';     // end acknowledged; accepted in serial mode only
constexpr std::uint8_t kSyncOverTheAir = '0';
constexpr std::uint8_t kSyncSerial = '1';
// Garbage the module sends when a fault asks for junk: not a valid reply in any phase.
constexpr std::uint8_t kJunk = 0xA5;

// How long the loader waits for a reply before it gives up.
constexpr auto kFrameReplyLimit = std::chrono::milliseconds{2000};
constexpr auto kEndReplyLimit = std::chrono::milliseconds{1000};

// Each byte on the wire takes a start bit, 8 data bits and a stop bit.
constexpr unsigned kBitsPerByte = 10;

enum class LinkMode : std::uint8_t { Serial, OverTheAir };

constexpr std::string_view ModeName(LinkMode mode) {
  return mode == LinkMode::Serial ? "serial" : "air";
}

}  // namespace zevuvuri::sim
