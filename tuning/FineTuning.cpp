#include "tuning/FineTuning.h"

#include <algorithm>
#include <string>

#include "link/Devices.h"
#include "link/Link.h"
#include "tuning/Readout.h"

namespace {

// Phases of the measuring loop. 0..5 search for a trial value at which packets get through;
// the others are reached after a cycle with enough packets or end the loop.
constexpr uint8_t kStepSearchEnd = 6;      // six search cycles without enough packets
constexpr uint8_t kStepMeasured = 128;     // first good measurement, trial corrected by it
constexpr uint8_t kStepInconsistent = 129;
constexpr uint8_t kStepOutOfRange = 130;
constexpr uint8_t kStepDone = 255;

// Trial values of the search, by step; from step 5 on the trial keeps its value.
constexpr int8_t kSearchTrials[] = {0, 50, -50, 100, -100};

// A cycle needs this many accepted packets to count as a measurement, and their AFC readings
// may spread over at most this many units.
constexpr unsigned kMinPackets = kTuningLimits.MinPackets;
constexpr int kMaxAfcSpread = kTuningLimits.MaxAfcSpread;

// Packet answer of the server's test firmware.
constexpr size_t kPacketLength = 17;
constexpr uint8_t kPacketReply = 0x50;

// The compensation range. A value of +128 would be stored as the byte 0x80 and read back as
// -128 by the next trial, the next sum, the log and the device, so it counts as out of range.
constexpr int kCompMin = kTuningLimits.CompMin;
constexpr int kCompMax = kTuningLimits.CompMax;

struct TCycle {
  unsigned count = 0;  // wide enough for any number of packets a cycle delivers
  int64_t sumRSSI = 0;
  int64_t sumAFC = 0;
  int minAFC = 256;
  int maxAFC = -256;
};

// An accepted packet: the right length and markers, sent by this handheld's RF modem.
bool Accepted(const ByteText& p, uint32_t mac) {
  if (p.size() != kPacketLength || ByteAt(p, 0) != kPacketReply || ByteAt(p, 3) != 0 ||
      ByteAt(p, 4) != 8 || ByteAt(p, 9) != 0)
    return false;
  const uint32_t sender = static_cast<uint32_t>(ByteAt(p, 5)) << 24 |
                          static_cast<uint32_t>(ByteAt(p, 6)) << 16 |
                          static_cast<uint32_t>(ByteAt(p, 7)) << 8 | ByteAt(p, 8);
  return sender == mac;
}

// The AFC byte: 0..128 stand for themselves, 129..255 for -127..-1.
int AfcValue(uint8_t b) { return b <= 128 ? b : b - 256; }

bool IsDone(const ByteText& reply) { return reply == Bytes({SrvReplyDone}); }

}  // namespace

void RunFineTuning(TRunRecord& run) {
  if (run.Outcome != kOutcomeOk || run.Terminated()) return;
  AddLog(run, "--- Running crystal fine-tuning algorithm ---");
  ReadTPComp(run);
  ReadSrvComp(run);
  RunTestCycles(run);
  if (!run.Main.AnalysisOnly) StoreComp(run);
  if (run.Outcome == kOutcomeOk && !run.Terminated() && !run.LinkOk) {
    AddLog(run, "Communication error!");
    run.Outcome = kOutcomeFailed;
  }
}

