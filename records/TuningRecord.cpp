#include "records/TuningRecord.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <random>
#include <stdexcept>

#include "records/Digest.h"

using nlohmann::json;

// 128 bits from the system's random source (the kernel's on Linux, rand_s on Windows): a record
// sent twice, from the spool say, is still one record.
std::string NewRecordUid() {
  std::random_device source;
  static const char kHex[] = "0123456789abcdef";
  std::string uid;
  for (int word = 0; word < 4; ++word) {
    uint32_t v = source();
    for (int i = 0; i < 8; ++i, v >>= 4) uid += kHex[v & 0xF];
  }
  return uid;
}

std::string IsoTimeNow() {
  using namespace std::chrono;
  const auto now = floor<milliseconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date{day};
  const hh_mm_ss time{now - day};
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()),
                static_cast<int>(time.subseconds().count()));
  return text;
}

double StepsToPpm(double steps) { return steps / 1.92955; }

std::string ValidUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    // The length of the character that starts here, 0 when none does.
    size_t n = 0;
    uint32_t cp = 0;
    if (b >= 0x01 && b < 0x80) {
      n = 1;
    } else if (b >= 0xC2 && b <= 0xDF) {
      n = 2, cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      n = 3, cp = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      n = 4, cp = b & 0x07;
    }
    bool ok = n > 0 && i + n <= bytes.size();
    for (size_t k = 1; ok && k < n; ++k) {
      const auto c = static_cast<unsigned char>(bytes[i + k]);
      ok = (c & 0xC0) == 0x80;
      cp = (cp << 6) | (c & 0x3F);
    }
    // Overlong forms, surrogates and code points beyond U+10FFFF are not characters either.
    if (ok && ((n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
               (n == 4 && (cp < 0x10000 || cp > 0x10FFFF))))
      ok = false;
    if (ok) {
      out.append(bytes.substr(i, n));
      i += n;
    } else {
      static const char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 0xF];
      ++i;
    }
  }
  return out;
}

const char* const kRecordTimeForms =
    "2026-12-10, 2026-12-10T14:30, 2026-12-10T14:30:05 or 2026-12-10 14:30:05.250, each with Z or "
    "an offset such as +05:00 or -0130 (without one: UTC)";

std::string ParseRecordTime(const std::string& text) {
  using namespace std::chrono;
  size_t at = 0;
  // Exactly n digits at the current place.
  auto digits = [&](int n, int& value) {
    if (at + static_cast<size_t>(n) > text.size()) return false;
    value = 0;
    for (int i = 0; i < n; ++i) {
      const char c = text[at + static_cast<size_t>(i)];
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
    }
    at += static_cast<size_t>(n);
    return true;
  };
  auto take = [&](char c) {
    if (at < text.size() && text[at] == c) {
      ++at;
      return true;
    }
    return false;
  };
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0, ms = 0;
  if (!digits(4, y) || !take('-') || !digits(2, mo) || !take('-') || !digits(2, d)) return {};
  const year_month_day date{year{y}, month{static_cast<unsigned>(mo)},
                            day{static_cast<unsigned>(d)}};
  if (!date.ok()) return {};
  int offsetMinutes = 0;
  if (at < text.size()) {
    if (!take('T') && !take(' ')) return {};
    if (!digits(2, h) || !take(':') || !digits(2, mi) || h > 23 || mi > 59) return {};
    if (take(':')) {
      if (!digits(2, sec) || sec > 59) return {};
      if (take('.') || take(',')) {
        // Up to milliseconds are kept; further digits are allowed and dropped.
        int n = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
          if (n < 3) ms = ms * 10 + (text[at] - '0');
          ++n, ++at;
        }
        if (n == 0) return {};
        for (int i = n; i < 3; ++i) ms *= 10;
      }
    }
    if (take('Z') || take('z')) {
    } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
      const int sign = text[at++] == '-' ? -1 : 1;
      int oh = 0, om = 0;
      if (!digits(2, oh) || oh > 23) return {};
      if (take(':')) {
        if (!digits(2, om)) return {};
      } else if (at < text.size() && !digits(2, om)) {
        return {};
      }
      if (om > 59) return {};
      offsetMinutes = sign * (oh * 60 + om);
    }
    if (at != text.size()) return {};
  }
  const auto instant = sys_days{date} + hours{h} + minutes{mi} + seconds{sec} +
                       milliseconds{ms} - minutes{offsetMinutes};
  const auto dayPart = floor<days>(instant);
  const year_month_day utc{dayPart};
  const hh_mm_ss time{instant - dayPart};
  char out[40];
  std::snprintf(out, sizeof out, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(utc.year()),
                static_cast<unsigned>(utc.month()), static_cast<unsigned>(utc.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()),
                static_cast<int>(time.subseconds().count()));
  return out;
}

