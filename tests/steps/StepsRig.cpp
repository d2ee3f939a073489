#include "StepsRig.h"

#include <algorithm>
#include <stdexcept>

#include "link/Discovery.h"
#include "link/Link.h"
#include "tuning/SerThread.h"

std::vector<ByteText> TRecordingBridge::LinesFrom(const ByteText& first) const {
  auto it = first.empty() ? Log.begin() : std::find(Log.begin(), Log.end(), first);
  return {it, Log.end()};
}

int TRecordingBridge::Count(const ByteText& line) const {
  return static_cast<int>(std::count(Log.begin(), Log.end(), line));
}

nlohmann::json Scenario(const nlohmann::json& patch) {
  nlohmann::json s = {
      {"ports", {"SIM1", "SIM2"}},
      {"dongle", {{"port", "SIM1"}}},
      {"server",
       {{"port", "SIM2"},
        {"crystal_error", 0.0},
        {"factory_compensation", 0},
        {"pctool_compensation", 0},
        {"firmware", "production"},
        {"test_firmware_version", kServerTestVersion}}},
      {"handhelds",
       {{{"hw_version", kHandheldHw},
         {"mac", kHandheldMac},
         {"crystal_error", 0.0},
         {"factory_compensation", 0},
         {"pctool_compensation", 0},
         {"modem_version", 0x23}}}},
      {"air", {{"packets_per_cycle", 12}, {"afc_noise", 0.3}, {"capture_range", 40}, {"seed", 7}}},
  };
  s.merge_patch(patch);
  return s;
}

TStepsRig::TStepsRig(const nlohmann::json& scenario, bool goldTP)
    : Bench(scenario), Run(Fields, Bridge, Bench.VirtualClock()) {
  Fields.GoldTP = goldTP;
  SetUpPortObject(PortA, 0);
  SetUpPortObject(PortB, 1);
  Fields.SerIF1 = &PortA;
  Fields.SerIF2 = &PortB;
  for (auto* combo : {&Fields.COM1Combo, &Fields.COM2Combo}) {
    combo->Add("Auto detect");
    for (const auto& name : Bench.PortNames()) combo->Add(name);
    combo->ItemIndex = 0;
    combo->Text = "Auto detect";
  }
  StageServerTestImage();
}

TStepsRig::~TStepsRig() {
  PortA.Close();
  PortB.Close();
}

bool TStepsRig::Connect() {
  DiscoverPorts(Run);
  InitDevice(Run, ServerPort(), false);
  InitDevice(Run, DonglePort(), true);
  return Run.Outcome == kOutcomeOk && Run.LinkOk;
}

void TStepsRig::OpenServerOnly() {
  PortB.SetDeviceName("SIM2");
  PortB.Open();
  PortB.Timeouts().SetReadConstant(250);
  Run.LinkOk = true;
}

void TStepsRig::StageTP(int k, const std::vector<uint8_t>& image) {
  if (image.size() > kTPImageSize) throw std::invalid_argument("image too long");
  Run.TPImage[k].fill(0);
  std::copy(image.begin(), image.end(), Run.TPImage[k].begin());
  Run.TPImageLen[k] = static_cast<uint16_t>(image.size());
}

void TStepsRig::StageServerTestImage() {
  auto& image = Run.SrvImage[2];
  image.fill(kSrvNoData);
  for (uint16_t a = 0x0100; a < 0x0110; ++a) image[a] = static_cast<uint16_t>(0x2000 + a);
  image[0x0103] = 0x3400 | kServerTestVersion;
  for (uint16_t a = 0x0400; a < 0x0404; ++a) image[a] = static_cast<uint16_t>(0x0A00 + a);
}

char TStepsRig::DongleDigit() const { return TraceDigit(*Fields.SerIF1); }
char TStepsRig::ServerDigit() const { return TraceDigit(*Fields.SerIF2); }

std::vector<uint8_t> HandheldImage(size_t length, uint16_t w, uint8_t seed) {
  std::vector<uint8_t> image(length);
  uint32_t state = 0x9E3779B9u * (seed + 1u);
  for (auto& b : image) {
    state = state * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(state >> 24);
  }
  image[0] = kHandheldHw;
  if (length > 28) {
    image[27] = static_cast<uint8_t>(w & 0xFF);
    image[28] = static_cast<uint8_t>(w >> 8);
  }
  return image;
}

std::vector<TTraceRecord> ParseTrace(const ByteText& trace) {
  std::vector<TTraceRecord> records;
  size_t start = 0;
  while (start < trace.size()) {
    size_t end = trace.find('\r', start);
    if (end == std::string::npos) end = trace.size();
    std::string r = trace.substr(start, end - start);
    start = end + 1;
    TTraceRecord rec{};
    if (!r.empty() && r[0] == '>') {
      rec.kind = '>';
      rec.text = r.substr(1);
    } else {
      if (!r.empty() && r[0] == '!') {
        rec.refused = true;
        r.erase(0, 1);
      }
      if (r.size() < 2) continue;
      rec.digit = r[0];
      rec.kind = r[1] == '>' ? 'r' : r[1];
      if (rec.kind != 'R') rec.value = std::stoi(r.substr(2));
    }
    records.push_back(rec);
  }
  return records;
}

std::vector<TTraceRecord> RecordsAfter(const ByteText& trace, const ByteText& line) {
  auto records = ParseTrace(trace);
  if (line.empty()) return records;
  auto it = std::find_if(records.begin(), records.end(),
                         [&](const TTraceRecord& r) { return r.kind == '>' && r.text == line; });
  if (it == records.end()) return {};
  return {it + 1, records.end()};
}

std::vector<int> Sent(const std::vector<TTraceRecord>& records, char digit) {
  std::vector<int> bytes;
  for (const auto& r : records)
    if (r.kind == '<' && r.digit == digit) bytes.push_back(r.value);
  return bytes;
}

std::vector<TFrame> Frames(const std::vector<int>& sent) {
  std::vector<TFrame> frames;
  size_t i = 0;
  while (i < sent.size()) {
    const int header = sent[i++];
    if (header >= 0x80) continue;  // a check byte or a poll byte
    TFrame f{(header & 0x40) != 0, {}};
    const size_t n = header & 0x3F;
    for (size_t k = 0; k < n && i < sent.size(); ++k) f.data.push_back(sent[i++]);
    ++i;  // the check byte
    frames.push_back(f);
  }
  return frames;
}

void PrintTo(const TFrame& frame, std::ostream* os) {
  *os << (frame.isCmd ? "cmd[" : "row[") << std::hex;
  for (int b : frame.data) *os << ' ' << b;
  *os << std::dec << " ]";
}

std::vector<int> Trials(const std::vector<TFrame>& frames) {
  std::vector<int> trials;
  for (const auto& f : frames)
    if (f.isCmd && f.data.size() == 2 && f.data[0] == 0x03)
      trials.push_back(static_cast<int8_t>(f.data[1]));
  return trials;
}

std::array<uint8_t, 16> Packet(int afc, uint8_t rssi, uint32_t mac) {
  return sim::TestPacket(rssi, afc, mac);
}