void RunTestCycles(TRunRecord& run) {
  auto going = [&run] {
    return run.Outcome == kOutcomeOk && !run.Terminated() && run.LinkOk;
  };
  if (!going()) return;

  uint8_t step = 0;
  uint8_t trial = 0;
  int avRSSI = 0;
  TCycle cycle;

  for (;;) {
    if (static_cast<size_t>(step) < std::size(kSearchTrials)) trial = static_cast<uint8_t>(kSearchTrials[step]);
    if (!IsDone(SrvTransact(run, Bytes({SrvSetOffset, trial}), true))) run.LinkOk = false;

    if (run.LinkOk && !run.Terminated()) PrepareRun(run, 3, RunTestCycle);
    if (run.LinkOk && !run.Terminated()) {
      AddLog(run, "Running test cycle...");
      // The cycle's run is short: at most 20 DSR samples.
      ResetHandheld(run, 20);
      const uint8_t status = ReadReg(run, CmdReg);
      if (run.LinkOk && !run.Terminated() && status != 0) {
        AddLog(run, "Test cycle failed!");
        run.Outcome = kOutcomeFailed;
        return;
      }
    }

    cycle = TCycle{};
    if (run.LinkOk) {
      run.Reply = SrvTransact(run, Bytes({SrvGetPacket}), true);
      while (!IsDone(run.Reply) && run.LinkOk && !run.Terminated()) {
        // Anything but a packet or the end mark (a server that restarted into another firmware
        // answers 0x15 to everything) would keep this loop asking for ever.
        if (run.Reply.size() != kPacketLength || ByteAt(run.Reply, 0) != kPacketReply) {
          run.LinkOk = false;
          break;
        }
        if (Accepted(run.Reply, run.ModemMAC)) {
          const int afc = AfcValue(ByteAt(run.Reply, 2));
          ++cycle.count;
          cycle.sumRSSI += ByteAt(run.Reply, 1);
          cycle.sumAFC += afc;
          cycle.minAFC = std::min(cycle.minAFC, afc);
          cycle.maxAFC = std::max(cycle.maxAFC, afc);
        }
        run.Reply = SrvTransact(run, Bytes({SrvGetPacket}), true);
      }
    }
    // A cycle cut short by a link failure or by the operator measured nothing: it must not be
    // judged as a radio failure or an inconsistent measurement.
    if (!run.LinkOk || run.Terminated()) break;
    AddLog(run, std::to_string(cycle.count) + " packets received");
    run.Facts.Device.Cycles.push_back(
        {static_cast<int8_t>(trial), cycle.count,
         cycle.count ? static_cast<int>(cycle.sumRSSI / cycle.count) : 0, cycle.sumAFC,
         cycle.minAFC, cycle.maxAFC});

    if (cycle.count < kMinPackets) {
      ++step;
    } else {
      step = step == kStepMeasured ? kStepDone : kStepMeasured;
      if (cycle.maxAFC - cycle.minAFC > kMaxAfcSpread) {
        step = kStepInconsistent;
      } else {
        avRSSI = static_cast<int>(cycle.sumRSSI / cycle.count);
        // One AFC unit is 8/3 compensation steps; the division truncates toward zero.
        const int64_t corr = cycle.sumAFC * 8 / (static_cast<int64_t>(cycle.count) * 3);
        int64_t value = corr + static_cast<int8_t>(trial);
        if (step == kStepDone) {
          // The offset was measured as the handheld's against the server's; with the server as
          // reference the handheld must move the other way.
          if (!run.Main.GoldTP) value = -value;
          value += run.RefComp;
        }
        if (value < kCompMin || value > kCompMax)
          step = kStepOutOfRange;
        else
          trial = static_cast<uint8_t>(value);
      }
    }

    if (step == kStepSearchEnd) {
      AddLog(run, "Radio failure!");
      run.Outcome = kOutcomeFailed;
    } else if (step == kStepInconsistent) {
      AddLog(run, "Measurements inconsistent!");
      run.Outcome = kOutcomeFailed;
    } else if (step == kStepOutOfRange) {
      AddLog(run, "Frequency offset too large to compensate!");
      run.Outcome = kOutcomeFailed;
    }
    if (step == kStepDone || !going()) break;
  }

  // 0 means "no setting" on both devices, and the server also reads 1 that way.
  run.NewComp = trial;
  if (run.NewComp == 0) run.NewComp = 0xFF;
  if (run.NewComp == 1 && run.Main.GoldTP) run.NewComp = 2;

  if (step == kStepDone) {
    run.Facts.Device.Measured = true;
    run.Facts.Device.NewComp = run.NewComp;
    AddLog(run, "avRSSI = " + std::to_string(avRSSI) + ", offset = " +
                    FormatComp(run, run.NewComp, false) +
                    ", varAFC=" + std::to_string(cycle.maxAFC - cycle.minAFC));
    AddLog(run, "Compared to previous offset = " + FormatComp(run, run.NewComp, true));
  }
}

void StoreComp(TRunRecord& run) {
  if (run.Outcome != kOutcomeOk || run.Terminated() || !run.LinkOk) return;
  AddLog(run, "Storing obtained compensation value");

  if (run.Main.GoldTP) {
    // The server is tuned: its PC-tool setting, read back to make sure it took the value.
    if (!IsDone(SrvTransact(run, Bytes({SrvParam, SrvSettingPcTool, run.NewComp}), true))) {
      run.LinkOk = false;
      return;
    }
    run.Facts.Device.Stored = true;
    if (SrvTransact(run, Bytes({SrvParam, SrvSettingPcTool}), true) != Bytes({0x41, run.NewComp}))
      run.LinkOk = false;
    else
      run.Facts.Device.ReadBack = true;
    return;
  }

  // The handheld is tuned: a store run of its test firmware writes the value it finds in
  // register 16; the run's status is the only confirmation.
  WriteReg(run, RegModemVersion, run.NewComp, true);
  PrepareRun(run, 3, RunStore);
  if (run.LinkOk && !run.Terminated()) {
    ResetHandheld(run, 20);
    if (ReadReg(run, CmdReg) != 0) run.LinkOk = false;
    run.Facts.Device.Stored = run.LinkOk;
  }
}
