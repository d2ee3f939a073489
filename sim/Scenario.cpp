#include "sim/Scenario.h"

#include <cerrno>
#include <cmath>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>

namespace sim {
namespace {

using json = nlohmann::json;

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
  throw std::runtime_error("scenario: " + where + ": " + what);
}

std::string Shown(const json& v) {
  std::string s = v.dump();
  if (s.size() > 40) s = s.substr(0, 37) + "...";
  return s;
}

// Parses a non-negative integer written in decimal or as 0x followed by hexadecimal digits,
// without the C library (so no locale can change the reading).
bool ParseUnsignedText(const std::string& text, uint64_t& value) {
  size_t i = 0;
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    i = 2;
  }
  if (i >= text.size()) return false;
  value = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    unsigned d;
    if (c >= '0' && c <= '9') {
      d = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      d = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      d = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;
    }
    if (value > (std::numeric_limits<uint64_t>::max() - d) / base) return false;
    value = value * base + d;
  }
  return true;
}

// Reads the members of one JSON object, remembers which were used and rejects the rest.
class TReader {
 public:
  TReader(const json& object, std::string path) : j_(object), path_(std::move(path)) {
    if (!j_.is_object()) Fail(Where(), "expected an object, got " + Shown(j_));
  }

  bool Has(const std::string& key) const { return j_.contains(key); }

  const json* Get(const std::string& key) {
    used_.insert(key);
    auto it = j_.find(key);
    return it == j_.end() ? nullptr : &*it;
  }

  std::string Where(const std::string& key = "") const {
    if (key.empty()) return path_.empty() ? "(top level)" : path_;
    return path_.empty() ? key : path_ + "." + key;
  }

  int64_t Int(const std::string& key, int64_t def, int64_t lo, int64_t hi) {
    const json* v = Get(key);
    if (!v) return def;
    int64_t value = 0;
    bool ok = false;
    if (v->is_number_integer()) {
      if (v->is_number_unsigned()) {
        uint64_t u = v->get<uint64_t>();
        ok = u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
        value = static_cast<int64_t>(u);
      } else {
        value = v->get<int64_t>();
        ok = true;
      }
    } else if (v->is_string()) {
      uint64_t u = 0;
      const std::string& s = v->get_ref<const std::string&>();
      bool negative = !s.empty() && s[0] == '-';
      ok = ParseUnsignedText(negative ? s.substr(1) : s, u) &&
           u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
      value = negative ? -static_cast<int64_t>(u) : static_cast<int64_t>(u);
    }
    if (!ok || value < lo || value > hi) {
      Fail(Where(key), "expected an integer from " + std::to_string(lo) + " to " +
                           std::to_string(hi) + ", got " + Shown(*v));
    }
    return value;
  }

  int64_t Required(const std::string& key, int64_t lo, int64_t hi) {
    if (!Has(key)) Fail(Where(key), "missing (required)");
    return Int(key, 0, lo, hi);
  }

  double Number(const std::string& key, double def, double lo, double hi) {
    const json* v = Get(key);
    if (!v) return def;
    if (!v->is_number()) Fail(Where(key), "expected a number, got " + Shown(*v));
    double value = v->get<double>();
    if (!std::isfinite(value) || value < lo || value > hi) {
      Fail(Where(key), "expected a number from " + Shown(json(lo)) + " to " + Shown(json(hi)) +
                           ", got " + Shown(*v));
    }
    return value;
  }

  std::string String(const std::string& key, const std::string& def) {
    const json* v = Get(key);
    if (!v) return def;
    if (!v->is_string()) Fail(Where(key), "expected a string, got " + Shown(*v));
    return v->get<std::string>();
  }

  std::string OneOf(const std::string& key, const std::string& def,
                    const std::vector<std::string>& allowed) {
    std::string value = String(key, def);
    for (const auto& a : allowed) {
      if (value == a) return value;
    }
    std::string list;
    for (const auto& a : allowed) list += (list.empty() ? "\"" : ", \"") + a + "\"";
    Fail(Where(key), "expected one of " + list + ", got \"" + value + "\"");
  }

