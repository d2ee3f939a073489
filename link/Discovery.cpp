#include "link/Discovery.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "link/Devices.h"
#include "link/DsrWait.h"
#include "link/Handshake.h"
#include "link/Link.h"
#include "serial/ComPort.h"
#include "serial/PortAccess.h"
#include "serial/PortProvider.h"

using std::chrono::milliseconds;

namespace {

constexpr int kProbeTimeoutMs = 50;
constexpr int kIdentifiedTimeoutMs = 250;

// Discovery state: which devices were found, and whether the second pass is under way.
constexpr int kDongleFound = 1;
constexpr int kServerFound = 2;
constexpr int kSecondPass = 4;

const char kServerMark[] = "RFTPSERVER";
const char kDsrPrompt[] =
    "Make sure the TallyPilot is connected to the dongle, powered\rand switched ON.";

// A failure OpenForProbe has already put into the log.
class ELoggedComError : public EComError {
 public:
  explicit ELoggedComError(const EComError& e) : EComError(e) {}
};

bool IsIdentityChar(int b) { return (b >= 0x30 && b <= 0x39) || (b >= 0x41 && b <= 0x5B); }

// A selector names a port unless it stands on entry 0, "Auto detect" (or on nothing).
bool NamesPort(const TComboModel& combo) { return combo.ItemIndex > 0; }

bool SelectedIs(const TComboModel& combo, const std::string& port) {
  return NamesPort(combo) && SameTextIgnoringCase(combo.Text, port);
}

// Opens the probe object on its device with the lines as a freshly plugged device expects
// them: DTR off and RTS on for 200 ms, then DTR on and RTS off, and the input discarded.
void OpenForProbe(TRunRecord& run, TComPort& port) {
  run.ErrLog += TraceDigit(port);
  run.ErrLog += "R\r";
  port.Timeouts().SetReadConstant(kProbeTimeoutMs);
  port.FlowControl().SetDTR(dcDisable);
  port.FlowControl().SetRTS(rcEnable);
  try {
    port.Open();
  } catch (const EComError& e) {
    // Refused for want of permission: the run's log stays as it is, and the operator is told
    // once a run, beside the log, which group to join.
    if (IsPermissionError(e.ErrorCode()) && !run.PermissionHintShown) {
      run.PermissionHintShown = true;
      run.Bridge.ShowLogLine(
          PermissionHint(port.DeviceName(), PortAccess(port.DeviceName()), CurrentUserName()));
    }
    throw;
  }
  // Marked at once, so that a failure further on still leaves the object to be closed by
  // whoever uses it next.
  port.SetTag(port.Tag() | kTagHeldOpen);
  run.Clk.Sleep(milliseconds(200));
  try {
    port.FlowControl().SetDTR(dcEnable);
    port.FlowControl().SetRTS(rcDisable);
  } catch (const EComError& e) {
    // The device was not reset as it expects: the port is passed over, and the log says why.
    LogLineControlError(run, port, e);
    throw ELoggedComError(e);
  }
  run.Clk.Sleep(milliseconds(100));
  port.PurgeInput();
}

int Ask(TRunRecord& run, TComPort& port, uint8_t b) {
  if (!SendByte(run, port, b)) return -1;
  return RecvByte(run, port);
}

// Brings a device that was left in the middle of something back to the start of the
// handshake. False when the port is to be left unidentified in this pass.
bool Resynchronise(TRunRecord& run, TComPort& port) {
  int last = -1;
  if (Ask(run, port, IdSync) == IdNext) {
    // A device still inside its identity text: let it finish.
    for (int i = 0; i < 1 + kIdentityChars; ++i) {
      last = Ask(run, port, IdNext);
      if (!IsIdentityChar(last)) break;
    }
  }
  if (last >= 0) return false;
  // Feed zeros until one comes back; a silent port is given three chances.
  for (int i = 0; i < 66; ++i) {
    const int answer = Ask(run, port, 0x00);
    if (answer == 0x00) break;
    if (answer < 0 && i >= 3) break;
  }
  return true;
}

// The identification handshake; the identity text (version byte and 16 characters) or empty.
ByteText Identify(TRunRecord& run, TComPort& port) {
  const int version = Ask(run, port, IdStart);
  if (version < 1) return {};
  if (Ask(run, port, IdSync) != 0x55) return {};
  if (Ask(run, port, IdCheck) != 0xF0) return {};
  ByteText identity(1, static_cast<char>(version));
  for (int i = 0; i < kIdentityChars; ++i) {
    const int c = Ask(run, port, IdNext);
    if (!IsIdentityChar(c)) return {};
    identity += static_cast<char>(c);
  }
  return identity;
}

// Sends a lone byte with Exchange and gives its answer, or -1 when nothing came back.
int ExchangeOne(TRunRecord& run, TComPort& port, uint8_t b) {
  run.Reply.clear();
  Exchange(run, port, Bytes({b}));
  return run.Reply.empty() ? -1 : ByteAt(run.Reply, 0);
}

}  // namespace

