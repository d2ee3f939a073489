#include "link/DsrWait.h"

#include "link/Handshake.h"
#include "serial/ComPort.h"

TDsrWaitEnd WaitForDsr(TRunRecord& run, TComPort& port, TDsrAwait awaited, int budget,
                       const std::function<void()>& missing) {
  const bool limited = awaited == TDsrAwait::kBack;
  const auto lateness = std::chrono::milliseconds(port.ModemNewsLateMs());
  if (limited && lateness.count() > 0)
    budget += static_cast<int>((lateness + kDsrSampleGap - std::chrono::milliseconds(1)) /
                               kDsrSampleGap);
  const Clock::Duration start = run.Clk.Now();
  // The unplug wait follows a wait that saw the handheld up on fresh news, so every off it
  // sees is news of the unplugging.
  bool fresh = lateness.count() <= 0 || awaited == TDsrAwait::kUnplugged;
  bool missed = false;
  int inARow = 0;
  while (inARow < kDsrSamplesInARow) {
    if (limited ? !run.MayGoOn() : run.Terminated()) return TDsrWaitEnd::kTerminated;
    if (limited && budget <= 0) return TDsrWaitEnd::kOutOfBudget;
    --budget;
    bool dsr = false;
    try {
      dsr = port.ModemStatus().Contains(msDSR);
    } catch (const EComError&) {
      // An adapter that cannot report its lines (unplugged, hung up) shows no handheld.
      if (awaited != TDsrAwait::kUnplugged) return TDsrWaitEnd::kLinesUnreadable;
    }
    const bool shown = awaited == TDsrAwait::kUnplugged ? !dsr : dsr;
    if (!shown) {
      fresh = true;
      if (!missed && missing) missing();
      missed = true;
    } else if (!fresh && run.Clk.Now() - start >= lateness) {
      fresh = true;
    }
    inARow = shown && fresh ? inARow + 1 : 0;
    run.Clk.Sleep(kDsrSampleGap);
  }
  return TDsrWaitEnd::kSeen;
}
