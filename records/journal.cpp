#include "records/journal.h"

#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

namespace zevuvuri::records {

bool ReadJournal(const std::string& utf8_path, std::uint64_t offset, std::size_t limit,
                 std::vector<JournalLine>* lines, std::string* error) {
  lines->clear();
  const auto path = std::filesystem::u8path(utf8_path);
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return true;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = utf8_path + ": cannot be read";
    return false;
  }
  in.seekg(static_cast<std::streamoff>(offset));
  if (!in) return true;  // shorter than the offset: nothing new
  std::string text;
  std::uint64_t at = offset;
  while (lines->size() < limit && std::getline(in, text)) {
    if (in.eof()) break;  // no newline after it: torn or still being written
    at += text.size() + 1;
    lines->push_back({at, std::move(text)});
    text.clear();
  }
  return true;
}

namespace {

std::optional<std::string> OptionalText(const nlohmann::json& record, const char* key) {
  const auto it = record.find(key);
  if (it == record.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

std::optional<std::int64_t> OptionalNumber(const nlohmann::json& record, const char* key) {
  const auto it = record.find(key);
  if (it == record.end() || !it->is_number_integer()) return std::nullopt;
  return it->get<std::int64_t>();
}

bool IsRecordId(const std::string& id) {
  if (id.size() != 32) return false;
  for (const char c : id) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace

std::optional<RecordRow> ParseRecord(const std::string& line) {
  const nlohmann::json record = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (!record.is_object()) return std::nullopt;
  RecordRow row;
  const auto id = OptionalText(record, "record_id");
  const auto started = OptionalText(record, "start");
  if (!id || !IsRecordId(*id) || !started) return std::nullopt;
  row.record_id = *id;
  row.started_utc = *started;
  row.station = OptionalText(record, "station").value_or(OptionalText(record, "host").value_or(""));
  row.station_run = OptionalText(record, "station_run");
  row.unit = OptionalNumber(record, "unit");
  row.serial_number = OptionalText(record, "serial_number");
  if (const auto it = record.find("repeat"); it != record.end() && it->is_boolean()) row.repeat = it->get<bool>();
  row.host = OptionalText(record, "host").value_or("");
  row.port = OptionalText(record, "port").value_or("");
  row.device = OptionalText(record, "device");
  row.type_code = OptionalNumber(record, "type_code").value_or(0);
  row.link_mode = OptionalText(record, "link_mode");
  row.pacing = OptionalText(record, "pacing").value_or("");
  row.firmware = OptionalText(record, "firmware").value_or("");
  row.firmware_size = OptionalNumber(record, "firmware_size");
  row.firmware_sha256 = OptionalText(record, "firmware_sha256");
  row.approved_sha256 = OptionalText(record, "approved_sha256");
  row.result = OptionalText(record, "result").value_or("");
  row.exit_code = OptionalNumber(record, "exit_code").value_or(0);
  row.data_frames_sent = OptionalNumber(record, "data_frames_sent").value_or(0);
  if (const auto it = record.find("duration_s"); it != record.end() && it->is_number()) {
    row.duration_s = it->get<double>();
  }
  row.loader_version = OptionalText(record, "loader_version").value_or("");
  row.line = line;
  return row;
}

}  // namespace zevuvuri::records
