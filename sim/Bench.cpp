#include "sim/Bench.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>

#include "run/Paths.h"
#include "serial/PortProvider.h"
#include "serial/SystemErrors.h"
#include "sim/VirtualClock.h"

namespace sim {

namespace {

std::string ErrorText(int error) {
  return std::generic_category().message(error);
}

[[noreturn]] void RaiseErrno(int error) {
  throw EComError(error, ErrorText(error));
}

// The conditions a serial device of the system would report, with its numbers and texts.
[[noreturn]] void RaisePortError(int error) {
  throw EComError(error, PlatformErrorText(error));
}

TSimTime ByteTimeUs(int speed) {
  // 10 bits per byte: start bit, 8 data bits, stop bit.
  return (10'000'000 + speed / 2) / speed;
}

}  // namespace

// A byte on its way from the tool to the device: when it has fully arrived, and its number
// among the bytes the tool wrote to the port.
struct TFlight {
  TSimTime at;
  uint8_t value;
  uint64_t number;
};

struct TVirtualPort {
  TPortConfig config;
  TDevice* device = nullptr;
  bool open = false;
  int opens = 0;
  int speed = 0;  // 0: the scenario's speed
  TTimeoutConfig timeouts;
  bool dtr = false, rts = false;
  std::deque<TFlight> toDevice;
  std::deque<std::pair<TSimTime, uint8_t>> input;  // answers, by arrival time
  TSimTime hostTxFree = 0;
  TSimTime deviceTxFree = 0;
  uint64_t written = 0;
  uint64_t answered = 0;
};

class TBenchCore {
 public:
  explicit TBenchCore(const TScenario& s) : scenario(s), speed(s.speed) {
    for (const auto& p : s.ports) {
      auto port = std::make_unique<TVirtualPort>();
      port->config = p;
      ports.push_back(std::move(port));
    }
    air = std::make_unique<TAir>(s.air);
    bay = std::make_unique<THandheldBay>(s.op);
    for (size_t i = 0; i < s.handhelds.size(); ++i) {
      bay->Add(std::make_unique<THandheld>(s.handhelds[i], static_cast<int>(i), *bay, *air));
    }
    if (s.dongle) dongle = AddDongle(*s.dongle, *bay);
    if (s.server) server = AddServer(*s.server);
    for (const auto& d : s.extraDongles) {
      emptyBays.push_back(std::make_unique<THandheldBay>(s.op));
      AddDongle(d, *emptyBays.back());
    }
    for (const auto& sv : s.extraServers) AddServer(sv);
  }

  TVirtualPort* Find(const std::string& name) {
    for (auto& p : ports) {
      if (p->config.name == name) return p.get();
    }
    return nullptr;
  }

  TSimTime Now() { return clock.Now().count(); }
  TSimTime ByteTime(const TVirtualPort& p) const {
    return ByteTimeUs(p.speed > 0 ? p.speed : speed);
  }

  // The earliest moment a byte written by the tool reaches its device.
  TSimTime NextDelivery() const {
    TSimTime next = kNever;
    for (const auto& p : ports) {
      if (!p->toDevice.empty()) next = std::min(next, p->toDevice.front().at);
    }
    return next;
  }

  // Hands every byte that has reached its device by time t over to it, in time order.
  void SettleAll(TSimTime t) {
    for (;;) {
      TVirtualPort* first = nullptr;
      for (auto& p : ports) {
        if (!p->toDevice.empty() && p->toDevice.front().at <= t &&
            (!first || p->toDevice.front().at < first->toDevice.front().at)) {
          first = p.get();
        }
      }
      if (!first) return;
      TFlight f = first->toDevice.front();
      first->toDevice.pop_front();
      Deliver(*first, f);
    }
  }