std::string HwVerText(uint8_t version) {
  return std::to_string(version >> 4) + "." + std::to_string(version & 0x0F);
}

void PromotePort(std::vector<std::string>& list, const std::string& name, bool insert) {
  if (name.empty()) return;
  const auto it = std::find_if(list.begin(), list.end(), [&name](const std::string& entry) {
    return SameTextIgnoringCase(entry, name);
  });
  if (it != list.end()) {
    std::rotate(list.begin(), it, it + 1);
  } else if (insert) {
    list.insert(list.begin(), name);
  }
}

void DiscoverPorts(TRunRecord& run) {
  if (run.Terminated() || run.Outcome != kOutcomeOk) return;
  run.LinkOk = true;
  TMainFields& m = run.Main;
  const TComboModel& dongleSel = m.COM1Combo;
  const TComboModel& serverSel = m.COM2Combo;

  std::vector<std::string> list;
  if (!NamesPort(dongleSel) || !NamesPort(serverSel)) {
    // Network ports are used where they are chosen and never probed: a device server may
    // stand anywhere, and its ports are no business of the detection.
    for (size_t i = 1; i < dongleSel.Items.size(); ++i)
      if (!IsNetworkPortName(dongleSel.Items[i])) list.push_back(dongleSel.Items[i]);
  }
  if (NamesPort(dongleSel))
    PromotePort(list, dongleSel.Text, true);
  else
    PromotePort(list, m.LastPort1, false);
  // The server's preference comes last and so ends up probed first.
  if (NamesPort(serverSel))
    PromotePort(list, serverSel.Text, true);
  else
    PromotePort(list, m.LastPort2, false);

  if (list.size() < 2 || m.SerIF1 == nullptr || m.SerIF2 == nullptr) {
    AddLog(run, "At least 2 communication ports required!");
    run.Outcome = kOutcomeFailed;
    return;
  }

  int state = 0;
  std::ptrdiff_t index = 0;
  // Network ports whose failure the operator was shown in this discovery.
  std::vector<std::string> told;
  while (!run.Terminated() && run.Outcome == kOutcomeOk &&
         (state & (kDongleFound | kServerFound)) != (kDongleFound | kServerFound) &&
         index < static_cast<std::ptrdiff_t>(list.size())) {
    TComPort& probe = (state & kDongleFound) ? *m.SerIF2 : *m.SerIF1;
    ReleasePort(probe);
    const std::string name = list[static_cast<size_t>(index)];

    ByteText identity;
    try {
      probe.SetDeviceName(name);
      OpenForProbe(run, probe);
      if ((state & kSecondPass) == 0 || Resynchronise(run, probe))
        identity = Identify(run, probe);
      // The link turns a failing byte into a missing answer; a network connection that broke
      // on the way says why at the next call.
      if (identity.empty() && IsNetworkPortName(name)) probe.InputCount();
    } catch (const ELoggedComError&) {
      identity.clear();
    } catch (const EComError& e) {
      // A port that cannot be opened or driven holds nothing usable; go on with the next one.
      // A network port is one the operator typed: why it failed ("rfc2217://…: connection
      // refused") is shown on a line of its own, once, before the run says what was not found.
      identity.clear();
      if (IsNetworkPortName(name) &&
          std::find(told.begin(), told.end(), name) == told.end()) {
        told.push_back(name);
        run.Bridge.ShowLogLine(e.what());
      }
    }

    if (!identity.empty()) {
      const ByteText chars = identity.substr(1);
      const bool isServer = chars.compare(0, sizeof kServerMark - 1, kServerMark) == 0;
      bool accepted = false;
      if (isServer) {
        if (SelectedIs(dongleSel, name)) {
          AddLog(run, "Dongle expected on " + name + ", server found instead!");
          run.Outcome = kOutcomeFailed;
        } else if (state & kServerFound) {
          if (!NamesPort(serverSel)) {
            AddLog(run, "Second server found, uncertain which one to use?!");
            run.Outcome = kOutcomeFailed;
            // Neither server may be programmed now: the run cannot tell which one it is.
            run.SrvFound = false;
            run.SrvNeedsRestore = false;
          }
        } else {
          if (NamesPort(serverSel) && !SameTextIgnoringCase(serverSel.Text, name))
            AddLog(run, "Server not found on " + serverSel.Text + " but on " + name);
          m.LastPort2 = name;
          state |= kServerFound;
          // The server keeps the SerIF2 role from now on; the other object probes on.
          if ((state & kDongleFound) == 0) std::swap(m.SerIF1, m.SerIF2);
          run.Reply = "Server";
          run.SrvFound = true;
          run.Facts.ServerId = identity;
          accepted = true;
        }
      } else {
        if (SelectedIs(serverSel, name)) {
          AddLog(run, "Server expected on " + name + ", dongle found instead!");
          run.Outcome = kOutcomeFailed;
        } else if (state & kDongleFound) {
          if (!NamesPort(dongleSel)) {
            AddLog(run, "Second dongle found, uncertain which one to use?!");
            run.Outcome = kOutcomeFailed;
          }
        } else {
          if (NamesPort(dongleSel) && !SameTextIgnoringCase(dongleSel.Text, name))
            AddLog(run, "Dongle not found on " + dongleSel.Text + " but on " + name);
          m.LastPort1 = name;
          state |= kDongleFound;
          run.Reply = "Dongle";
          run.DongleId = identity;
          accepted = true;
        }
      }
      if (accepted) {
        try {
          probe.Timeouts().SetReadConstant(kIdentifiedTimeoutMs);
        } catch (const EComError&) {
          // The next exchange on this port will tell whether it still works.
        }
        AddLog(run, run.Reply + " found on " + name + ", #" + chars + ", HW" +
                        HwVerText(ByteAt(identity, 0)));
        list.erase(list.begin() + index);
        --index;
      }
    }

    ++index;
    if (index >= static_cast<std::ptrdiff_t>(list.size()) && state < kServerFound) {
      // First pass over without a server: once more over the ports left, re-synchronising
      // each before the handshake.
      index = 0;
      state += kSecondPass;
    }
  }

  if (run.Terminated() || run.Outcome != kOutcomeOk) return;
  if ((state & kDongleFound) == 0) {
    AddLog(run, "Dongle not found!");
    run.Outcome = kOutcomeFailed;
  }
  if ((state & kServerFound) == 0) {
    AddLog(run, "Server not found!");
    run.Outcome = kOutcomeFailed;
  }
}

