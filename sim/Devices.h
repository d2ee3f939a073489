// Stand-ins for the devices on the bench's ports: the dongle with the handhelds plugged into it
// one after another, the radio server, and the air between a handheld's test transmissions and
// the server's receiver. They answer byte for byte what the tool sends; how they work inside is
// this bench's own choice (README.md describes it).
//
// Devices do not know about ports or clocks: the port delivers each byte at the virtual time it
// has fully arrived, and sends back whatever the device answers after its reaction time.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "sim/Scenario.h"

namespace sim {

constexpr TSimTime kNever = INT64_MAX;

// What a device sends back for one byte, and how long it takes before it starts sending.
struct TAnswer {
  std::vector<uint8_t> bytes;
  TSimTime reactionUs = 0;
};

class TDevice {
 public:
  virtual ~TDevice() = default;
  // The byte has fully arrived at time t.
  virtual void OnByte(TSimTime t, uint8_t b, TAnswer& out) = 0;
  // The port's DTR and RTS lines as they are from time t on.
  virtual void OnLines(TSimTime /*t*/, bool /*dtr*/, bool /*rts*/) {}
  // The DSR line the device drives at time t.
  virtual bool Dsr(TSimTime /*t*/) const { return false; }
  // The tool wrote a byte or changed a line on the device's port at time t.
  virtual void OnActivity(TSimTime /*t*/) {}
  // The tool read the modem lines of the device's port at time t (before the DSR is sampled).
  virtual void OnStatusPoll(TSimTime /*t*/) {}
};

class TServer;
class THandheld;
class THandheldBay;

// The radio path of a test cycle: the handheld's test transmissions as received by every server
// that runs its test firmware. Noise comes from a seeded generator of its own, so a scenario
// gives the same packets on every platform.
class TAir {
 public:
  explicit TAir(const TAirConfig& config);
  void AddServer(TServer* server) { servers_.push_back(server); }
  // One test cycle of the handheld with the given plug index, at time t.
  void TestCycle(const THandheld& handheld, int plugIndex);

  // Portable pseudo-random numbers (splitmix64) and a normal deviate (Box-Muller).
  uint64_t NextRandom();
  double Uniform();  // [0, 1)
  double Normal();   // mean 0, standard deviation 1

  const TAirConfig& Config() const { return config_; }

 private:
  TAirConfig config_;
  uint64_t state_;
  std::vector<TServer*> servers_;
};

// A handheld: 8192 bytes of memory behind CmdReadNext/CmdWriteNext, 256 registers behind
// CmdRead/CmdWrite, runs prepared through register 23 and executed at the next restart. A run
// fails (status kWidthMismatchStatus, no effect) when bit 0 of register 57, the width bit, is
// not the one the handheld powers up with (bit 0 of its flags).
class THandheld {
 public:
  static constexpr uint8_t kWidthMismatchStatus = 0x0B;

  THandheld(const THandheldConfig& config, int plugIndex, THandheldBay& bay, TAir& air);

  // One byte passed on by the dongle (only while the handheld is plugged in and up).
  void OnByte(TSimTime t, uint8_t b, TAnswer& out);
  // The dongle's reset line: the handheld restarts, running a prepared run meanwhile.
  void Restart(TSimTime t);
  // Powered, not restarting, not in a DSR drop (presence is the bay's business).
  bool Up(TSimTime t) const;

  const THandheldConfig& Config() const { return config_; }
  int PlugIndex() const { return plugIndex_; }
  uint8_t Register(uint8_t r) const { return regs_[r]; }
  void SetRegister(uint8_t r, uint8_t v) { regs_[r] = v; }
  std::vector<uint8_t>& Memory() { return memory_; }
  const std::vector<uint8_t>& Memory() const { return memory_; }
  uint16_t Address() const { return address_; }

  double CrystalError() const { return config_.crystalError; }
  int8_t FactoryCompensation() const { return config_.factoryCompensation; }
  int8_t PcToolCompensation() const { return pctool_; }
  // The PC-tool value when set (not 0), else the factory value.
  int8_t EffectiveCompensation() const;
  // What its memory holds: "production", "test", "none" or "unknown" (README.md).
  const std::string& Firmware() const { return firmware_; }

  // SHA-256 of its 8192 bytes of memory now, and of those it held at the start (Digest.h).
  std::string ImageSha256() const;
  const std::string& StartImageSha256() const { return startImageSha256_; }

  int Restarts() const { return restarts_; }
  // Runs that failed because register 57's width bit was not the handheld's own.
  int WidthErrors() const { return widthErrors_; }
  int RunsExecuted(int run) const { return run >= 1 && run <= 3 ? runs_[run - 1] : 0; }
  int Programmings() const { return programmings_; }
  const std::vector<int8_t>& Stored() const { return stored_; }
  TSimTime PluggedAt() const { return pluggedAt_; }
  TSimTime UnpluggedAt() const { return unpluggedAt_; }

