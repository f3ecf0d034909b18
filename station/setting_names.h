// How a front end names its settings in the texts that speak of them: the
// command line its options, a station view and the main window their
// loader.cfg keys, so that no window speaks of options it does not have.
#pragma once

#include <string>

namespace zevuvuri::station {

struct SettingNames {
  std::string report;           // "--report", "Report= in loader.cfg"
  std::string records_db;       // "--records-db", "RecordsDb= in loader.cfg"
  std::string station_name;     // "--station-name", "StationName= in loader.cfg"
  std::string firmware;         // "FIRMWARE", "Firmware= in loader.cfg"
  std::string type;             // "--type", "Type= in loader.cfg"
  std::string give_report;      // how to give the journal: "give --report FILE", "give Report="
  std::string pin_not_sha256;   // the whole text for a pin that is no SHA-256
  bool file_after_name = true;  // "--report FILE: ..." rather than "Report= in loader.cfg: ..."
  std::string refusal_end;      // after every refusal: "", ": no unit starts"
  std::string port;             // before a port's text: "--port 3 waits for the next scan", "port 3 ..."
  std::string next_enter;       // what starts a fixture's units without a plug: "--next enter", "Next=enter"
  // What confirms over-the-air units without the operator; empty where the
  // front end has no such setting, and the messages then leave it out.
  std::string yes;
};

// The command line's words, and loader.cfg's (`refusal_end` says what does
// not start: ": no unit starts" in a station view, ": no upgrade starts" in
// the main window).
SettingNames CommandLineNames();
SettingNames SettingsFileNames(const std::string& refusal_end);

}  // namespace zevuvuri::station