  // A device identity: 16 characters, each a digit or one of 'A'..'Z', '['.
  std::string Identity(const std::string& key, const std::string& def) {
    std::string id = String(key, def);
    bool ok = id.size() == 16;
    for (char c : id) ok = ok && ((c >= '0' && c <= '9') || (c >= 'A' && c <= '['));
    if (!ok) {
      Fail(Where(key),
           "expected 16 characters, each a digit or a capital letter A-Z or '[', got \"" + id +
               "\"");
    }
    return id;
  }

  // Rejects every member that was not read.
  void Finish() const {
    for (auto it = j_.begin(); it != j_.end(); ++it) {
      if (!used_.count(it.key())) Fail(Where(it.key()), "unknown key");
    }
  }

 private:
  const json& j_;
  std::string path_;
  std::set<std::string> used_;
};

const json& ArrayAt(TReader& r, const std::string& key, const json& empty) {
  const json* v = r.Get(key);
  if (!v || v->is_null()) return empty;
  if (!v->is_array()) Fail(r.Where(key), "expected a list, got " + Shown(*v));
  return *v;
}

std::string Indexed(const std::string& base, size_t i) {
  return base + "[" + std::to_string(i) + "]";
}

TDongleConfig ReadDongle(TReader& r) {
  TDongleConfig d;
  d.port = r.String("port", "");
  d.identity = r.Identity("identity", d.identity);
  d.hwVersion = static_cast<uint8_t>(r.Int("hw_version", d.hwVersion, 0, 255));
  d.reactionUs = static_cast<int>(r.Int("reaction_us", d.reactionUs, 0, 1000000));
  return d;
}

TServerConfig ReadServer(TReader& r) {
  TServerConfig s;
  s.port = r.String("port", "");
  s.identity = r.Identity("identity", s.identity);
  s.hwVersion = static_cast<uint8_t>(r.Int("hw_version", s.hwVersion, 0, 255));
  s.crystalError = r.Number("crystal_error", s.crystalError, -1000.0, 1000.0);
  s.crystalDriftPerHandheld =
      r.Number("crystal_drift_per_handheld", s.crystalDriftPerHandheld, -100.0, 100.0);
  s.factoryCompensation =
      static_cast<int8_t>(r.Int("factory_compensation", s.factoryCompensation, -128, 127));
  s.pctoolCompensation =
      static_cast<int8_t>(r.Int("pctool_compensation", s.pctoolCompensation, -128, 127));
  s.firmware = r.OneOf("firmware", s.firmware, {"production", "test", "none"});
  if (const json* fv = r.Get("firmware_version")) {
    if (!fv->is_array() || fv->size() != 2) {
      Fail(r.Where("firmware_version"), "expected [version byte, build byte], got " + Shown(*fv));
    }
    json pair = {{"version", (*fv)[0]}, {"build", (*fv)[1]}};
    TReader pr(pair, r.Where("firmware_version"));
    s.firmwareVersion = static_cast<uint8_t>(pr.Int("version", 0, 0, 255));
    s.firmwareBuild = static_cast<uint8_t>(pr.Int("build", 0, 0, 255));
  }
  s.testFirmwareVersion =
      static_cast<uint8_t>(r.Int("test_firmware_version", s.testFirmwareVersion, 0, 255));
  s.reactionUs = static_cast<int>(r.Int("reaction_us", s.reactionUs, 0, 1000000));
  return s;
}