  void Deliver(TVirtualPort& p, const TFlight& f) {
    // On its way the byte may be lost, doubled (the copy arrives one byte time later) or
    // altered: the device sees and answers what arrives.
    int copies = 1;
    uint8_t value = f.value;
    for (const auto& fault : p.config.sentFaults) {
      if (!fault.Hits(f.number)) continue;
      if (fault.kind == TByteFault::kLose) {
        copies = 0;
      } else if (fault.kind == TByteFault::kDouble) {
        copies = copies == 0 ? 0 : 2;
      } else {
        value = static_cast<uint8_t>(value ^ fault.xorMask);
      }
    }
    const TSimTime bt = ByteTime(p);
    for (int copy = 0; copy < copies; ++copy) {
      const TSimTime at = f.at + copy * bt;
      TAnswer answer;
      if (p.config.loopback) {
        answer.bytes.push_back(value);
      } else if (p.device && !p.config.silent) {
        p.device->OnByte(at, value, answer);
      }
      for (const auto& fault : p.config.answerFaults) {
        if (!fault.Hits(f.number)) continue;
        if (fault.kind == TByteFault::kLose) {
          answer.bytes.clear();
        } else if (fault.kind == TByteFault::kDouble) {
          std::vector<uint8_t> twice;
          for (uint8_t b : answer.bytes) twice.insert(twice.end(), {b, b});
          answer.bytes = twice;
        } else {
          for (auto& b : answer.bytes) b = static_cast<uint8_t>(b ^ fault.xorMask);
        }
      }
      for (uint8_t b : answer.bytes) {
        TSimTime start = std::max(at + answer.reactionUs, p.deviceTxFree);
        p.deviceTxFree = start + bt;
        p.input.emplace_back(p.deviceTxFree, b);
        ++p.answered;
      }
    }
  }

  void SetLines(TVirtualPort& p, TSimTime t, bool dtr, bool rts) {
    if (p.dtr == dtr && p.rts == rts) return;
    p.dtr = dtr;
    p.rts = rts;
    if (p.device) {
      p.device->OnLines(t, dtr, rts);
      p.device->OnActivity(t);
    }
  }

  TScenario scenario;
  int speed;
  std::mutex mutex;
  TVirtualClock clock;
  bool alive = true;
  std::vector<std::unique_ptr<TVirtualPort>> ports;
  std::unique_ptr<TAir> air;
  std::unique_ptr<THandheldBay> bay;
  std::vector<std::unique_ptr<THandheldBay>> emptyBays;
  std::vector<std::unique_ptr<TDevice>> devices;
  TDongle* dongle = nullptr;
  TServer* server = nullptr;
  std::vector<TDongle*> dongles;
  std::vector<TServer*> servers;

 private:
  TDongle* AddDongle(const TDongleConfig& config, THandheldBay& handhelds) {
    auto d = std::make_unique<TDongle>(config, handhelds);
    TDongle* raw = d.get();
    Find(config.port)->device = raw;
    devices.push_back(std::move(d));
    dongles.push_back(raw);
    return raw;
  }
  TServer* AddServer(const TServerConfig& config) {
    auto s = std::make_unique<TServer>(config);
    TServer* raw = s.get();
    Find(config.port)->device = raw;
    air->AddServer(raw);
    devices.push_back(std::move(s));
    servers.push_back(raw);
    return raw;
  }
};

// One TComPort's view of a virtual port.
class TVirtualBinding final : public TPortBinding {
 public:
  explicit TVirtualBinding(std::shared_ptr<TBenchCore> core) : core_(std::move(core)) {}
  ~TVirtualBinding() override { Close(); }

  void Open(const std::string& deviceName) override {
    std::lock_guard<std::mutex> lock(core_->mutex);
    if (port_) RaisePortError(kErrPortInUse);
    TVirtualPort* p = core_->alive ? core_->Find(deviceName) : nullptr;
    if (!p) RaisePortError(kErrPortNotFound);
    if (p->config.openErrno != 0) RaiseErrno(p->config.openErrno);
    if (p->open) RaisePortError(kErrPortInUse);  // in use by another port object
    const TSimTime now = core_->Now();
    core_->SettleAll(now);
    p->open = true;
    ++p->opens;
    p->speed = 0;
    p->timeouts = TTimeoutConfig{};
    p->input.clear();
    p->toDevice.clear();
    p->hostTxFree = now;
    p->deviceTxFree = now;
    // Opening a terminal raises DTR and RTS.
    core_->SetLines(*p, now, true, true);
    port_ = p;
  }

  void Close() noexcept override {
    std::lock_guard<std::mutex> lock(core_->mutex);
    if (!port_) return;
    const TSimTime now = core_->Now();
    core_->SettleAll(now);
    port_->input.clear();
    port_->toDevice.clear();  // bytes still in the driver are abandoned
    core_->SetLines(*port_, now, false, false);
    port_->open = false;
    port_ = nullptr;
  }

