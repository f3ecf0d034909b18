// The texts the upgrade shows on the status line and the Acquire button.
// Operators and test stations match on them: change none of them lightly.
#pragma once

#include <string_view>

namespace zevuvuri::status {

constexpr std::string_view kRunning = "Running";
constexpr std::string_view kPortFailure = "Failure : couldn't initialize COM port";
constexpr std::string_view kThreadFailure = "Failure : couldn't start thread";
constexpr std::string_view kFileFailure = "Failure : couldn't open file";
constexpr std::string_view kFileReadFailure = "Failure : couldn't read file";
constexpr std::string_view kFileTooLarge = "Failure : file too large";
constexpr std::string_view kSyncTimeout = "Failure : no answer from module";
// The device went away before the module answered the synchronisation (a
// USB adapter pulled); later steps report it with their own failure text.
constexpr std::string_view kPortLost = "Failure : COM port lost";
constexpr std::string_view kSynchronising = "Synchronising...";
constexpr std::string_view kAcquiring = "Acquiring...";
constexpr std::string_view kUpgradingSerial = "Upgrading over serial port";
constexpr std::string_view kUpgradingOverTheAir = "Upgrading over the air";
constexpr std::string_view kPollRefused = "Did not get local ACK";
constexpr std::string_view kWriteError = "Write Error";
constexpr std::string_view kRebootRefused = "Did not get local ACK for reboot";
constexpr std::string_view kUpgradeOk = "Upgrade OK";

}  // namespace zevuvuri::status

namespace zevuvuri::caption {

constexpr std::string_view kAcquire = "Acquire";
constexpr std::string_view kClickToStart = "Click to Start";

}  // namespace zevuvuri::caption
