#include "sim/Devices.h"

#include <algorithm>
#include <cmath>

#include "sim/Digest.h"

namespace sim {

std::array<uint8_t, 16> TestPacket(uint8_t rssi, int afc, uint32_t mac, uint8_t number) {
  std::array<uint8_t, 16> p{};
  p[0] = rssi;
  p[1] = static_cast<uint8_t>(afc & 0xFF);
  p[2] = 0;
  p[3] = 8;
  p[4] = static_cast<uint8_t>(mac >> 24);
  p[5] = static_cast<uint8_t>(mac >> 16);
  p[6] = static_cast<uint8_t>(mac >> 8);
  p[7] = static_cast<uint8_t>(mac);
  p[8] = 0;
  p[9] = number;
  return p;
}

const std::array<uint16_t, 37> kServerVersionSignature = {
    0x3A0A, 0x1C23, 0x1D03, 0x3406, 0x30E0, 0x0522, 0x1CA3, 0x1D03, 0x3406, 0x3022,
    0x0084, 0x1703, 0x0800, 0x008F, 0x0A84, 0x0800, 0x008D, 0x1683, 0x178C, 0x140C,
    0x0000, 0x0000, 0x1283, 0x0A84, 0x0800, 0x060E, 0x393F, 0x1D03, 0x1784, 0x0A84,
    0x0800, 0x060C, 0x1D03, 0x1784, 0x0A8D, 0x1C8D, 0x180D};

namespace {

uint8_t RotateLeft(uint8_t s) {
  return static_cast<uint8_t>((s << 1) | (s >> 7));
}

constexpr uint8_t kIdStart = 0x80, kIdSync = 0x00, kIdCheck = 0xA5, kIdNext = 0x55;
constexpr uint8_t kNak = 0x15;  // the server's answer to a wrong check byte or unknown request

// One step of splitmix64.
uint64_t SplitMix(uint64_t& state) {
  state += 0x9E3779B97F4A7C15ull;
  uint64_t z = state;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace

uint8_t ServerRequestCheck(uint8_t header, const std::vector<uint8_t>& data) {
  uint8_t s = header;
  for (uint8_t d : data) s = static_cast<uint8_t>(RotateLeft(s) + d);
  return static_cast<uint8_t>((static_cast<uint8_t>(s + (s >> 6)) & 0x3F) | 0x80);
}

uint8_t ServerReplyCheck(const std::vector<uint8_t>& reply) {
  if (reply.empty()) return 0;
  uint8_t s = reply[0];
  for (size_t i = 1; i < reply.size(); ++i) s = static_cast<uint8_t>(RotateLeft(s) + reply[i]);
  return s;
}

// ---------------------------------------------------------------------------------------------
// Air

TAir::TAir(const TAirConfig& config) : config_(config), state_(config.seed) {}

uint64_t TAir::NextRandom() {
  return SplitMix(state_);
}

double TAir::Uniform() {
  return static_cast<double>(NextRandom() >> 11) * 0x1.0p-53;
}

double TAir::Normal() {
  double u1 = 1.0 - Uniform();  // (0, 1]
  double u2 = Uniform();
  return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
}

void TAir::TestCycle(const THandheld& handheld, int plugIndex) {
  int foreign = 0, malformed = 0;
  bool spread = false;
  uint32_t foreignMac = 0;
  for (const auto& f : config_.faults) {
    if (f.handheld >= 0 && f.handheld != plugIndex) continue;
    if (f.kind == TPacketFault::kForeign) {
      foreign += f.count;
      foreignMac = f.mac;
    } else if (f.kind == TPacketFault::kMalformed) {
      malformed += f.count;
    } else {
      spread = true;
    }
  }
  const uint32_t mac = handheld.Config().mac;
  for (TServer* server : servers_) {
    if (server->Running() != TServer::kTest) continue;
    server->HandheldTested(plugIndex);
    // The handheld's test firmware sends uncompensated; the server's test firmware receives with
    // the trial value in place of its own compensation.
    const double offset =
        handheld.CrystalError() - (server->CrystalError() + static_cast<double>(server->Trial()));
    for (int k = 0; k < config_.packetsPerCycle; ++k) {
      const double noise = Normal() * config_.afcNoise;
      const int jitter =
          config_.rssiNoise > 0
              ? static_cast<int>(NextRandom() % static_cast<uint64_t>(2 * config_.rssiNoise + 1)) -
                    config_.rssiNoise
              : 0;
      const uint8_t rssi = static_cast<uint8_t>(std::clamp(config_.rssi + jitter, 0, 255));
      if (std::fabs(offset) <= config_.captureRange) {
        long afc = std::lround(offset * 3.0 / 8.0 + noise);
        if (spread) afc += (k % 2 == 0) ? 3 : -3;
        afc = std::clamp(afc, -127l, 128l);
        server->Receive(TestPacket(rssi, static_cast<int>(afc), mac, static_cast<uint8_t>(k)));
      }
      // Packets the tool must not count: far off in AFC, so that counting one would show.
      if (k < foreign) {
        std::array<uint8_t, 16> p{};
        p[0] = 90;
        p[1] = 100;
        p[3] = 8;
        p[4] = static_cast<uint8_t>(foreignMac >> 24);
        p[5] = static_cast<uint8_t>(foreignMac >> 16);
        p[6] = static_cast<uint8_t>(foreignMac >> 8);
        p[7] = static_cast<uint8_t>(foreignMac);
        server->Receive(p);
      }
      if (k < malformed) {
        std::array<uint8_t, 16> p{};
        p[0] = rssi;
        p[1] = 100;
        p[2] = 0;
        p[3] = 8;
        p[4] = static_cast<uint8_t>(mac >> 24);
        p[5] = static_cast<uint8_t>(mac >> 16);
        p[6] = static_cast<uint8_t>(mac >> 8);
        p[7] = static_cast<uint8_t>(mac);
        p[8] = 0;
        if (k % 3 == 0)
          p[2] = 1;  // byte 3 not 0
        else if (k % 3 == 1)
          p[3] = 7;  // byte 4 not 8
        else
          p[8] = 1;  // byte 9 not 0
        server->Receive(p);
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Handheld

THandheld::THandheld(const THandheldConfig& config, int plugIndex, THandheldBay& bay, TAir& air)
    : config_(config), plugIndex_(plugIndex), bay_(bay), air_(air), memory_(8192) {
  // Whatever the production firmware holds: a fixed pattern per handheld, so that it does not
  // match a test image by chance; byte 0 is the hardware version the image was built for.
  uint64_t state = 0x5EED0000ull ^ config.mac;
  for (auto& b : memory_) b = static_cast<uint8_t>(SplitMix(state));
  memory_[0] = config.firmware == "none" ? 0 : config.hwVersion;
  regs_[57] = config.flags;
  pctool_ = config.pctoolCompensation;
  firmware_ = config.firmware;
  startImageSha256_ = ImageSha256();
}

std::string THandheld::ImageSha256() const {
  return HandheldImageSha256(memory_);
}

int8_t THandheld::EffectiveCompensation() const {
  return pctool_ != 0 ? pctool_ : config_.factoryCompensation;
}

bool THandheld::Up(TSimTime t) const {
  if (config_.noDsr || t < upAt_) return false;
  for (const auto& d : config_.dsrDrops) {
    if (t >= d.fromUs && t < d.untilUs) return false;
  }
  return true;
}

uint8_t THandheld::ReadMemory(uint16_t a) const {
  if (a >= memory_.size()) return 0xFF;
  uint8_t v = memory_[a];
  for (uint16_t bad : config_.readbackMismatch) {
    if (bad == a) v = static_cast<uint8_t>(v ^ 0xFF);
  }
  return v;
}

void THandheld::WriteMemory(uint16_t a, uint8_t v) {
  if (a < memory_.size()) memory_[a] = v;
  // Programming an image clears byte 0 first and writes the hardware version there last, after
  // the rest was written and read back.
  if (a == 0) {
    if (v == 0) {
      programming_ = true;
      bodyWritten_ = false;
      firmware_ = "none";
    } else if (programming_ && bodyWritten_) {
      programming_ = false;
      ++programmings_;
      firmware_ = "unknown";
    }
  } else if (programming_) {
    bodyWritten_ = true;
  }
}

void THandheld::WriteRegister(uint8_t r, uint8_t v) {
  regs_[r] = v;
  if (r == 23) prepared_ = (v >= 1 && v <= 3) ? v : 0;
  if (r == 57 && v == 0) {
    // The end of a firmware restore: the production firmware is back.
    firmware_ = "production";
    bay_.OnRestoreFinished(*this);
  }
}

void THandheld::OnByte(TSimTime /*t*/, uint8_t b, TAnswer& out) {
  out.reactionUs = config_.reactionUs;
  switch (parse_) {
    case kIdle:
      switch (b) {
        case 0x00:  // attach probe
          out.bytes.push_back(config_.hwVersion);
          break;
        case 0x02:  // CmdRead: the register at the low address byte
          out.bytes.push_back(regs_[address_ & 0xFF]);
          break;
        case 0x03:  // CmdReadNext
          out.bytes.push_back(ReadMemory(address_));
          ++address_;
          break;
        case 0x04:  // CmdAddrLo, CmdAddrHi, CmdWrite, CmdWriteNext: echoed, an argument follows
        case 0x05:
        case 0x06:
        case 0x07:
          parse_ = b == 0x04 ? kAddrLo : b == 0x05 ? kAddrHi : b == 0x06 ? kWrite : kWriteNext;
          out.bytes.push_back(b);
          break;
        default:  // not a command: no answer
          break;
      }
      break;
    case kAddrLo:
      address_ = static_cast<uint16_t>((address_ & 0xFF00) | b);
      out.bytes.push_back(b);
      parse_ = kIdle;
      break;
    case kAddrHi:
      address_ = static_cast<uint16_t>((address_ & 0x00FF) | (b << 8));
      out.bytes.push_back(b);
      parse_ = kIdle;
      break;
    case kWrite: {
      uint8_t r = static_cast<uint8_t>(address_ & 0xFF);
      WriteRegister(r, b);
      // Clearing register 57 ends a firmware restore; the handheld gives no answer to it.
      if (!(r == 57 && b == 0)) out.bytes.push_back(b);
      parse_ = kIdle;
      break;
    }
    case kWriteNext:
      WriteMemory(address_, b);
      ++address_;
      out.bytes.push_back(b);
      parse_ = kIdle;
      break;
  }
}

void THandheld::Execute(int run, TSimTime /*t*/) {
  int n = ++runs_[run - 1];
  uint8_t status = 0;
  for (const auto& f : config_.runStatus) {
    if (f.run == run && (f.at == 0 || f.at == n)) status = f.status;
  }
  // The tool must carry the handheld's own width bit into register 57 unchanged: a run started
  // with the other width would take its memory the wrong way, so it fails.
  if (((regs_[57] ^ config_.flags) & 0x01) != 0) {
    ++widthErrors_;
    status = kWidthMismatchStatus;
  }
  if (status == 0) {
    if (run == 1) {
      regs_[16] = config_.modemVersion;
      regs_[17] = static_cast<uint8_t>(config_.mac);
      regs_[18] = static_cast<uint8_t>(config_.mac >> 8);
      regs_[19] = static_cast<uint8_t>(config_.mac >> 16);
      regs_[20] = static_cast<uint8_t>(config_.mac >> 24);
      regs_[21] = static_cast<uint8_t>(config_.factoryCompensation);
      regs_[22] = static_cast<uint8_t>(pctool_);
    } else if (run == 2) {
      air_.TestCycle(*this, plugIndex_);
      firmware_ = "test";
    } else {
      pctool_ = static_cast<int8_t>(regs_[16]);
      stored_.push_back(pctool_);
      firmware_ = "test";
    }
  }
  regs_[23] = status;
}

void THandheld::Restart(TSimTime t) {
  ++restarts_;
  parse_ = kIdle;
  TSimTime ms = config_.restartMs;
  if (prepared_ != 0) {
    int run = prepared_;
    prepared_ = 0;
    Execute(run, t);
    ms += run == 1 ? config_.startRunMs : run == 2 ? config_.testRunMs : config_.storeRunMs;
  }
  upAt_ = t + ms * 1000;
  if (config_.noComebackAfter > 0 && restarts_ >= config_.noComebackAfter) upAt_ = kNever;
}

// ---------------------------------------------------------------------------------------------
// Handheld bay and operator

void THandheldBay::Add(std::unique_ptr<THandheld> handheld) {
  if (handhelds_.empty()) handheld->pluggedAt_ = 0;
  handhelds_.push_back(std::move(handheld));
}

const THandheld* THandheldBay::PresentAt(TSimTime t) const {
  if (current_ >= handhelds_.size()) return nullptr;
  const THandheld* h = handhelds_[current_].get();
  return (h->pluggedAt_ <= t && t < h->unpluggedAt_) ? h : nullptr;
}

THandheld* THandheldBay::Present(TSimTime t) {
  return const_cast<THandheld*>(PresentAt(t));
}

bool THandheldBay::Dsr(TSimTime t) const {
  const THandheld* h = PresentAt(t);
  return h && h->Up(t);
}

void THandheldBay::Restart(TSimTime t) {
  if (THandheld* h = Present(t)) h->Restart(t);
}

void THandheldBay::OnActivity(TSimTime /*t*/) {
  quietAfterRestore_ = false;
}

void THandheldBay::OnRestoreFinished(const THandheld& handheld) {
  if (current_ < handhelds_.size() && handhelds_[current_].get() == &handheld) {
    quietAfterRestore_ = true;
  }
}

void THandheldBay::OnStatusPoll(TSimTime t) {
  if (current_ >= handhelds_.size()) return;
  THandheld& h = *handhelds_[current_];
  if (h.unpluggedAt_ == kNever) {
    if (quietAfterRestore_ && h.pluggedAt_ <= t) {
      h.unpluggedAt_ = t + static_cast<TSimTime>(op_.unplugMs) * 1000;
      quietAfterRestore_ = false;
      offPolls_ = 0;
    }
    return;
  }
  if (t < h.unpluggedAt_) return;
  if (offPolls_ < 5) {
    ++offPolls_;
    return;
  }
  offPolls_ = 0;
  ++current_;
  if (current_ < handhelds_.size()) {
    handhelds_[current_]->pluggedAt_ = t + static_cast<TSimTime>(op_.plugMs) * 1000;
  }
}

// ---------------------------------------------------------------------------------------------
// Dongle

TDongle::TDongle(const TDongleConfig& config, THandheldBay& bay) : config_(config), bay_(bay) {}

void TDongle::OnLines(TSimTime t, bool dtr, bool rts) {
  if (!dtr && rts) {
    armed_ = true;
  } else if (dtr && !rts && armed_) {
    // Reset pulse: back to identification, and the handheld restarts.
    armed_ = false;
    ++resets_;
    if (config_.swapAfterResets > 0 && resets_ >= config_.swapAfterResets) swapped_ = true;
    mode_ = kIdentify;
    index_ = 0;
    bay_.Restart(t);
  }
}

void TDongle::OnByte(TSimTime t, uint8_t b, TAnswer& out) {
  out.reactionUs = config_.reactionUs;
  THandheld* present = bay_.Present(t);
  if (present != seen_) {
    // Another handheld (or none): the next handheld is attached afresh.
    seen_ = present;
    if (mode_ == kPassThrough) mode_ = kAttach;
  }
  switch (mode_) {
    case kIdentify:
      if (b == kIdStart) {
        out.bytes.push_back(HwVersion());
      } else if (b == kIdSync) {
        out.bytes.push_back(0x55);
      } else if (b == kIdCheck) {
        out.bytes.push_back(0xF0);
      } else if (b == kIdNext) {
        out.bytes.push_back(static_cast<uint8_t>(Identity()[static_cast<size_t>(index_++)]));
        if (index_ >= 16) mode_ = kAttach;
      }
      return;
    case kAttach:
      if (b == kIdStart) {
        mode_ = kIdentify;
        index_ = 0;
        out.bytes.push_back(HwVersion());
        return;
      }
      if (b != 0x00) return;
      mode_ = kPassThrough;
      if (!config_.answerAttach) return;  // the first lone 0x00 gets no answer
      break;
    case kPassThrough:
      break;
  }
  if (present && present->Up(t)) {
    TAnswer inner;
    present->OnByte(t, b, inner);
    out.bytes = std::move(inner.bytes);
    out.reactionUs += inner.reactionUs;
  }
}

// ---------------------------------------------------------------------------------------------
// Server

TServer::TServer(const TServerConfig& config) : config_(config), memory_(0x2000, 0x3FFF) {
  settings_[3] = static_cast<uint8_t>(config.pctoolCompensation);
  running_ = config.firmware == "production" ? kProduction
             : config.firmware == "test"     ? kTest
                                             : kNone;
  version_ = config.firmwareVersion;
  build_ = config.firmwareBuild;
  testVersion_ = config.testFirmwareVersion;
  if (config.start == TServerConfig::kMidFrame) {
    mode_ = kData;
    expected_ = static_cast<size_t>(config.stuckAmount);
    header_ = static_cast<uint8_t>(0x40 | expected_);
  } else if (config.start == TServerConfig::kMidHandshake) {
    mode_ = kIdentify;
    index_ = config.stuckAmount;
  }
  startImageSha256_ = ImageSha256();
}

std::string TServer::ImageSha256() const {
  return ServerImageSha256(memory_);
}

int8_t TServer::EffectiveCompensation() const {
  int8_t p = PcToolCompensation();
  return (p != 0 && p != 1) ? p : config_.factoryCompensation;
}

std::string TServer::Firmware() const {
  Kind kind = running_;
  if (programmed_ || rowsWrittenSinceStart_) {
    uint8_t v, b, tv;
    kind = Classify(memory_, v, b, tv);
  }
  return kind == kProduction ? "production" : kind == kTest ? "test" : "none";
}

TServer::Kind TServer::Classify(const std::vector<uint16_t>& memory, uint8_t& version,
                                uint8_t& build, uint8_t& testVersion) {
  bool placeholder = true;
  for (uint16_t a = 0x100; a < 0x104; ++a) placeholder = placeholder && memory[a] == 0x3405;
  if (placeholder) return kNone;
  const size_t n = kServerVersionSignature.size();
  for (size_t p = 0x10C; p + n <= 0x2000; ++p) {
    if (std::equal(kServerVersionSignature.begin(), kServerVersionSignature.end(),
                   memory.begin() + static_cast<std::ptrdiff_t>(p))) {
      size_t e = p + n - 1;
      version = static_cast<uint8_t>(memory[e - 43] & 0xFF);
      build = static_cast<uint8_t>(memory[e - 40] & 0xFF);
      return kProduction;
    }
  }
  testVersion = static_cast<uint8_t>(memory[0x103] & 0xFF);
  return kTest;
}

void TServer::Receive(const std::array<uint8_t, 16>& packet) {
  if (running_ == kTest && packets_.size() < 4096) packets_.push_back(packet);
}

bool TServer::RowRequest(const std::vector<uint8_t>& data, size_t offset, uint16_t& address,
                         std::array<uint16_t, 4>& words) const {
  address = static_cast<uint16_t>((data[offset] << 8) | data[offset + 1]);
  if (address % 4 != 0 || address < 0x100 || address > 0x1FFC) return false;
  for (size_t i = 0; i < 4; ++i) {
    words[i] =
        static_cast<uint16_t>(((data[offset + 2 + 2 * i] & 0x3F) << 8) | data[offset + 3 + 2 * i]);
  }
  return true;
}

void TServer::StartProgrammedFirmware() {
  rowsWrittenSinceStart_ = false;
  programmed_ = true;
  ++programmings_;
  running_ = Classify(memory_, version_, build_, testVersion_);
  trial_ = 0;
  packets_.clear();
}

std::vector<uint8_t> TServer::Execute(bool isCmd, const std::vector<uint8_t>& data) {
  if (!isCmd) {
    uint16_t address;
    std::array<uint16_t, 4> words;
    if (data.size() != 10 || !RowRequest(data, 0, address, words)) return {kNak};
    // The placeholder row at the reset vector starts a new programming: like a bootloader
    // that erases the application first, the old image goes, so no stale rows (a production
    // version signature, say) outlive the new image.
    const bool placeholder = address == 0x100 && std::all_of(words.begin(), words.end(),
                                                             [](uint16_t w) { return w == 0x3405; });
    if (placeholder) std::fill(memory_.begin(), memory_.end(), 0x3FFF);
    for (size_t i = 0; i < 4; ++i) memory_[address + i] = words[i];
    ++rowsWritten_;
    rowsWrittenSinceStart_ = true;
    return {0x07};
  }
  if (data.empty()) return {kNak};
  const uint8_t cmd = data[0];
  if (cmd == 0x00 && data.size() == 11) {
    uint16_t address;
    std::array<uint16_t, 4> words;
    if (!RowRequest(data, 1, address, words)) return {kNak};
    ++rowsChecked_;
    for (size_t i = 0; i < 4; ++i) {
      if (memory_[address + i] != words[i]) {
        ++rowMismatches_;
        return {kNak};
      }
    }
    return {0x07};
  }
  // The first ordinary command after programming starts the firmware just written.
  if (rowsWrittenSinceStart_) StartProgrammedFirmware();

  auto param = [&]() -> std::vector<uint8_t> {
    if (data.size() == 2) return {0x41, settings_[data[1]]};
    if (data.size() == 3) {
      settings_[data[1]] = data[2];
      return {0x07};
    }
    return {kNak};
  };
  switch (running_) {
    case kNone:
      return {kNak};
    case kProduction:
      if (cmd == 0x00 && data.size() == 1) return {0x42, version_, build_};
      if (cmd == 0x01 && data.size() == 1) return {0x07};
      if (cmd == 0x02) return param();
      return {kNak};
    case kTest:
      if (cmd == 0x00 && data.size() == 1) return {0x06};
      if (cmd == 0x01 && data.size() == 1) {
        return {0x42, testVersion_, static_cast<uint8_t>(config_.factoryCompensation)};
      }
      if (cmd == 0x02) return param();
      if (cmd == 0x03 && data.size() == 2) {
        trial_ = static_cast<int8_t>(data[1]);
        packets_.clear();  // a new cycle begins
        return {0x07};
      }
      if (cmd == 0x04 && data.size() == 1) {
        if (packets_.empty()) return {0x07};
        std::vector<uint8_t> reply{0x50};
        reply.insert(reply.end(), packets_.front().begin(), packets_.front().end());
        packets_.pop_front();
        return reply;
      }
      return {kNak};
  }
  return {kNak};
}

void TServer::OnByte(TSimTime /*t*/, uint8_t b, TAnswer& out) {
  out.reactionUs = config_.reactionUs;
  auto say = [&](uint8_t v) { out.bytes.push_back(v); };
  switch (mode_) {
    case kReply:
      if (b == 0xC1) {
        say(replyCheck_);
        mode_ = kCommand;
        return;
      }
      if (b > 0xC1) {
        size_t i = b - 0xC1u;
        if (i < reply_.size()) say(reply_[i]);
        return;
      }
      // Anything else abandons the reply and is taken as the start of something new.
      mode_ = kCommand;
      [[fallthrough]];
    case kCommand:
      if (b == 0x00) {  // SrvSync
        ++syncs_;
        say(0x00);
      } else if (b == kIdStart) {
        ++identifications_;
        mode_ = kIdentify;
        index_ = 0;
        say(config_.hwVersion);
      } else if (b < 0x80) {  // frame header
        header_ = b;
        expected_ = b & 0x3F;
        data_.clear();
        say(expected_ == 0 ? 0x03 : 0x01);
        mode_ = expected_ == 0 ? kCheck : kData;
      }
      return;
    case kIdentify:
      if (b == kIdStart) {
        say(config_.hwVersion);
      } else if (b == kIdSync) {
        say(0x55);
      } else if (b == kIdCheck) {
        say(0xF0);
      } else if (b == kIdNext) {
        say(static_cast<uint8_t>(config_.identity[static_cast<size_t>(index_++)]));
        if (index_ >= 16) mode_ = kAttach;
      }
      return;
    case kAttach:
      if (b == 0x00) {
        mode_ = kCommand;  // the first lone 0x00 after identification gets no answer
      } else if (b == kIdStart) {
        ++identifications_;
        mode_ = kIdentify;
        index_ = 0;
        say(config_.hwVersion);
      }
      return;
    case kData:
      data_.push_back(b);
      say(data_.size() < expected_ ? 0x02 : 0x03);
      if (data_.size() >= expected_) mode_ = kCheck;
      return;
    case kCheck:
      if (b != ServerRequestCheck(header_, data_)) {
        ++badChecks_;
        say(kNak);
        mode_ = kCommand;
        return;
      }
      ++frames_;
      reply_ = Execute((header_ & 0x40) != 0, data_);
      say(reply_[0]);
      if (reply_[0] >= 0x41 && reply_[0] <= 0x7E) {
        replyCheck_ = ServerReplyCheck(reply_);
        mode_ = kReply;
      } else {
        mode_ = kCommand;
      }
      return;
  }
}

}  // namespace sim
