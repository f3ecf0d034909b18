// The record of one upgrade that a journal (--report, Report=) takes: what a
// factory line needs to prove afterwards which board received which firmware,
// and how it ended. Both front ends write it the same way.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "engine/pacing.h"
#include "engine/upgrade_frame.h"

namespace zevuvuri::records {

// The USB serial adapter a port leads to, as the system describes it.
struct UsbAdapter {
  std::string vendor_id;   // four hex digits, as sysfs gives them
  std::string product_id;
  std::string serial;      // empty when the adapter has none
  std::string manufacturer;
  std::string product;
};

struct UnitRecord {
  std::string record_id;  // NewRecordId(): the database's key for this record
  std::string station;    // --station-name
  std::string loader_version;
  std::chrono::system_clock::time_point started;
  std::string host;
  std::string port;     // as given on the command line
  std::string device;   // what it resolved to; empty when it named none
  std::optional<UsbAdapter> usb;
  std::string firmware;
  std::optional<std::uint64_t> firmware_size;  // nothing: unreadable
  std::optional<std::string> firmware_sha256;
  std::optional<std::string> approved_sha256;  // the pinned image's, when one was pinned
  unsigned type_code = 0;
  std::optional<LinkMode> link_mode;  // nothing: the module never answered
  Pacing pacing = Pacing::Classic;
  std::uint64_t data_frames_sent = 0;
  std::string result;  // the last status text
  int exit_code = 0;
  double duration_s = 0;
  // Station mode: the unit's number in this station run, and the run's id.
  std::optional<unsigned> unit;
  std::optional<std::string> station_run;
  // --next scan: the board's serial number, and whether the journal already
  // had "Upgrade OK" for it with the same image.
  std::optional<std::string> serial_number;
  std::optional<bool> repeat;
};

// UTC with milliseconds: "2026-12-08T05:01:02.345Z".
std::string UtcTimeText(std::chrono::system_clock::time_point t);

// 128 random bits as 32 lowercase hex digits: a record's identity wherever
// it is stored, so that a record sent twice is stored once.
std::string NewRecordId();

// One line of JSON, without the newline. Absent values are null; `unit` and
// `station_run` are only in a station's records, `serial_number` and
// `repeat` only in those of a scanned unit, `approved_sha256` only in a
// pinned run's.
std::string RecordLine(const UnitRecord& record);

}  // namespace zevuvuri::records
