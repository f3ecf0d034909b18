#include "tools/line/line_json.h"

#include <nlohmann/json.hpp>

namespace zevuvuri::line {
namespace {

using nlohmann::json;

std::string Dump(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

json Optional(const std::optional<std::string>& text) { return text ? json(*text) : json(nullptr); }
json Optional(const std::optional<std::int64_t>& number) { return number ? json(*number) : json(nullptr); }
json OptionalTime(const std::optional<std::int64_t>& ms) { return ms ? json(IsoUtc(*ms)) : json(nullptr); }
json Percent(std::int64_t ok, std::int64_t units) {
  const auto p = YieldPercent(ok, units);
  return p ? json(*p) : json(nullptr);
}

json Failures(const std::vector<FailureCount>& failures) {
  json out = json::array();
  for (const auto& f : failures) out.push_back({{"reason", f.reason}, {"count", f.count}});
  return out;
}

json Slot(const SlotState& s) {
  return {{"slot", s.slot},
          {"port", s.port},
          {"unit", Optional(s.unit)},
          {"serial", Optional(s.serial)},
          {"phase", s.phase},
          {"state", s.state},
          {"percent", s.percent ? json(*s.percent) : json(nullptr)},
          {"result", Optional(s.result)},
          {"result_text", Optional(s.result_text)},
          {"repeat", s.repeat},
          {"firmware", Optional(s.firmware)},
          {"firmware_sha256", Optional(s.firmware_sha256)},
          {"changed_utc", IsoUtc(s.changed_ms)}};
}

json Station(const StationState& s) {
  json slots = json::array();
  for (const auto& slot : s.slot_states) slots.push_back(Slot(slot));
  return {{"station", s.station},
          {"host", s.host},
          {"station_run", s.station_run},
          {"online", s.online},
          {"beat_utc", IsoUtc(s.beat_ms)},
          {"offline_since_utc", OptionalTime(s.offline_since_ms)},
          {"firmware", s.firmware},
          {"firmware_sha256", Optional(s.firmware_sha256)},
          {"approved_sha256", Optional(s.approved_sha256)},
          {"type_code", s.type_code},
          {"pacing", s.pacing},
          {"flags", s.flags},
          {"totals",
           {{"units", s.units},
            {"ok", s.ok},
            {"failed", s.failed},
            {"yield_percent", Percent(s.ok, s.units)},
            {"failures", Failures(s.failures)}}},
          {"slots", std::move(slots)}};
}

}  // namespace

std::string LineJson(const LineState& state) {
  json stations = json::array();
  for (const auto& s : state.stations) stations.push_back(Station(s));
  json hours = json::array();
  for (const auto& h : state.yield_by_hour) {
    hours.push_back({{"hour_utc", IsoUtc(h.hour_ms)},
                     {"units", h.units},
                     {"ok", h.ok},
                     {"failed", h.units - h.ok},
                     {"yield_percent", Percent(h.ok, h.units)}});
  }
  return Dump({{"now_utc", IsoUtc(state.now_ms)},
               {"shift_hours", state.shift_hours},
               {"stations", std::move(stations)},
               {"yield_by_hour", std::move(hours)},
               {"top_failures", Failures(state.top_failures)}});
}

std::string SerialJson(const std::string& serial, const std::vector<Attempt>& attempts) {
  json list = json::array();
  int number = 0;
  for (const auto& a : attempts) {
    list.push_back({{"attempt", ++number},
                    {"started_utc", IsoUtc(a.started_ms)},
                    {"ended_utc", IsoUtc(a.ended_ms)},
                    {"station", a.station},
                    {"port", a.port},
                    {"unit", Optional(a.unit)},
                    {"firmware", a.firmware},
                    {"firmware_sha256", Optional(a.firmware_sha256)},
                    {"result", a.result},
                    {"exit_code", a.exit_code},
                    {"duration_s", a.duration_s}});
  }
  return Dump({{"serial", serial}, {"attempts", std::move(list)}});
}

std::string ErrorJson(const std::string& text) { return Dump({{"error", text}}); }

}  // namespace zevuvuri::line