THandheldConfig ReadHandheld(TReader& r, size_t index) {
  THandheldConfig h;
  h.mac = 0x00A10001u + static_cast<uint32_t>(index);
  h.hwVersion = static_cast<uint8_t>(r.Int("hw_version", h.hwVersion, 0, 255));
  h.mac = static_cast<uint32_t>(r.Int("mac", h.mac, 0, 0xFFFFFFFFll));
  h.crystalError = r.Number("crystal_error", h.crystalError, -1000.0, 1000.0);
  h.factoryCompensation =
      static_cast<int8_t>(r.Int("factory_compensation", h.factoryCompensation, -128, 127));
  h.pctoolCompensation =
      static_cast<int8_t>(r.Int("pctool_compensation", h.pctoolCompensation, -128, 127));
  h.modemVersion = static_cast<uint8_t>(r.Int("modem_version", h.modemVersion, 0, 255));
  h.flags = static_cast<uint8_t>(r.Int("flags", h.flags, 0, 255));
  h.firmware = r.OneOf("firmware", h.firmware, {"production", "none"});
  h.restartMs = static_cast<int>(r.Int("restart_ms", h.restartMs, 0, 3600000));
  h.startRunMs = static_cast<int>(r.Int("start_run_ms", h.startRunMs, 0, 3600000));
  h.testRunMs = static_cast<int>(r.Int("test_run_ms", h.testRunMs, 0, 3600000));
  h.storeRunMs = static_cast<int>(r.Int("store_run_ms", h.storeRunMs, 0, 3600000));
  h.reactionUs = static_cast<int>(r.Int("reaction_us", h.reactionUs, 0, 1000000));
  return h;
}

int ErrnoByName(const json& v, const std::string& where) {
  static const std::map<std::string, int> names = {
      {"EACCES", EACCES}, {"EBUSY", EBUSY},   {"ENOENT", ENOENT}, {"EPERM", EPERM},
      {"EIO", EIO},       {"ENODEV", ENODEV}, {"ENXIO", ENXIO},
  };
  if (v.is_string()) {
    auto it = names.find(v.get<std::string>());
    if (it != names.end()) return it->second;
  } else if (v.is_number_integer() && v.get<int64_t>() > 0 && v.get<int64_t>() < 4096) {
    return static_cast<int>(v.get<int64_t>());
  }
  std::string list;
  for (const auto& [name, n] : names) list += (list.empty() ? "" : ", ") + name;
  Fail(where, "expected an error number or one of " + list + ", got " + Shown(v));
}

