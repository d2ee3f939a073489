#include "records/Reports.h"

#include "records/RecordStore.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>
#include <vector>

using nlohmann::json;

namespace {

std::string Opt(const std::optional<int>& v) { return v ? std::to_string(*v) : ""; }
std::string Opt(const std::optional<double>& v, int decimals) {
  return v ? Fixed(*v, decimals) : "";
}

std::string Pad(std::string text, size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

std::string CyclesJson(const TTuningRecord& r) {
  json cycles = RecordJson(r, false)["cycles"];
  return cycles.dump();
}
std::string RestoredJson(const TTuningRecord& r) {
  return RecordJson(r, false)["firmware_restored"].dump();
}

// Trace records end with a carriage return; shown one a line.
std::string TraceLines(const std::string& trace) {
  std::string text;
  for (char ch : trace) text += ch == '\r' ? '\n' : ch;
  if (!text.empty() && text.back() != '\n') text += '\n';
  return text;
}


}  // namespace

std::string Fixed(double value, int decimals) {
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
  std::string text(buffer, result.ptr);
  if (text.find_first_not_of("-0.") == std::string::npos && text[0] == '-') text.erase(0, 1);
  return text;
}

void WriteListHeader(std::ostream& out) {
  out << Pad("ID", 7) << Pad("STARTED (UTC)", 25) << Pad("STATION", 14) << Pad("DEVICE", 18)
      << Pad("OUTCOME", 10) << Pad("NEW COMP", 10) << Pad("OFFSET PPM", 11) << "GOLDEN\n";
}

void WriteListLine(std::ostream& out, const TTuningRecord& r) {
  std::string device = r.DeviceKind == "server" ? "server " + r.DeviceIdentity
                                                : (r.Mac.empty() ? "handheld ?" : "0x" + r.Mac);
  std::string golden = r.Golden == "server" ? "server " + r.ServerIdentity : "handheld 0x" + r.Mac;
  if (r.Golden != "server" && r.Mac.empty()) golden = "handheld";
  out << Pad(std::to_string(r.Id), 7) << Pad(r.StartedAt, 25) << Pad(r.Station, 14)
      << Pad(device, 18) << Pad(r.Outcome, 10) << Pad(Opt(r.NewCompSteps), 10)
      << Pad(Opt(r.OffsetPpm, 1), 11) << golden << (r.Bench ? "  [bench]" : "") << '\n';
}

void WriteRecordText(std::ostream& out, const TTuningRecord& r) {
  auto line = [&out](const char* name, const std::string& value) {
    out << Pad(std::string(name) + ":", 22) << value << '\n';
  };
  auto yesNo = [](bool b) { return std::string(b ? "yes" : "no"); };
  line("Record", std::to_string(r.Id) + " (" + r.Uid + ")");
  line("Started", r.StartedAt);
  line("Ended", r.EndedAt);
  line("Station", r.Station);
  line("Program version", r.ProgramVersion);
  line("Emulated bench", yesNo(r.Bench));
  line("Golden reference", r.Golden);
  line("Analysis only", yesNo(r.AnalysisOnly));
  line("Dongle", r.DonglePort + ", #" + r.DongleIdentity + ", HW" + r.DongleHwVersion);
  line("Server", r.ServerPort + ", #" + r.ServerIdentity + ", HW" + r.ServerHwVersion);
  line("Server firmware", r.ServerFirmware);
  line("Tuned device", r.DeviceKind + " " + r.DeviceIdentity);
  line("Handheld MAC", r.Mac.empty() ? "" : "0x" + r.Mac);
  line("Handheld HW", r.HandheldHwVersion);
  line("RF modem", r.RfModemVersion);
  line("Factory comp.", Opt(r.FactoryComp));
  line("PC-tool comp.", Opt(r.PcToolComp));
  line("Effective comp.", Opt(r.EffectiveComp));
  line("Golden comp.", Opt(r.GoldenComp));
  int n = 0;
  for (const TTestCycle& c : r.Cycles)
    line(("Test cycle " + std::to_string(++n)).c_str(),
         "trial " + std::to_string(c.Trial) + ", " + std::to_string(c.Packets) +
             " packets, avRSSI " + std::to_string(c.AvgRssi) + ", AFC sum " +
             std::to_string(c.AfcSum) + ", min " + std::to_string(c.AfcMin) + ", max " +
             std::to_string(c.AfcMax));
  if (r.OffsetSteps)
    line("Measured offset", Opt(r.OffsetSteps) + " = " + Opt(r.OffsetKhz, 1) + " kHz = " +
                                Opt(r.OffsetPpm, 1) + " ppm");
  if (r.NewCompSteps)
    line("New compensation", Opt(r.NewCompSteps) + " = " + Opt(r.NewCompKhz, 1) + " kHz = " +
                                 Opt(r.NewCompPpm, 1) + " ppm");
  line("Stored", yesNo(r.Stored));
  line("Read back", yesNo(r.ReadBack));
  for (const TFirmwareRestore& f : r.Restored)
    line("Firmware restored", f.Kind + " " + f.Version + (f.Done ? "" : " (not finished)"));
  for (size_t i = 0; i < kPackageNames.size(); ++i)
    if (!r.PackageSha256[i].empty())
      line(("SHA-256 " + std::string(kPackageNames[i])).c_str(), r.PackageSha256[i]);
  if (!r.RunId.empty()) line("Run", r.RunId + ", attempt " + std::to_string(r.Attempt));
  if (!r.Operator.empty()) line("Operator", r.Operator);
  if (!r.WorkOrder.empty()) line("Work order", r.WorkOrder);
  if (!r.Limits.empty()) line("Limits and verdicts", r.Limits);
  line("Outcome", r.Outcome);
  if (!r.FailureReason.empty()) line("Failure", r.FailureReason);
  out << "\nLog:\n" << r.Log;
  if (!r.Log.empty() && r.Log.back() != '\n') out << '\n';
  out << "\nTrace:\n" << TraceLines(r.Trace);
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char ch : text) {
    if (ch == '"') quoted += '"';
    quoted += ch;
  }
  return quoted + "\"";
}