  void ApplyLineSettings(const TLineConfig& config) override {
    std::lock_guard<std::mutex> lock(core_->mutex);
    TVirtualPort& p = Port();
    if (config.baudRate == brCustom) {
      if (config.customBaudRate > 0) p.speed = config.customBaudRate;
    } else if (config.baudRate != brDefault) {
      p.speed = BaudRateValue(config.baudRate);
    }
    bool dtr = p.dtr, rts = p.rts;
    if (config.dtr == dcDisable) dtr = false;
    if (config.dtr == dcEnable || config.dtr == dcHandshake) dtr = true;
    if (config.rts == rcDisable) rts = false;
    if (config.rts == rcEnable || config.rts == rcHandshake || config.rts == rcToggle) rts = true;
    const TSimTime now = core_->Now();
    core_->SettleAll(now);
    core_->SetLines(p, now, dtr, rts);
  }

  void ApplyTimeouts(const TTimeoutConfig& config) override {
    std::lock_guard<std::mutex> lock(core_->mutex);
    Port().timeouts = config;
  }

  void ApplyBufferSizes(int32_t, int32_t) override {
    std::lock_guard<std::mutex> lock(core_->mutex);
    Port();
  }

  size_t Read(unsigned char* buffer, size_t length) override {
    std::unique_lock<std::mutex> lock(core_->mutex);
    TVirtualPort& p = Port();
    const TSimTime start = core_->Now();
    const TTimeoutConfig& to = p.timeouts;
    // A negative interval with no total time-out (the "return at once" setting) takes only what
    // has arrived.
    const bool immediate = to.readInterval < 0 && to.readMultiplier <= 0 && to.readConstant <= 0;
    const int64_t totalMs = std::max<int64_t>(0, to.readMultiplier) * static_cast<int64_t>(length) +
                            std::max<int64_t>(0, to.readConstant);
    const TSimTime deadline = totalMs > 0 ? start + totalMs * 1000 : kNever;
    const TSimTime interval = to.readInterval > 0 ? to.readInterval * int64_t{1000} : 0;

    size_t got = 0;
    TSimTime t = start, last = start;
    while (got < length) {
      core_->SettleAll(t);
      if (!p.input.empty() && p.input.front().first <= t) {
        last = p.input.front().first;
        buffer[got++] = p.input.front().second;
        p.input.pop_front();
        continue;
      }
      if (immediate) break;
      TSimTime limit = deadline;
      if (interval > 0 && got > 0) limit = std::min(limit, last + interval);
      TSimTime next =
          std::min(p.input.empty() ? kNever : p.input.front().first, core_->NextDelivery());
      if (next == kNever || next > limit) {
        // Nothing more comes in time. Without a time-out that ends the wait, a real port would
        // block here for ever: a caller that forgot its time-out must not pass on the bench.
        if (limit == kNever) {
          throw std::logic_error("read on \"" + p.config.name + "\" without a time-out: " +
                                 std::to_string(got) + " of " + std::to_string(length) +
                                 " bytes came and no more will; a read without time-out would "
                                 "hang on a real port");
        }
        t = limit;
        break;
      }
      t = next;
    }
    const Clock::Duration step = core_->clock.AdvanceTo(Clock::Duration(t));
    lock.unlock();
    core_->clock.Pace(step);
    return got;
  }

  size_t Write(const unsigned char* buffer, size_t length) override {
    std::lock_guard<std::mutex> lock(core_->mutex);
    TVirtualPort& p = Port();
    const TSimTime now = core_->Now();
    const TSimTime bt = core_->ByteTime(p);
    for (size_t i = 0; i < length; ++i) {
      TSimTime begin = std::max(now, p.hostTxFree);
      p.hostTxFree = begin + bt;
      p.toDevice.push_back(TFlight{p.hostTxFree, buffer[i], ++p.written});
    }
    if (p.device && length > 0) p.device->OnActivity(now);
    return length;
  }

  bool WaitWritten() override {
    std::unique_lock<std::mutex> lock(core_->mutex);
    TVirtualPort& p = Port();
    const Clock::Duration step = core_->clock.AdvanceTo(Clock::Duration(p.hostTxFree));
    lock.unlock();
    core_->clock.Pace(step);
    return true;
  }

  int32_t InputCount() override {
    std::lock_guard<std::mutex> lock(core_->mutex);
    TVirtualPort& p = Port();
    const TSimTime now = core_->Now();
    core_->SettleAll(now);
    int32_t n = 0;
    for (const auto& in : p.input) {
      if (in.first > now) break;
      ++n;
    }
    return n;
  }