bool ReopenServerPort(TRunRecord& run) {
  TMainFields& m = run.Main;
  if (m.SerIF2 == nullptr || m.LastPort2.empty()) return false;
  TComPort& port = *m.SerIF2;
  ReleasePort(port);
  try {
    port.SetDeviceName(m.LastPort2);
    OpenForProbe(run, port);
    port.Timeouts().SetReadConstant(kIdentifiedTimeoutMs);
  } catch (const EComError&) {
    return false;
  }
  return true;
}

void InitDevice(TRunRecord& run, TComPort& port, bool handheld) {
  if (run.Outcome != kOutcomeOk || run.Terminated()) return;

  if (handheld) {
    bool dsr = false;
    bool linesReadable = true;
    try {
      dsr = port.ModemStatus().Contains(msDSR);
    } catch (const EComError&) {
      linesReadable = false;
    }
    bool prompted = false;
    auto prompt = [&] {
      run.Reply = kDsrPrompt;
      run.Bridge.ShowHandheldWait(run.Reply);
      prompted = true;
    };
    if (linesReadable && !dsr) prompt();
    // A port whose news of the lines may be late may still show DSR from before the probe's
    // reset pulse: it waits for fresh news too, and asks for the handheld only if it is missing.
    if (linesReadable && (!dsr || port.ModemNewsLateMs() > 0)) {
      // No time limit: the operator plugs the handheld in, or cancels.
      const TDsrWaitEnd end =
          WaitForDsr(run, port, TDsrAwait::kPluggedIn, 0, prompted ? std::function<void()>() : prompt);
      linesReadable = end != TDsrWaitEnd::kLinesUnreadable;
    }
    if (prompted) run.Bridge.HideStatus();
    // A port that cannot report its lines would never show the handheld.
    if (!linesReadable) run.LinkOk = false;
  }

  // The first lone 0x00 after the handshake must go unanswered; the next one is answered with
  // the handheld's hardware version, or with 0x00 by the server.
  run.LinkOk = run.LinkOk && ExchangeOne(run, port, 0x00) < 0;
  const int answer = ExchangeOne(run, port, 0x00);
  if (answer < 0)
    run.LinkOk = false;
  else if (handheld)
    run.TPHwVer = static_cast<uint8_t>(answer);
  else
    run.LinkOk = run.LinkOk && answer == 0x00;

  if (handheld) {
    Exchange(run, port, Bytes({CmdAddrLo, CfgReg}), Bytes({CmdAddrLo, CfgReg}));
    const int flags = ExchangeOne(run, port, CmdRead);
    if (flags < 0)
      run.LinkOk = false;
    else
      run.TPFlags = static_cast<uint8_t>(flags);
    const uint8_t cfg = static_cast<uint8_t>((run.TPFlags & 1) | 0x10);
    const ByteText write = Bytes({CmdAddrLo, CfgReg, CmdWrite, cfg});
    Exchange(run, port, write, write);
  }

  if (run.Terminated()) return;
  if (!run.LinkOk) {
    AddLog(run, handheld ? "Failed to initialize TallyPilot!" : "Failed to initialize server!");
    run.Outcome = kOutcomeFailed;
  } else if (handheld) {
    AddLog(run, "TallyPilot HW" + HwVerText(run.TPHwVer));
  }
}