 private:
  friend class THandheldBay;
  enum Parse { kIdle, kAddrLo, kAddrHi, kWrite, kWriteNext };
  void WriteRegister(uint8_t r, uint8_t v);
  void WriteMemory(uint16_t a, uint8_t v);
  uint8_t ReadMemory(uint16_t a) const;
  void Execute(int run, TSimTime t);

  THandheldConfig config_;
  int plugIndex_;
  THandheldBay& bay_;
  TAir& air_;
  std::array<uint8_t, 256> regs_{};
  std::vector<uint8_t> memory_;
  uint16_t address_ = 0;
  Parse parse_ = kIdle;
  int prepared_ = 0;   // run command written to register 23 since the last restart
  TSimTime upAt_ = 0;  // DSR comes back at this time after a restart
  int8_t pctool_ = 0;
  std::string firmware_;
  bool programming_ = false;  // byte 0 was cleared: an image is being written
  bool bodyWritten_ = false;  // ... and bytes after it were written
  int restarts_ = 0;
  std::array<int, 3> runs_{};
  int widthErrors_ = 0;
  int programmings_ = 0;
  std::string startImageSha256_;
  std::vector<int8_t> stored_;
  TSimTime pluggedAt_ = kNever;
  TSimTime unpluggedAt_ = kNever;
};

// The handhelds of the scenario and the operator who plugs them into the dongle one after the
// other. The first is plugged in from the start. After a handheld's firmware restore has ended
// (register 57 written with 0) and the tool then polls DSR without having sent anything else,
// the operator unplugs it unplug_ms later. Once the tool has seen DSR off on 5 polls, its next
// DSR poll makes the operator plug in the next handheld plug_ms later. When no handheld is
// left, DSR stays off.
class THandheldBay {
 public:
  explicit THandheldBay(const TOperatorConfig& op) : op_(op) {}
  void Add(std::unique_ptr<THandheld> handheld);

  // The handheld plugged in at time t, or none.
  THandheld* Present(TSimTime t);
  bool Dsr(TSimTime t) const;
  void Restart(TSimTime t);
  void OnActivity(TSimTime t);
  void OnStatusPoll(TSimTime t);
  void OnRestoreFinished(const THandheld& handheld);

  size_t Count() const { return handhelds_.size(); }
  THandheld& At(size_t i) { return *handhelds_.at(i); }
  const THandheld& At(size_t i) const { return *handhelds_.at(i); }
  // Plug index of the handheld in the dongle or on its way to it (Count() when none is left).
  size_t Current() const { return current_; }

 private:
  const THandheld* PresentAt(TSimTime t) const;
  TOperatorConfig op_;
  std::vector<std::unique_ptr<THandheld>> handhelds_;
  size_t current_ = 0;
  bool quietAfterRestore_ = false;
  int offPolls_ = 0;
};

// The serial adapter in front of the handheld. After a reset pulse on its lines (DTR off with
// RTS on, then DTR on with RTS off) it answers the identification handshake itself; after its
// 16 identity characters it swallows the first lone 0x00 and then passes every byte to the
// handheld and the handheld's answers back. It drives DSR while a handheld is plugged in and up.
class TDongle final : public TDevice {
 public:
  TDongle(const TDongleConfig& config, THandheldBay& bay);
  void OnByte(TSimTime t, uint8_t b, TAnswer& out) override;
  void OnLines(TSimTime t, bool dtr, bool rts) override;
  bool Dsr(TSimTime t) const override { return bay_.Dsr(t); }
  void OnActivity(TSimTime t) override { bay_.OnActivity(t); }
  void OnStatusPoll(TSimTime t) override { bay_.OnStatusPoll(t); }

  const TDongleConfig& Config() const { return config_; }
  int Resets() const { return resets_; }
  // The identity it answers with now (changes when a dongle_swap fault applies).
  const std::string& Identity() const { return swapped_ ? config_.swapIdentity : config_.identity; }
  uint8_t HwVersion() const { return swapped_ ? config_.swapHwVersion : config_.hwVersion; }

 private:
  enum Mode { kIdentify, kAttach, kPassThrough };
  TDongleConfig config_;
  THandheldBay& bay_;
  Mode mode_ = kIdentify;
  int index_ = 0;
  bool armed_ = false;
  bool swapped_ = false;
  int resets_ = 0;
  const THandheld* seen_ = nullptr;
};

// A test packet as the server hands it out after the reply code: signal strength, AFC reading
// (a signed value sent as a byte), the markers 0 and 8, the sender's radio address most
// significant byte first, 0, the packet's number, zeros.
std::array<uint8_t, 16> TestPacket(uint8_t rssi, int afc, uint32_t mac, uint8_t number = 0);

// The radio server: identification and attach like the dongle, then framed transactions with
// check bytes. Program memory of 14-bit words at 0x0100..0x1FFF; what it holds decides which
// firmware runs (production when it contains the version signature, else test firmware, none
// while row 0x0100 holds the four 0x3405 placeholder words).
class TServer final : public TDevice {
 public:
  enum Kind { kNone, kProduction, kTest };

