#include "station/setting_names.h"

namespace zevuvuri::station {

SettingNames CommandLineNames() {
  SettingNames n;
  n.report = "--report";
  n.records_db = "--records-db";
  n.station_name = "--station-name";
  n.firmware = "FIRMWARE";
  n.type = "--type";
  n.give_report = "give --report FILE";
  n.pin_not_sha256 = "--firmware-sha256: HEX must be 64 hex digits (a SHA-256)";
  n.file_after_name = true;
  n.port = "--port";
  n.next_enter = "--next enter";
  n.yes = "--yes";
  return n;
}

SettingNames SettingsFileNames(const std::string& refusal_end) {
  SettingNames n;
  n.report = "Report= in loader.cfg";
  n.records_db = "RecordsDb= in loader.cfg";
  n.station_name = "StationName= in loader.cfg";
  n.firmware = "Firmware= in loader.cfg";
  n.type = "Type= in loader.cfg";
  n.give_report = "give Report=";
  n.pin_not_sha256 = "FirmwareSha256= in loader.cfg is not a SHA-256 (64 hex digits)";
  n.file_after_name = false;
  n.refusal_end = refusal_end;
  n.port = "port";
  n.next_enter = "Next=enter";
  return n;  // loader.cfg has no unattended confirmation: no `yes`
}

}  // namespace zevuvuri::station
