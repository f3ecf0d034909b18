#include "station/exit_codes.h"

namespace zevuvuri::station {

ExitCode ExitCodeFor(UpgradeOutcome outcome) {
  switch (outcome) {
    case UpgradeOutcome::Ok: return ExitCode::Ok;
    case UpgradeOutcome::PortFailure: return ExitCode::Port;
    case UpgradeOutcome::ThreadFailure: return ExitCode::Thread;
    case UpgradeOutcome::FileFailure: return ExitCode::File;
    case UpgradeOutcome::FileTooLarge: return ExitCode::FileTooLarge;
    case UpgradeOutcome::SyncTimeout: return ExitCode::SyncTimeout;
    case UpgradeOutcome::PollRefused: return ExitCode::PollRefused;
    case UpgradeOutcome::FrameRefused: return ExitCode::FrameRefused;
    case UpgradeOutcome::RebootRefused: return ExitCode::RebootNotAcknowledged;
    case UpgradeOutcome::PortLost: return ExitCode::PortLost;
    case UpgradeOutcome::Cancelled: return ExitCode::Interrupted;
  }
  return ExitCode::Interrupted;
}

std::string_view OutcomeName(UpgradeOutcome outcome) {
  switch (outcome) {
    case UpgradeOutcome::Ok: return "ok";
    case UpgradeOutcome::PortFailure: return "port";
    case UpgradeOutcome::ThreadFailure: return "thread";
    case UpgradeOutcome::FileFailure: return "file";
    case UpgradeOutcome::FileTooLarge: return "file_too_large";
    case UpgradeOutcome::SyncTimeout: return "sync_timeout";
    case UpgradeOutcome::PollRefused: return "poll_refused";
    case UpgradeOutcome::FrameRefused: return "frame_refused";
    case UpgradeOutcome::RebootRefused: return "reboot_not_acknowledged";
    case UpgradeOutcome::PortLost: return "port_lost";
    case UpgradeOutcome::Cancelled: return "interrupted";
  }
  return "interrupted";
}

}  // namespace zevuvuri::station