  void PurgeInput() override {
    std::lock_guard<std::mutex> lock(core_->mutex);
    TVirtualPort& p = Port();
    const TSimTime now = core_->Now();
    core_->SettleAll(now);
    while (!p.input.empty() && p.input.front().first <= now) p.input.pop_front();
  }

  void PurgeOutput() override {
    std::lock_guard<std::mutex> lock(core_->mutex);
    TVirtualPort& p = Port();
    const TSimTime now = core_->Now();
    core_->SettleAll(now);
    const TSimTime bt = core_->ByteTime(p);
    // Bytes that have not begun to go out are dropped.
    while (!p.toDevice.empty() && p.toDevice.back().at - bt > now) {
      p.hostTxFree = p.toDevice.back().at - bt;
      p.toDevice.pop_back();
    }
  }

  TModemStatus ModemStatus() override {
    std::lock_guard<std::mutex> lock(core_->mutex);
    TVirtualPort& p = Port();
    const TSimTime now = core_->Now();
    core_->SettleAll(now);
    TModemStatus status;
    if (p.device) {
      p.device->OnStatusPoll(now);
      if (p.device->Dsr(now)) status.Include(msDSR);
    }
    return status;
  }

 private:
  // The port this binding has open; the bench being gone reads like a removed adapter.
  TVirtualPort& Port() {
    if (!core_->alive) RaisePortError(kErrDeviceGone);
    if (!port_) RaisePortError(kErrNoDevice);
    return *port_;
  }

  std::shared_ptr<TBenchCore> core_;
  TVirtualPort* port_ = nullptr;
};

class TBenchProvider final : public TPortProvider {
 public:
  TBenchProvider(std::shared_ptr<TBenchCore> core, std::vector<std::string> names)
      : core_(std::move(core)), names_(std::move(names)) {}
  bool Claims(const std::string& deviceName) const override {
    return std::find(names_.begin(), names_.end(), deviceName) != names_.end();
  }
  std::unique_ptr<TPortBinding> CreateBinding(const std::string&) override {
    return std::make_unique<TVirtualBinding>(core_);
  }
  // The list is fixed at construction, so the window thread may ask while the worker works.
  void EnumPorts(std::vector<std::string>& names) const override {
    names.insert(names.end(), names_.begin(), names_.end());
  }
  const std::vector<std::string>& Names() const { return names_; }

 private:
  std::shared_ptr<TBenchCore> core_;
  const std::vector<std::string> names_;
};

namespace {

nlohmann::json MacText(uint32_t mac) {
  static const char* hex = "0123456789ABCDEF";
  std::string s = "0x";
  for (int shift = 28; shift >= 0; shift -= 4) s.push_back(hex[(mac >> shift) & 0xF]);
  return s;
}

// E + C without the binary noise of the addition (12.4 - 13 reads -0.6).
double FrequencyError(double crystalError, int8_t compensation) {
  return std::round((crystalError + compensation) * 1e6) / 1e6;
}

nlohmann::json TimeMs(TSimTime t) {
  if (t == kNever) return nullptr;
  return static_cast<double>(t) / 1000.0;
}

nlohmann::json ServerReport(const TServer& s) {
  nlohmann::json j = {
      {"port", s.Config().port},
      {"identity", s.Config().identity},
      {"hw_version", s.Config().hwVersion},
      {"crystal_error", s.CrystalError()},
      {"factory_compensation", s.FactoryCompensation()},
      {"pctool_compensation", s.PcToolCompensation()},
      {"effective_compensation", s.EffectiveCompensation()},
      {"frequency_error", FrequencyError(s.CrystalError(), s.EffectiveCompensation())},
      {"firmware", s.Firmware()},
      {"running_firmware", s.Running() == TServer::kProduction ? "production"
                           : s.Running() == TServer::kTest     ? "test"
                                                               : "none"},
      {"programmings", s.Programmings()},
      {"rows_written", s.RowsWritten()},
      {"rows_checked", s.RowsChecked()},
      {"row_mismatches", s.RowMismatches()},
      {"frames", s.Frames()},
      {"bad_check_bytes", s.BadChecks()},
      {"trial_offset", s.Trial()},
      {"image_sha256", s.ImageSha256()},
      {"start_image_sha256", s.StartImageSha256()},
  };
  if (s.Running() == TServer::kProduction) {
    j["firmware_version"] = {s.Version(), s.Build()};
  } else if (s.Running() == TServer::kTest) {
    j["test_firmware_version"] = s.TestVersion();
  }
  return j;
}

nlohmann::json HandheldReport(const THandheld& h, TSimTime now) {
  std::string state = h.PluggedAt() > now      ? "waiting"
                      : h.UnpluggedAt() <= now ? "unplugged"
                                               : "plugged";
  nlohmann::json stored = nlohmann::json::array();
  for (int8_t v : h.Stored()) stored.push_back(v);
  return {
      {"plug_index", h.PlugIndex()},
      {"mac", MacText(h.Config().mac)},
      {"hw_version", h.Config().hwVersion},
      {"crystal_error", h.CrystalError()},
      {"factory_compensation", h.FactoryCompensation()},
      {"pctool_compensation", h.PcToolCompensation()},
      {"effective_compensation", h.EffectiveCompensation()},
      {"frequency_error", FrequencyError(h.CrystalError(), h.EffectiveCompensation())},
      {"firmware", h.Firmware()},
      {"stored", stored},
      {"programmings", h.Programmings()},
      {"image_sha256", h.ImageSha256()},
      {"start_image_sha256", h.StartImageSha256()},
      {"restarts", h.Restarts()},
      {"width_errors", h.WidthErrors()},
      {"runs",
       {{"start", h.RunsExecuted(1)},
        {"test_cycle", h.RunsExecuted(2)},
        {"store", h.RunsExecuted(3)}}},
      {"state", state},
      {"plugged_at_ms", TimeMs(h.PluggedAt())},
      {"unplugged_at_ms", TimeMs(h.UnpluggedAt())},
  };
}

}  // namespace

}  // namespace sim