std::string CsvHeader(bool withTrace) {
  std::string line = "id";
  for (const char* c : kRecordColumns)
    if (withTrace || std::string_view(c) != "trace") line += std::string(",") + c;
  return line + "\r\n";
}

std::string CsvLine(const TTuningRecord& r, bool withTrace) {
  const std::string fields[] = {
      std::to_string(r.Id), r.Uid, r.StartedAt, r.EndedAt, r.Station, r.ProgramVersion,
      r.Bench ? "1" : "0", r.Golden, r.AnalysisOnly ? "1" : "0", r.DonglePort,
      r.DongleIdentity, r.DongleHwVersion, r.ServerPort, r.ServerIdentity, r.ServerHwVersion,
      r.ServerFirmware, r.DeviceKind, r.DeviceIdentity, r.Mac, r.HandheldHwVersion,
      r.RfModemVersion, Opt(r.FactoryComp), Opt(r.PcToolComp), Opt(r.EffectiveComp),
      Opt(r.GoldenComp), CyclesJson(r), Opt(r.OffsetSteps), Opt(r.OffsetKhz, 1),
      Opt(r.OffsetPpm, 1), Opt(r.NewCompSteps), Opt(r.NewCompKhz, 1), Opt(r.NewCompPpm, 1),
      r.Stored ? "1" : "0", r.ReadBack ? "1" : "0", RestoredJson(r), r.PackageSha256[0],
      r.PackageSha256[1], r.PackageSha256[2], r.PackageSha256[3], r.PackageSha256[4], r.Outcome,
      r.FailureReason, r.RunId, std::to_string(r.Attempt), r.Operator, r.WorkOrder, r.Limits,
      r.Log, r.Trace};
  static_assert(std::size(fields) == 1 + std::size(kRecordColumns));
  std::string line;
  const size_t count = std::size(fields) - (withTrace ? 0 : 1);  // the trace comes last
  for (size_t i = 0; i < count; ++i) line += (i ? "," : "") + CsvField(ValidUtf8(fields[i]));
  return line + "\r\n";
}

std::string JsonLine(const TTuningRecord& record) {
  return RecordJson(record, true).dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::vector<THistogramBin> OffsetHistogram(const TRecordStats& s, int maxBins) {
  std::vector<THistogramBin> bins;
  if (s.OffsetCounts.empty()) return bins;
  maxBins = std::max(maxBins, 1);
  std::map<int, int64_t> counts(s.OffsetCounts.begin(), s.OffsetCounts.end());
  const int first = s.OffsetCounts.front().first, last = s.OffsetCounts.back().first;
  const int width = std::max(1, (last - first + maxBins) / maxBins);
  for (int low = first; low <= last; low += width) {
    THistogramBin bin{low, low + width - 1, 0};
    for (int v = low; v <= bin.HighSteps && v <= last; ++v)
      if (auto it = counts.find(v); it != counts.end()) bin.Count += it->second;
    bins.push_back(bin);
  }
  return bins;
}

void WriteStats(std::ostream& out, const TRecordStats& s) {
  out << "Records:    " << s.Count << " (" << s.Completed << " completed, " << s.Failed
      << " failed, " << s.Aborted << " aborted)\n";
  out << "Yield:      " << Fixed(100.0 * s.Yield(), 1) << " % (completed of completed and failed)\n";
  if (s.Measured == 0) {
    out << "Offset:     no completed record with a measured offset\n";
    return;
  }
  out << "Offset:     " << s.Measured << " measured, mean " << Fixed(s.MeanPpm, 2)
      << " ppm, standard deviation " << Fixed(s.StdDevPpm, 2) << " ppm, min "
      << Fixed(s.MinPpm, 2) << " ppm, max " << Fixed(s.MaxPpm, 2) << " ppm\n";
  const std::vector<THistogramBin> bins = OffsetHistogram(s);
  int64_t most = 1;
  for (const THistogramBin& b : bins) most = std::max(most, b.Count);
  out << "\nOffset histogram (ppm):\n";
  for (const THistogramBin& b : bins) {
    const int64_t n = b.Count;
    const int bar = static_cast<int>((n * 50 + most - 1) / most);
    std::string label = Fixed(StepsToPpm(b.LowSteps), 1);
    if (b.HighSteps > b.LowSteps) label += ".." + Fixed(StepsToPpm(b.HighSteps), 1);
    out << std::string(label.size() < 16 ? 16 - label.size() : 0, ' ') << label << " | "
        << Pad(std::string(static_cast<size_t>(bar), '#'), 50) << ' ' << n << '\n';
  }
}