  explicit TServer(const TServerConfig& config);
  void OnByte(TSimTime t, uint8_t b, TAnswer& out) override;

  // A test packet from the air: 16 bytes as SrvGetPacket hands them out after the reply code.
  void Receive(const std::array<uint8_t, 16>& packet);

  const TServerConfig& Config() const { return config_; }
  // The crystal error now: the scenario's, moved by its drift per handheld for each handheld
  // after the first that was tested.
  double CrystalError() const {
    return config_.crystalError + config_.crystalDriftPerHandheld * handheldIndex_;
  }
  // A test cycle of the handheld with this plug index begins.
  void HandheldTested(int plugIndex) { handheldIndex_ = plugIndex; }
  int8_t FactoryCompensation() const { return config_.factoryCompensation; }
  // Setting 3, the PC-tool value (0 and 1 mean none).
  int8_t PcToolCompensation() const { return static_cast<int8_t>(settings_[3]); }
  int8_t EffectiveCompensation() const;
  uint8_t Setting(uint8_t n) const { return settings_[n]; }
  int8_t Trial() const { return trial_; }

  // The firmware it runs now, and what its program memory holds ("production", "test", "none").
  Kind Running() const { return running_; }
  std::string Firmware() const;
  // Version and build of the running production firmware; version of the running test firmware.
  uint8_t Version() const { return version_; }
  uint8_t Build() const { return build_; }
  uint8_t TestVersion() const { return testVersion_; }

  uint16_t ProgramWord(uint16_t address) const { return memory_.at(address); }
  // Program memory by word address, 0x2000 words (only 0x0100..0x1FFF are used; erased words
  // hold 0x3FFF, also at start whatever firmware the scenario says runs).
  const std::vector<uint16_t>& ProgramMemory() const { return memory_; }
  // SHA-256 of program memory now and at the start (ServerImageSha256 in Digest.h).
  std::string ImageSha256() const;
  const std::string& StartImageSha256() const { return startImageSha256_; }
  void SetProgramWord(uint16_t address, uint16_t word) { memory_.at(address) = word & 0x3FFF; }
  // Decides the firmware kind from program memory, as the server does when it starts.
  static Kind Classify(const std::vector<uint16_t>& memory, uint8_t& version, uint8_t& build,
                       uint8_t& testVersion);

  size_t PendingPackets() const { return packets_.size(); }
  int Frames() const { return frames_; }
  int BadChecks() const { return badChecks_; }
  int Syncs() const { return syncs_; }
  int Identifications() const { return identifications_; }
  int RowsWritten() const { return rowsWritten_; }
  int RowsChecked() const { return rowsChecked_; }
  int RowMismatches() const { return rowMismatches_; }
  int Programmings() const { return programmings_; }

 private:
  enum Mode { kCommand, kIdentify, kAttach, kData, kCheck, kReply };
  std::vector<uint8_t> Execute(bool isCmd, const std::vector<uint8_t>& data);
  bool RowRequest(const std::vector<uint8_t>& data, size_t offset, uint16_t& address,
                  std::array<uint16_t, 4>& words) const;
  void StartProgrammedFirmware();

  TServerConfig config_;
  Mode mode_ = kCommand;
  int index_ = 0;
  uint8_t header_ = 0;
  size_t expected_ = 0;
  std::vector<uint8_t> data_;
  std::vector<uint8_t> reply_;
  uint8_t replyCheck_ = 0;
  std::vector<uint16_t> memory_;
  std::string startImageSha256_;
  bool rowsWrittenSinceStart_ = false;
  bool programmed_ = false;  // program memory holds an image the tool wrote
  Kind running_ = kProduction;
  uint8_t version_ = 0, build_ = 0, testVersion_ = 0;
  std::array<uint8_t, 256> settings_{};
  int8_t trial_ = 0;
  int handheldIndex_ = 0;
  std::deque<std::array<uint8_t, 16>> packets_;
  int frames_ = 0, badChecks_ = 0, syncs_ = 0, identifications_ = 0;
  int rowsWritten_ = 0, rowsChecked_ = 0, rowMismatches_ = 0, programmings_ = 0;
};

// Check byte of a server request: S starts with the header; per data byte S := rotate-left(S) +
// byte; then ((S + (S >> 6)) & 0x3F) | 0x80.
uint8_t ServerRequestCheck(uint8_t header, const std::vector<uint8_t>& data);
// Check byte of a server reply: S starts with the reply code; per data byte S := rotate-left(S)
// + byte; S itself.
uint8_t ServerReplyCheck(const std::vector<uint8_t>& reply);

// The server's version signature: 37 program words that production firmware contains.
extern const std::array<uint16_t, 37> kServerVersionSignature;

}  // namespace sim
