#include "link/Devices.h"

#include <chrono>

#include "link/DsrWait.h"
#include "link/Handshake.h"
#include "link/Link.h"
#include "serial/ComPort.h"

using std::chrono::milliseconds;

namespace {

// The set-up registers a run reads from the staged image.
constexpr uint8_t RegRunParam1 = 29;
constexpr uint8_t RegRunParam2 = 48;
constexpr uint8_t RegRunParam3 = 49;
constexpr uint8_t RegRunParam4 = 51;
constexpr uint8_t RegRunParam5 = 52;
constexpr uint8_t RegRunParam6 = 55;

bool MayUseHandheld(const TRunRecord& run) {
  return run.Outcome == kOutcomeOk && run.MayGoOn() && run.LinkOk && run.Main.SerIF1 != nullptr;
}


}  // namespace

void WriteReg(TRunRecord& run, uint8_t reg, uint8_t value, bool echo) {
  if (!MayUseHandheld(run)) return;
  TComPort& port = *run.Main.SerIF1;
  const ByteText select = Bytes({CmdAddrLo, reg, CmdWrite});
  Exchange(run, port, select, select);
  if (run.LinkOk) run.LinkOk = SendByte(run, port, value);
  if (run.LinkOk) {
    const int answer = RecvByte(run, port);
    // Some writes (the last one of a firmware restore) must go unanswered.
    run.LinkOk = echo ? answer == value : answer < 0;
  }
}

uint8_t ReadReg(TRunRecord& run, uint8_t reg) {
  if (!MayUseHandheld(run)) return 0;
  TComPort& port = *run.Main.SerIF1;
  const ByteText select = Bytes({CmdAddrLo, reg});
  Exchange(run, port, select, select);
  if (run.LinkOk) run.LinkOk = SendByte(run, port, CmdRead);
  int answer = -1;
  if (run.LinkOk) {
    answer = RecvByte(run, port);
    run.LinkOk = answer >= 0;
  }
  return answer < 0 ? 0 : static_cast<uint8_t>(answer);
}

void PrepareRun(TRunRecord& run, int image, uint8_t cmd) {
  if (!MayUseHandheld(run)) return;
  if (image < 1 || image > 3) {
    run.LinkOk = false;
    return;
  }
  const auto& img = run.TPImage[static_cast<size_t>(image)];
  WriteReg(run, CmdReg, cmd, true);
  WriteReg(run, RegRunParam1, img[24], true);
  WriteReg(run, RegRunParam2, img[27], true);
  WriteReg(run, RegRunParam3, img[28], true);
  WriteReg(run, RegRunParam4, 0x50, true);
  WriteReg(run, RegRunParam5, img[31], true);
  WriteReg(run, RegRunParam6, img[2], true);
  WriteReg(run, CfgReg, static_cast<uint8_t>((run.TPFlags & 1) | 0x76), true);
}

void ResetHandheld(TRunRecord& run, uint16_t budget) {
  if (run.Main.SerIF1 == nullptr) {
    run.LinkOk = false;
    return;
  }
  TComPort& port = *run.Main.SerIF1;

  // The reset pulse is given even when the link already failed: the handheld must not be left
  // in the middle of a run.
  try {
    port.FlowControl().SetDTR(dcDisable);
    port.FlowControl().SetRTS(rcEnable);
    run.Clk.Sleep(milliseconds(300));
    port.FlowControl().SetDTR(dcEnable);
    port.FlowControl().SetRTS(rcDisable);
    run.Clk.Sleep(milliseconds(100));
    port.PurgeInput();
  } catch (const EComError& e) {
    LogLineControlError(run, port, e);
    run.LinkOk = false;
  }
  if (run.Outcome != kOutcomeOk || !run.LinkOk) return;
  if (!run.MayGoOn()) {
    run.LinkOk = false;
    return;
  }

  // After the pulse the dongle must introduce itself again, and as the same dongle.
  if (run.DongleId.empty()) {
    run.LinkOk = false;
    return;
  }
  ByteText identify(1, static_cast<char>(IdStart));
  identify.append(kIdentityChars, static_cast<char>(IdNext));
  Exchange(run, port, identify, run.DongleId);
  if (!run.LinkOk) return;

  // The handheld is up again once the dongle reports DSR on five samples in a row. An adapter
  // that cannot report its lines any more (unplugged, hung up) will not show it coming back:
  // the wait fails at once instead of polling out the whole budget.
  if (WaitForDsr(run, port, TDsrAwait::kBack, budget) != TDsrWaitEnd::kSeen) {
    run.LinkOk = false;
    return;
  }

  // Attach again: the first lone 0x00 goes unanswered, the next one is answered with the
  // hardware version; then the configuration register is written as at the first attach.
  Exchange(run, port, Bytes({0x00}));
  run.LinkOk = run.LinkOk && run.MayGoOn() && run.Reply.empty();
  const uint8_t cfg = static_cast<uint8_t>((run.TPFlags & 1) | 0x10);
  Exchange(run, port, Bytes({0x00, CmdAddrLo, CfgReg, CmdWrite, cfg}),
           Bytes({run.TPHwVer, CmdAddrLo, CfgReg, CmdWrite, cfg}));
}
