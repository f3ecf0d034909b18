#include "records/unit_record.h"

#include <ctime>
#include <random>

#include <nlohmann/json.hpp>

#include "records/json_line.h"

namespace zevuvuri::records {

std::string UtcTimeText(std::chrono::system_clock::time_point t) {
  const auto since_epoch = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(since_epoch / 1000);
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  char text[40];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(since_epoch % 1000));
  return text;
}

std::string NewRecordId() {
  // Each call draws from the system's random source: ids must differ across
  // stations and runs, not only within one.
  std::random_device random;
  char id[33];
  std::snprintf(id, sizeof id, "%08x%08x%08x%08x", static_cast<unsigned>(random()), static_cast<unsigned>(random()),
                static_cast<unsigned>(random()), static_cast<unsigned>(random()));
  return id;
}

std::string RecordLine(const UnitRecord& r) {
  using nlohmann::json;
  json usb = nullptr;
  if (r.usb) {
    usb = {{"vendor_id", r.usb->vendor_id},
           {"product_id", r.usb->product_id},
           {"serial", r.usb->serial},
           {"manufacturer", r.usb->manufacturer},
           {"product", r.usb->product}};
  }
  json mode = nullptr;
  if (r.link_mode) mode = *r.link_mode == LinkMode::Serial ? "serial" : "over_the_air";
  json record = {
      {"record_id", r.record_id},
      {"station", r.station},
      {"loader_version", r.loader_version},
      {"start", UtcTimeText(r.started)},
      {"host", r.host},
      {"port", r.port},
      {"device", r.device.empty() ? json(nullptr) : json(r.device)},
      {"usb", usb},
      {"firmware", r.firmware},
      {"firmware_size", r.firmware_size ? json(*r.firmware_size) : json(nullptr)},
      {"firmware_sha256", r.firmware_sha256 ? json(*r.firmware_sha256) : json(nullptr)},
      {"type_code", r.type_code},
      {"link_mode", mode},
      {"pacing", PacingName(r.pacing)},
      {"data_frames_sent", r.data_frames_sent},
      {"result", r.result},
      {"exit_code", r.exit_code},
      {"duration_s", r.duration_s},
  };
  if (r.approved_sha256) record["approved_sha256"] = *r.approved_sha256;
  if (r.unit) record["unit"] = *r.unit;
  if (r.station_run) record["station_run"] = *r.station_run;
  if (r.serial_number) record["serial_number"] = *r.serial_number;
  if (r.repeat) record["repeat"] = *r.repeat;
  // Invalid UTF-8 in a path or a sysfs string: the record is written
  // whatever the adapter reports.
  return JsonLine(record);
}

}  // namespace zevuvuri::records