void ReadFault(const json& f, const std::string& where, TScenario& s) {
  TReader r(f, where);
  std::string kind = r.OneOf(
      "kind", "",
      {"lose_answer", "double_answer", "corrupt_answer", "lose_sent", "double_sent",
       "corrupt_sent", "open_fails", "silent", "loopback",
       "no_dsr", "no_comeback", "dsr_drop", "run_status", "readback_mismatch", "foreign_packets",
       "malformed_packets", "afc_spread", "dongle_swap", "answer_attach", "server_stuck"});

  auto portOf = [&](bool required) -> TPortConfig* {
    if (!r.Has("port")) {
      if (required) Fail(r.Where("port"), "missing (required)");
      return nullptr;
    }
    std::string name = r.String("port", "");
    for (auto& p : s.ports) {
      if (p.name == name) return &p;
    }
    Fail(r.Where("port"), "\"" + name + "\" is not one of the bench's ports");
  };
  auto handheldOf = [&]() -> THandheldConfig& {
    int64_t i = r.Int("handheld", 0, 0, 1000000);
    if (i >= static_cast<int64_t>(s.handhelds.size())) {
      Fail(r.Where("handheld"), "there is no handheld " + std::to_string(i) +
                                    " (the scenario has " + std::to_string(s.handhelds.size()) +
                                    ")");
    }
    return s.handhelds[static_cast<size_t>(i)];
  };
  auto dongleOf = [&]() -> TDongleConfig& {
    TPortConfig* p = portOf(false);
    if (!p) {
      if (!s.dongle) Fail(where, "the scenario has no dongle");
      return *s.dongle;
    }
    if (s.dongle && s.dongle->port == p->name) return *s.dongle;
    for (auto& d : s.extraDongles) {
      if (d.port == p->name) return d;
    }
    Fail(r.Where("port"), "no dongle on \"" + p->name + "\"");
  };
  auto serverOf = [&]() -> TServerConfig& {
    TPortConfig* p = portOf(false);
    if (!p) {
      if (!s.server) Fail(where, "the scenario has no server");
      return *s.server;
    }
    if (s.server && s.server->port == p->name) return *s.server;
    for (auto& d : s.extraServers) {
      if (d.port == p->name) return d;
    }
    Fail(r.Where("port"), "no server on \"" + p->name + "\"");
  };

  const bool answerFault =
      kind == "lose_answer" || kind == "double_answer" || kind == "corrupt_answer";
  const bool sentFault = kind == "lose_sent" || kind == "double_sent" || kind == "corrupt_sent";
  if (answerFault || sentFault) {
    TPortConfig* p = portOf(true);
    const std::string what = kind.substr(0, kind.find('_'));
    TByteFault a;
    a.kind = what == "lose"     ? TByteFault::kLose
             : what == "double" ? TByteFault::kDouble
                                : TByteFault::kCorrupt;
    a.at = static_cast<uint64_t>(r.Required("at", 1, std::numeric_limits<int64_t>::max()));
    a.count = static_cast<uint64_t>(r.Int("count", 1, 1, std::numeric_limits<int32_t>::max()));
    if (a.kind == TByteFault::kCorrupt) a.xorMask = static_cast<uint8_t>(r.Int("xor", 1, 1, 255));
    (answerFault ? p->answerFaults : p->sentFaults).push_back(a);
  } else if (kind == "open_fails") {
    TPortConfig* p = portOf(true);
    const json* e = r.Get("errno");
    p->openErrno = e ? ErrnoByName(*e, r.Where("errno")) : EACCES;
  } else if (kind == "silent") {
    portOf(true)->silent = true;
  } else if (kind == "loopback") {
    portOf(true)->loopback = true;
  } else if (kind == "no_dsr") {
    handheldOf().noDsr = true;
  } else if (kind == "no_comeback") {
    THandheldConfig& h = handheldOf();
    h.noComebackAfter = static_cast<int>(r.Int("after_restarts", 1, 1, 1000000));
  } else if (kind == "dsr_drop") {
    THandheldConfig& h = handheldOf();
    TDsrDrop d;
    d.fromUs = r.Required("at_ms", 0, 1000000000) * 1000;
    d.untilUs = d.fromUs + r.Int("duration_ms", 100, 1, 1000000000) * 1000;
    h.dsrDrops.push_back(d);
  } else if (kind == "run_status") {
    THandheldConfig& h = handheldOf();
    TRunStatusFault f2;
    f2.run = static_cast<int>(r.Int("run", 2, 1, 3));
    f2.status = static_cast<uint8_t>(r.Int("status", 1, 1, 255));
    f2.at = static_cast<int>(r.Int("at", 0, 0, 1000000));
    h.runStatus.push_back(f2);
  } else if (kind == "readback_mismatch") {
    THandheldConfig& h = handheldOf();
    h.readbackMismatch.push_back(static_cast<uint16_t>(r.Required("address", 0, 8191)));
  } else if (kind == "foreign_packets" || kind == "malformed_packets" || kind == "afc_spread") {
    TPacketFault p;
    p.kind = kind == "foreign_packets"     ? TPacketFault::kForeign
             : kind == "malformed_packets" ? TPacketFault::kMalformed
                                           : TPacketFault::kAfcSpread;
    if (r.Has("handheld")) {
      handheldOf();
      p.handheld = static_cast<int>(r.Int("handheld", 0, 0, 1000000));
    }
    if (p.kind != TPacketFault::kAfcSpread) p.count = static_cast<int>(r.Int("count", 2, 1, 200));
    if (p.kind == TPacketFault::kForeign) {
      p.mac = static_cast<uint32_t>(r.Int("mac", p.mac, 0, 0xFFFFFFFFll));
    }
    s.air.faults.push_back(p);
  } else if (kind == "dongle_swap") {
    TDongleConfig& d = dongleOf();
    d.swapAfterResets = static_cast<int>(r.Int("after_resets", 1, 1, 1000000));
    d.swapIdentity = r.Identity("identity", d.swapIdentity);
    d.swapHwVersion = static_cast<uint8_t>(r.Int("hw_version", d.hwVersion, 0, 255));
  } else if (kind == "answer_attach") {
    dongleOf().answerAttach = true;
  } else if (kind == "server_stuck") {
    TServerConfig& sv = serverOf();
    std::string state = r.OneOf("state", "", {"mid_frame", "mid_handshake"});
    if (state == "mid_frame") {
      sv.start = TServerConfig::kMidFrame;
      sv.stuckAmount = static_cast<int>(r.Int("remaining", 20, 1, 63));
    } else {
      sv.start = TServerConfig::kMidHandshake;
      sv.stuckAmount = static_cast<int>(r.Int("at", 8, 1, 15));
    }
  }
  r.Finish();
}

}  // namespace