namespace {

template <class T>
json Opt(const std::optional<T>& v) {
  return v ? json(*v) : json(nullptr);
}

template <class T>
std::optional<T> GetOpt(const json& j, const char* key) {
  if (!j.contains(key) || j.at(key).is_null()) return std::nullopt;
  return j.at(key).get<T>();
}

// Text that JSON can carry: bytes that are not UTF-8 become \xNN, as the stores keep them.
json Text(const std::string& s) { return ValidUtf8(s); }

json Body(const TTuningRecord& r) {
  json cycles = json::array();
  for (const TTestCycle& c : r.Cycles)
    cycles.push_back({{"trial", c.Trial},
                      {"packets", c.Packets},
                      {"avg_rssi", c.AvgRssi},
                      {"afc_sum", c.AfcSum},
                      {"afc_min", c.AfcMin},
                      {"afc_max", c.AfcMax}});
  json restored = json::array();
  for (const TFirmwareRestore& f : r.Restored)
    restored.push_back({{"kind", f.Kind}, {"version", f.Version}, {"done", f.Done}});
  json digests = json::object();
  for (size_t i = 0; i < kPackageNames.size(); ++i)
    digests[kPackageNames[i]] = r.PackageSha256[i];
  return {{"id", r.Id},
          {"uid", r.Uid},
          {"started_at", r.StartedAt},
          {"ended_at", r.EndedAt},
          {"station", Text(r.Station)},
          {"program_version", r.ProgramVersion},
          {"bench", r.Bench},
          {"golden", r.Golden},
          {"analysis_only", r.AnalysisOnly},
          {"dongle_port", Text(r.DonglePort)},
          {"dongle_identity", Text(r.DongleIdentity)},
          {"dongle_hw_version", r.DongleHwVersion},
          {"server_port", Text(r.ServerPort)},
          {"server_identity", Text(r.ServerIdentity)},
          {"server_hw_version", r.ServerHwVersion},
          {"server_firmware", Text(r.ServerFirmware)},
          {"device_kind", r.DeviceKind},
          {"device_identity", Text(r.DeviceIdentity)},
          {"mac", r.Mac},
          {"handheld_hw_version", r.HandheldHwVersion},
          {"rf_modem_version", r.RfModemVersion},
          {"factory_comp", Opt(r.FactoryComp)},
          {"pctool_comp", Opt(r.PcToolComp)},
          {"effective_comp", Opt(r.EffectiveComp)},
          {"golden_comp", Opt(r.GoldenComp)},
          {"cycles", cycles},
          {"offset_steps", Opt(r.OffsetSteps)},
          {"offset_khz", Opt(r.OffsetKhz)},
          {"offset_ppm", Opt(r.OffsetPpm)},
          {"new_comp_steps", Opt(r.NewCompSteps)},
          {"new_comp_khz", Opt(r.NewCompKhz)},
          {"new_comp_ppm", Opt(r.NewCompPpm)},
          {"stored", r.Stored},
          {"read_back", r.ReadBack},
          {"firmware_restored", restored},
          {"package_sha256", digests},
          {"run_id", r.RunId},
          {"attempt", r.Attempt},
          {"operator", Text(r.Operator)},
          {"work_order", Text(r.WorkOrder)},
          {"limits", r.Limits.empty() ? json(nullptr) : json::parse(r.Limits, nullptr, false)},
          {"outcome", r.Outcome},
          {"failure_reason", Text(r.FailureReason)}};
}

}  // namespace

json RecordJson(const TTuningRecord& record, bool withLogs) {
  json j = Body(record);
  if (withLogs) {
    j["log"] = Text(record.Log);
    j["trace"] = Text(record.Trace);
  }
  return j;
}