using sim::TBenchCore;
using sim::TBenchProvider;

TBench::TBench() : TBench(DefaultScenario()) {}

TBench::TBench(const char* scenarioText) : TBench(std::string(scenarioText)) {}

TBench::TBench(const std::string& scenarioText)
    : TBench([&] {
        try {
          return nlohmann::json::parse(scenarioText);
        } catch (const nlohmann::json::parse_error& e) {
          throw std::runtime_error(std::string("scenario is not valid JSON: ") + e.what());
        }
      }()) {}

TBench::TBench(const nlohmann::json& scenario) {
  sim::TScenario s = sim::ParseScenario(scenario);
  core_ = std::make_shared<TBenchCore>(s);
  std::vector<std::string> names;
  for (const auto& p : s.ports) names.push_back(p.name);
  provider_ = std::make_unique<TBenchProvider>(core_, std::move(names));
  RegisterPortProvider(provider_.get());
}

TBench::~TBench() {
  UnregisterPortProvider(provider_.get());
  std::lock_guard<std::mutex> lock(core_->mutex);
  core_->alive = false;
}

nlohmann::json TBench::LoadScenario(const std::string& path) {
  std::ifstream in(FilePath(path), std::ios::binary);
  if (!in) {
    int error = errno;
    throw std::runtime_error("cannot read scenario file \"" + path +
                             "\": " + sim::ErrorText(error != 0 ? error : ENOENT));
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw std::runtime_error("cannot read scenario file \"" + path + "\"");
  try {
    return nlohmann::json::parse(text.str());
  } catch (const nlohmann::json::parse_error& e) {
    throw std::runtime_error("scenario file \"" + path + "\" is not valid JSON: " + e.what());
  }
}

nlohmann::json TBench::DefaultScenario() {
  return sim::DefaultScenarioJson();
}

Clock& TBench::VirtualClock() {
  return core_->clock;
}

Clock::Duration TBench::NextArrival() const {
  std::lock_guard<std::mutex> lock(core_->mutex);
  sim::TSimTime next = core_->NextDelivery();
  for (const auto& p : core_->ports) {
    if (!p->input.empty()) next = std::min(next, p->input.front().first);
  }
  return next == sim::kNever ? Clock::Duration::max() : Clock::Duration(next);
}

void TBench::AdvanceTo(Clock::Duration t) { core_->clock.AdvanceTo(t); }

bool TBench::DsrNow(const std::string& port) const {
  std::lock_guard<std::mutex> lock(core_->mutex);
  sim::TVirtualPort* p = core_->Find(port);
  if (!p || !p->device) return false;
  const sim::TSimTime now = core_->Now();
  core_->SettleAll(now);
  return p->device->Dsr(now);
}

size_t TBench::QueuedToLine(const std::string& port) const {
  std::lock_guard<std::mutex> lock(core_->mutex);
  sim::TVirtualPort* p = core_->Find(port);
  return p ? p->toDevice.size() : 0;
}

void TBench::SetPaced(double speedFactor) {
  core_->clock.SetPaced(speedFactor);
}

std::vector<std::string> TBench::PortNames() const {
  return provider_->Names();
}

nlohmann::json TBench::Report() const {
  std::lock_guard<std::mutex> lock(core_->mutex);
  const sim::TSimTime now = core_->Now();
  nlohmann::json j;
  j["time_ms"] = static_cast<double>(now) / 1000.0;
  j["server"] = core_->server ? sim::ServerReport(*core_->server) : nlohmann::json(nullptr);
  j["handhelds"] = nlohmann::json::array();
  for (size_t i = 0; i < core_->bay->Count(); ++i) {
    j["handhelds"].push_back(sim::HandheldReport(core_->bay->At(i), now));
  }
  if (core_->dongle) {
    const sim::TDongle& d = *core_->dongle;
    j["dongle"] = {{"port", d.Config().port},
                   {"identity", d.Identity()},
                   {"hw_version", d.HwVersion()},
                   {"resets", d.Resets()}};
  } else {
    j["dongle"] = nullptr;
  }
  j["extra_devices"] = nlohmann::json::array();
  for (sim::TServer* s : core_->servers) {
    if (s == core_->server) continue;
    nlohmann::json e = sim::ServerReport(*s);
    e["type"] = "server";
    j["extra_devices"].push_back(e);
  }
  for (sim::TDongle* d : core_->dongles) {
    if (d == core_->dongle) continue;
    j["extra_devices"].push_back({{"type", "dongle"},
                                  {"port", d->Config().port},
                                  {"identity", d->Identity()},
                                  {"resets", d->Resets()}});
  }
  nlohmann::json ports = nlohmann::json::object();
  for (const auto& p : core_->ports) {
    ports[p->config.name] = {{"open", p->open},
                             {"opens", p->opens},
                             {"bytes_from_tool", p->written},
                             {"bytes_to_tool", p->answered}};
  }
  j["ports"] = ports;
  return j;
}

void TBench::WriteReport(const std::string& path) const {
  std::string text = Report().dump(2) + "\n";
  std::ofstream out(FilePath(path), std::ios::binary | std::ios::trunc);
  if (out) out << text;
  if (out) out.flush();
  if (!out) {
    int error = errno;
    throw std::runtime_error("cannot write bench report \"" + path +
                             "\": " + sim::ErrorText(error != 0 ? error : EIO));
  }
}

sim::TServer& TBench::Server() {
  if (!core_->server) throw std::logic_error("the bench's scenario has no server");
  return *core_->server;
}

sim::TDongle& TBench::Dongle() {
  if (!core_->dongle) throw std::logic_error("the bench's scenario has no dongle");
  return *core_->dongle;
}

sim::TServer* TBench::ServerOn(const std::string& port) {
  for (sim::TServer* s : core_->servers) {
    if (s->Config().port == port) return s;
  }
  return nullptr;
}

sim::TDongle* TBench::DongleOn(const std::string& port) {
  for (sim::TDongle* d : core_->dongles) {
    if (d->Config().port == port) return d;
  }
  return nullptr;
}

size_t TBench::HandheldCount() const {
  return core_->bay->Count();
}

sim::THandheld& TBench::Handheld(size_t plugIndex) {
  return core_->bay->At(plugIndex);
}

size_t TBench::CurrentHandheld() const {
  return core_->bay->Current();
}

TSimPortStats TBench::PortStats(const std::string& port) const {
  std::lock_guard<std::mutex> lock(core_->mutex);
  sim::TVirtualPort* p = core_->Find(port);
  if (!p) throw std::invalid_argument("\"" + port + "\" is not a port of the bench");
  TSimPortStats s;
  s.open = p->open;
  s.opens = p->opens;
  s.bytesFromTool = p->written;
  s.bytesToTool = p->answered;
  s.speed = p->speed > 0 ? p->speed : core_->speed;
  return s;
}
