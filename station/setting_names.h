// How a front end names the settings that the station's messages speak of:
// the command line's options by default, so that its texts stay as they are;
// a window passes its loader.cfg keys, so that its operator never reads an
// option they cannot type anywhere.
#pragma once

#include <string>

namespace zevuvuri::station {

struct SettingNames {
  std::string port = "--port";              // before a port's text: "--port 3 waits for the next scan"
  std::string report = "--report";          // the journal
  std::string records_db = "--records-db";  // the database the journal's records go to
  std::string next_enter = "--next enter";  // what starts a fixture's units without a plug
  // What confirms over-the-air units without the operator; empty where the
  // front end has no such setting, and the messages then leave it out.
  std::string yes = "--yes";
};

}  // namespace zevuvuri::station