std::string RecordToSpoolLine(const TTuningRecord& record) {
  json j = Body(record);
  // Identities and reasons are device and file texts: carried byte for byte.
  j["raw"] = {{"station", Base64Encode(record.Station)},
              {"dongle_port", Base64Encode(record.DonglePort)},
              {"dongle_identity", Base64Encode(record.DongleIdentity)},
              {"server_port", Base64Encode(record.ServerPort)},
              {"server_identity", Base64Encode(record.ServerIdentity)},
              {"server_firmware", Base64Encode(record.ServerFirmware)},
              {"device_identity", Base64Encode(record.DeviceIdentity)},
              {"failure_reason", Base64Encode(record.FailureReason)},
              {"operator", Base64Encode(record.Operator)},
              {"work_order", Base64Encode(record.WorkOrder)},
              {"log", Base64Encode(record.Log)},
              {"trace", Base64Encode(record.Trace)}};
  return j.dump();
}

TTuningRecord RecordFromSpoolLine(const std::string& line) {
  try {
    const json j = json::parse(line);
    const json& raw = j.at("raw");
    auto rawText = [&raw](const char* key) { return Base64Decode(raw.at(key).get<std::string>()); };
    TTuningRecord r;
    r.Id = 0;
    r.Uid = j.at("uid").get<std::string>();
    if (r.Uid.empty()) throw std::runtime_error("no uid");
    r.StartedAt = j.at("started_at").get<std::string>();
    r.EndedAt = j.at("ended_at").get<std::string>();
    r.Station = rawText("station");
    r.ProgramVersion = j.at("program_version").get<std::string>();
    r.Bench = j.at("bench").get<bool>();
    r.Golden = j.at("golden").get<std::string>();
    r.AnalysisOnly = j.at("analysis_only").get<bool>();
    r.DonglePort = rawText("dongle_port");
    r.DongleIdentity = rawText("dongle_identity");
    r.DongleHwVersion = j.at("dongle_hw_version").get<std::string>();
    r.ServerPort = rawText("server_port");
    r.ServerIdentity = rawText("server_identity");
    r.ServerHwVersion = j.at("server_hw_version").get<std::string>();
    r.ServerFirmware = rawText("server_firmware");
    r.DeviceKind = j.at("device_kind").get<std::string>();
    r.DeviceIdentity = rawText("device_identity");
    r.Mac = j.at("mac").get<std::string>();
    r.HandheldHwVersion = j.at("handheld_hw_version").get<std::string>();
    r.RfModemVersion = j.at("rf_modem_version").get<std::string>();
    r.FactoryComp = GetOpt<int>(j, "factory_comp");
    r.PcToolComp = GetOpt<int>(j, "pctool_comp");
    r.EffectiveComp = GetOpt<int>(j, "effective_comp");
    r.GoldenComp = GetOpt<int>(j, "golden_comp");
    for (const json& c : j.at("cycles"))
      r.Cycles.push_back({c.at("trial").get<int>(), c.at("packets").get<int>(),
                          c.at("avg_rssi").get<int>(), c.at("afc_sum").get<int64_t>(),
                          c.at("afc_min").get<int>(), c.at("afc_max").get<int>()});
    r.OffsetSteps = GetOpt<int>(j, "offset_steps");
    r.OffsetKhz = GetOpt<double>(j, "offset_khz");
    r.OffsetPpm = GetOpt<double>(j, "offset_ppm");
    r.NewCompSteps = GetOpt<int>(j, "new_comp_steps");
    r.NewCompKhz = GetOpt<double>(j, "new_comp_khz");
    r.NewCompPpm = GetOpt<double>(j, "new_comp_ppm");
    r.Stored = j.at("stored").get<bool>();
    r.ReadBack = j.at("read_back").get<bool>();
    for (const json& f : j.at("firmware_restored"))
      r.Restored.push_back({f.at("kind").get<std::string>(), f.at("version").get<std::string>(),
                            f.at("done").get<bool>()});
    for (size_t i = 0; i < kPackageNames.size(); ++i)
      r.PackageSha256[i] = j.at("package_sha256").at(kPackageNames[i]).get<std::string>();
    // Spool files written before these fields existed hold records without them.
    r.RunId = j.value("run_id", std::string());
    r.Attempt = j.value("attempt", 1);
    r.Operator = raw.contains("operator") ? rawText("operator") : std::string();
    r.WorkOrder = raw.contains("work_order") ? rawText("work_order") : std::string();
    if (j.contains("limits") && j.at("limits").is_object()) r.Limits = j.at("limits").dump();
    r.Outcome = j.at("outcome").get<std::string>();
    r.FailureReason = rawText("failure_reason");
    r.Log = rawText("log");
    r.Trace = rawText("trace");
    return r;
  } catch (const json::exception& e) {
    throw std::runtime_error(std::string("not a spooled record: ") + e.what());
  }
}