TScenario ParseScenario(const json& scenario) {
  if (scenario.is_string()) {
    Fail("(top level)",
         "expected an object, got a string (parse scenario text with nlohmann::json::parse)");
  }
  TReader top(scenario, "");
  TScenario s;
  const json empty = json::array();

  s.speed = static_cast<int>(top.Int("speed", s.speed, 50, 4000000));

  if (top.Has("ports")) {
    const json& ports = ArrayAt(top, "ports", empty);
    if (ports.empty()) Fail("ports", "expected at least one port name");
    for (size_t i = 0; i < ports.size(); ++i) {
      if (!ports[i].is_string() || ports[i].get<std::string>().empty()) {
        Fail(Indexed("ports", i), "expected a non-empty port name, got " + Shown(ports[i]));
      }
      std::string name = ports[i].get<std::string>();
      for (const auto& p : s.ports) {
        if (p.name == name) Fail(Indexed("ports", i), "\"" + name + "\" is listed twice");
      }
      s.ports.emplace_back().name = name;
    }
  } else {
    for (const char* name : {"SIM1", "SIM2", "SIM3"}) s.ports.emplace_back().name = name;
  }

  // Devices. A device without a port goes to the first free one of the list: the dongle first,
  // then the server.
  std::map<std::string, std::string> taken;  // port -> what sits there
  auto place = [&](std::string& port, const std::string& where, const std::string& what,
                   bool mayDefault) {
    if (port.empty()) {
      if (!mayDefault) Fail(where + ".port", "missing (required)");
      for (const auto& p : s.ports) {
        if (!taken.count(p.name)) {
          port = p.name;
          break;
        }
      }
      if (port.empty()) Fail(where, "no free port left for the " + what);
    }
    bool listed = false;
    for (const auto& p : s.ports) listed = listed || p.name == port;
    if (!listed) Fail(where + ".port", "\"" + port + "\" is not one of the bench's ports");
    if (taken.count(port))
      Fail(where + ".port", "\"" + port + "\" already holds the " + taken[port]);
    taken[port] = what;
  };

  // Explicit ports are claimed first so that a defaulted device does not take them.
  auto explicitPort = [&](const char* key) -> std::string {
    const json* v = scenario.is_object() && scenario.contains(key) ? &scenario.at(key) : nullptr;
    if (v && v->is_object() && v->contains("port") && v->at("port").is_string()) {
      return v->at("port").get<std::string>();
    }
    return "";
  };
  std::string donglePort = explicitPort("dongle");
  std::string serverPort = explicitPort("server");

  const json* dj = top.Get("dongle");
  if (!dj || !dj->is_null()) {
    json defaults = json::object();
    TReader r(dj ? *dj : defaults, "dongle");
    s.dongle = ReadDongle(r);
    r.Finish();
  }
  const json* sj = top.Get("server");
  if (!sj || !sj->is_null()) {
    json defaults = json::object();
    TReader r(sj ? *sj : defaults, "server");
    s.server = ReadServer(r);
    r.Finish();
  }
  if (s.dongle && !donglePort.empty()) place(s.dongle->port, "dongle", "dongle", false);
  if (s.server && !serverPort.empty()) place(s.server->port, "server", "server", false);

  const json& extras = ArrayAt(top, "extra_devices", empty);
  for (size_t i = 0; i < extras.size(); ++i) {
    std::string where = Indexed("extra_devices", i);
    TReader r(extras[i], where);
    std::string type = r.OneOf("type", "", {"dongle", "server"});
    if (type == "dongle") {
      s.extraDongles.push_back(ReadDongle(r));
      place(s.extraDongles.back().port, where, "second dongle", false);
    } else {
      s.extraServers.push_back(ReadServer(r));
      place(s.extraServers.back().port, where, "second server", false);
    }
    r.Finish();
  }
  if (s.dongle && donglePort.empty()) place(s.dongle->port, "dongle", "dongle", true);
  if (s.server && serverPort.empty()) place(s.server->port, "server", "server", true);

  if (top.Has("handhelds")) {
    const json& hs = ArrayAt(top, "handhelds", empty);
    for (size_t i = 0; i < hs.size(); ++i) {
      TReader r(hs[i], Indexed("handhelds", i));
      s.handhelds.push_back(ReadHandheld(r, i));
      r.Finish();
    }
  } else {
    s.handhelds.push_back(THandheldConfig{});
  }

  if (const json* aj = top.Get("air")) {
    TReader r(*aj, "air");
    s.air.packetsPerCycle =
        static_cast<int>(r.Int("packets_per_cycle", s.air.packetsPerCycle, 0, 255));
    s.air.afcNoise = r.Number("afc_noise", s.air.afcNoise, 0.0, 100.0);
    s.air.captureRange = r.Number("capture_range", s.air.captureRange, 0.0, 1000.0);
    s.air.rssi = static_cast<int>(r.Int("rssi", s.air.rssi, 0, 255));
    s.air.rssiNoise = static_cast<int>(r.Int("rssi_noise", s.air.rssiNoise, 0, 255));
    s.air.seed = static_cast<uint64_t>(r.Int("seed", 1, 0, std::numeric_limits<int64_t>::max()));
    r.Finish();
  }
  if (const json* oj = top.Get("operator")) {
    TReader r(*oj, "operator");
    s.op.unplugMs = static_cast<int>(r.Int("unplug_ms", s.op.unplugMs, 0, 3600000));
    s.op.plugMs = static_cast<int>(r.Int("plug_ms", s.op.plugMs, 0, 3600000));
    r.Finish();
  }

  const json& faults = ArrayAt(top, "faults", empty);
  for (size_t i = 0; i < faults.size(); ++i) ReadFault(faults[i], Indexed("faults", i), s);

  for (const auto& p : s.ports) {
    if (p.loopback && taken.count(p.name)) {
      Fail("faults",
           "a loop-back plug on \"" + p.name + "\", which already holds the " + taken[p.name]);
    }
  }
  top.Finish();
  return s;
}

nlohmann::json DefaultScenarioJson() {
  return json::parse(R"({
    "speed": 9600,
    "ports": ["SIM1", "SIM2", "SIM3"],
    "dongle": {"port": "SIM1", "identity": "TPDONGLE00000042", "hw_version": 17},
    "server": {
      "port": "SIM2", "identity": "RFTPSERVER000123", "hw_version": 18,
      "crystal_error": 3.0, "factory_compensation": -4, "pctool_compensation": 0,
      "firmware": "production", "firmware_version": [37, 6], "test_firmware_version": 1
    },
    "handhelds": [
      {"hw_version": 34, "mac": "0x00A10001", "crystal_error": 12.4,
       "factory_compensation": 10, "pctool_compensation": 0, "modem_version": 35},
      {"hw_version": 34, "mac": "0x00A10002", "crystal_error": -7.6,
       "factory_compensation": -9, "pctool_compensation": 0, "modem_version": 35},
      {"hw_version": 34, "mac": "0x00A10003", "crystal_error": 62.0,
       "factory_compensation": 55, "pctool_compensation": 58, "modem_version": 35}
    ],
    "air": {"packets_per_cycle": 12, "afc_noise": 0.3, "capture_range": 40, "rssi": 180,
            "seed": 1},
    "faults": []
  })");
}

}  // namespace sim
