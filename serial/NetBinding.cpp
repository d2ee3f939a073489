// The network ports: a TCP stream, raw or carrying the Telnet COM Port Control protocol.
#include "serial/NetBinding.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <deque>
#include <optional>
#include <thread>
#include <vector>

#include "serial/NetSocket.h"
#include "serial/PlatformError.h"
#include "serial/ReadDeadline.h"
#include "serial/Rfc2217.h"

namespace {

using namespace rfc2217;
using SteadyClock = std::chrono::steady_clock;

constexpr char kTelnetScheme[] = "rfc2217";
// The input buffer: what has come and was not read yet.
constexpr size_t kNetInputLimit = 64 * 1024;
constexpr char kRawScheme[] = "socket";

int MsUntil(SteadyClock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now());
  return static_cast<int>(std::max<long long>(0, left.count()));
}

// What SET-CONTROL and the framing commands carry for a line configuration; nullopt where
// the configuration keeps the device's value.
std::optional<uint8_t> DataSizeValue(TDataBits bits) {
  switch (bits) {
    case db5: return 5;
    case db6: return 6;
    case db7: return 7;
    case db8: return 8;
    case db4: return 4;  // no device server takes it; its refusal says so
    case dbDefault: break;
  }
  return std::nullopt;
}

std::optional<uint8_t> ParityValue(TParity parity) {
  switch (parity) {
    case paNone: return kParityNone;
    case paOdd: return kParityOdd;
    case paEven: return kParityEven;
    case paMark: return kParityMark;
    case paSpace: return kParitySpace;
    case paDefault: break;
  }
  return std::nullopt;
}

std::optional<uint8_t> StopSizeValue(TStopBits stop) {
  switch (stop) {
    case sb1: return kStopOne;
    case sb1_5: return kStopOneAndHalf;
    case sb2: return kStopTwo;
    case sbDefault: break;
  }
  return std::nullopt;
}

// The flow control orders for a configuration: outbound (or both ways) first, then inbound
// where it differs. Hardware flow control goes with CTS output flow or RTS handshaking.
std::vector<uint8_t> FlowValues(const TLineConfig& c) {
  if (c.xOnXOff == xcDefault) return {};
  const bool hardware = c.options.Contains(opOutputCTSFlow) || c.rts == rcHandshake;
  switch (c.xOnXOff) {
    case xcInputOutput: return {kFlowXonXoff};
    case xcOutput: return {kFlowXonXoff, hardware ? kFlowInHardware : kFlowInNone};
    case xcInput: return {hardware ? kFlowHardware : kFlowNone, kFlowInXonXoff};
    default: return {hardware ? kFlowHardware : kFlowNone};
  }
}

std::optional<bool> DtrOn(TDTRControl dtr) {
  if (dtr == dcDefault) return std::nullopt;
  return dtr != dcDisable;
}

std::optional<bool> RtsOn(TRTSControl rts) {
  if (rts == rcDefault) return std::nullopt;
  return rts != rcDisable;
}

std::string SettingName(uint8_t command, const std::vector<uint8_t>& value) {
  const int v = value.empty() ? -1 : value[0];
  switch (command) {
    case kSetBaudRate: return "speed " + std::to_string(BaudFrom(value));
    case kSetDataSize: return "data size " + std::to_string(v);
    case kSetParity: return "parity " + std::to_string(v);
    case kSetStopSize: return "stop size " + std::to_string(v);
    case kSetControl:
      if (v == kDtrOn) return "DTR on";
      if (v == kDtrOff) return "DTR off";
      if (v == kRtsOn) return "RTS on";
      if (v == kRtsOff) return "RTS off";
      if (v == kFlowNone) return "no flow control";
      if (v == kFlowXonXoff) return "XON/XOFF flow control";
      if (v == kFlowHardware) return "hardware flow control";
      if (v == kFlowInNone) return "no inbound flow control";
      if (v == kFlowInXonXoff) return "XON/XOFF inbound flow control";
      if (v == kFlowInHardware) return "hardware inbound flow control";
      return "control " + std::to_string(v);
    case kPurgeData: return "purge " + std::to_string(v);
    default: return "command " + std::to_string(command);
  }
}

std::string AnswerText(uint8_t command, const std::vector<uint8_t>& value) {
  if (command == kSetBaudRate) return std::to_string(BaudFrom(value));
  return value.empty() ? "nothing" : std::to_string(value[0]);
}

class TNetBinding final : public TPortBinding {
 public:
  ~TNetBinding() override { Close(); }

  void Open(const std::string& deviceName) override {
    Close();
    std::string scheme, host, port;
    if (!SplitNetworkName(deviceName, scheme, host, port) ||
        (scheme != kTelnetScheme && scheme != kRawScheme))
      throw EComError(kErrPortNotFound,
                      deviceName + ": not a network port name (rfc2217://HOST:PORT or "
                                   "socket://HOST:PORT)");
    name_ = deviceName;
    broken_.clear();
    telnet_ = scheme == kTelnetScheme;
    Guard([&] { socket_.Connect(host, port, kNetConnectTimeoutMs); });
    parser_ = TParser();
    input_.clear();
    answers_.Clear();
    local_ = {};
    remote_ = {};
    modemState_ = 0;
    modemNews_.clear();
    modemRead_ = false;
    suspended_ = false;
    sent_ = TSent{};
    linesSet_ = false;
    try {
      if (telnet_) Negotiate();
    } catch (...) {
      Close();
      throw;
    }
  }

  void Close() noexcept override { socket_.Close(); }

  void ApplyLineSettings(const TLineConfig& c) override {
    CheckConnected();
    const bool opening = !linesSet_;
    linesSet_ = true;
    if (!telnet_) {
      // A raw stream has no lines to set: the open sequence's lines are taken as they are, a
      // later order for DTR or RTS cannot be carried out.
      if (!opening && (c.dtr != dtr_ || c.rts != rts_)) {
        Fail(kErrInvalidArgument, "a socket:// port has no DTR or RTS line", false);
      }
      dtr_ = c.dtr;
      rts_ = c.rts;
      return;
    }
    dtr_ = c.dtr;
    rts_ = c.rts;
    if (c.rts == rcToggle)
      throw EComError(kErrInvalidArgument, name_ + ": RTS toggling is not carried over the network");

    // Only what changed goes to the server, the framing first and both lines in one go.
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> orders;
    uint32_t rate = 0;
    if (c.baudRate == brCustom) rate = static_cast<uint32_t>(std::max(0, c.customBaudRate));
    else if (c.baudRate != brDefault) rate = static_cast<uint32_t>(BaudRateValue(c.baudRate));
    if (rate != 0 && rate != sent_.rate) orders.push_back({kSetBaudRate, BaudValue(rate)});
    auto add = [&](uint8_t command, std::optional<uint8_t> value, std::optional<uint8_t>& sent) {
      if (value && value != sent) orders.push_back({command, {*value}});
    };
    add(kSetDataSize, DataSizeValue(c.dataBits), sent_.dataSize);
    add(kSetParity, ParityValue(c.parity), sent_.parity);
    add(kSetStopSize, StopSizeValue(c.stopBits), sent_.stopSize);
    if (const std::vector<uint8_t> flow = FlowValues(c); !flow.empty() && flow != sent_.flow)
      for (uint8_t v : flow) orders.push_back({kSetControl, {v}});
    if (const auto dtr = DtrOn(c.dtr); dtr && dtr != sent_.dtr)
      orders.push_back({kSetControl, {*dtr ? kDtrOn : kDtrOff}});
    if (const auto rts = RtsOn(c.rts); rts && rts != sent_.rts)
      orders.push_back({kSetControl, {*rts ? kRtsOn : kRtsOff}});
    if (orders.empty()) return;

    std::vector<uint8_t> out;
    std::vector<TAnswerMatcher::TTicket> tickets;
    for (const auto& [command, value] : orders) tickets.push_back(Order(out, command, value));
    try {
      SendAll(out);
      const auto deadline = SteadyClock::now() + std::chrono::milliseconds(kNetAnswerTimeoutMs);
      for (size_t i = 0; i < orders.size(); ++i) {
        const auto& [command, value] = orders[i];
        const std::vector<uint8_t> answer = AwaitAnswer(tickets[i], deadline, SettingName(command, value));
        if (!Accepts(command, value, answer))
          Fail(kErrInvalidArgument, "server refused " + SettingName(command, value) + " (answered " +
                                        AnswerText(command, answer) + ")",
               false);
        switch (command) {
          case kSetBaudRate: sent_.rate = BaudFrom(value); break;
          case kSetDataSize: sent_.dataSize = value[0]; break;
          case kSetParity: sent_.parity = value[0]; break;
          case kSetStopSize: sent_.stopSize = value[0]; break;
          case kSetControl:
            if (value[0] == kDtrOn || value[0] == kDtrOff) sent_.dtr = value[0] == kDtrOn;
            else if (value[0] == kRtsOn || value[0] == kRtsOff) sent_.rts = value[0] == kRtsOn;
            break;
        }
      }
      if (const std::vector<uint8_t> flow = FlowValues(c); !flow.empty()) sent_.flow = flow;
    } catch (...) {
      // The answers still to come are recognised when they come, and dropped.
      for (const auto ticket : tickets) answers_.GiveUp(ticket);
      throw;
    }
  }

  void ApplyTimeouts(const TTimeoutConfig& config) override { timeouts_ = config; }
  // The device server sizes its own buffers.
  void ApplyBufferSizes(int32_t, int32_t) override {}

  size_t Read(unsigned char* buffer, size_t length) override {
    CheckConnected();
    if (length == 0) return 0;
    TReadDeadline deadline(timeouts_, length);
    size_t got = Take(buffer, length);
    if (got > 0) deadline.ByteArrived();
    while (got < length) {
      const int wait = deadline.WaitMs();
      Pump(wait);
      const size_t n = Take(buffer + got, length - got);
      got += n;
      if (n > 0) deadline.ByteArrived();
      else if (wait == 0) break;  // the time-out ended the read; what had come is taken
    }
    return got;
  }

  size_t Write(const unsigned char* buffer, size_t length) override {
    CheckConnected();
    if (telnet_) AwaitResume();
    std::vector<uint8_t> out;
    if (telnet_)
      AppendData(out, buffer, length);
    else
      out.assign(buffer, buffer + length);
    SendAll(out);
    return length;
  }

  // The bytes are in the connection once Write returned.
  bool WaitWritten() override { return true; }

  int32_t InputCount() override {
    CheckConnected();
    Pump(0);
    return static_cast<int32_t>(std::min<size_t>(input_.size(), INT32_MAX));
  }

  // Drops what has come, and on a telnet port also what the device server holds for us: the
  // bytes that arrive before the server confirms its purge were received before it.
  void PurgeInput() override {
    CheckConnected();
    Pump(0);
    input_.clear();
    if (!telnet_) return;
    Purge(kPurgeReceive);
    input_.clear();
  }

  void PurgeOutput() override {
    CheckConnected();
    if (telnet_) Purge(kPurgeTransmit);
  }

  // The modem lines as the server notified them. The server notifies a change when it sees
  // it: at once, or (a device server that polls its UART's lines) up to a second or so later,
  // so the answer may still be the state from before a change. Every state notified is given
  // by at least one call, in order, so a change undone before the next call (a handheld that
  // restarts in a moment) is still seen. The server is not asked again here: the protocol has
  // no request for the modem state, and a server that takes an order it does not expect for
  // data would put it on the line.
  TModemStatus ModemStatus() override {
    CheckConnected();
    if (!telnet_) Fail(kErrInvalidArgument, "a socket:// port has no modem lines", false);
    Pump(0);
    if (!modemRead_) {
      // The first look after opening starts from the present, not from the changes that came
      // with the open sequence's own line orders.
      if (!modemNews_.empty()) modemState_ = modemNews_.back();
      modemNews_.clear();
      modemRead_ = true;
    } else if (!modemNews_.empty()) {
      modemState_ = modemNews_.front();
      modemNews_.pop_front();
    }
    TModemStatus s;
    if (modemState_ & kModemCts) s.Include(msCTS);
    if (modemState_ & kModemDsr) s.Include(msDSR);
    if (modemState_ & kModemRing) s.Include(msRing);
    if (modemState_ & kModemCd) s.Include(msRLSD);
    return s;
  }

  int ModemNewsLateMs() const override { return telnet_ ? kNetModemNewsLateMs : 0; }

 private:
  // Per option: asked for by us, and agreed.
  struct TOptionState {
    bool asked = false;
    bool on = false;
    bool refused = false;
  };
  // What the server last confirmed.
  struct TSent {
    uint32_t rate = 0;
    std::optional<uint8_t> dataSize, parity, stopSize;
    std::optional<bool> dtr, rts;
    std::vector<uint8_t> flow;
  };

  static bool WeDo(uint8_t option) {
    return option == kOptBinary || option == kOptSuppressGoAhead || option == kOptComPort;
  }
  static bool TheyMay(uint8_t option) {
    return option == kOptBinary || option == kOptSuppressGoAhead || option == kOptEcho;
  }

  // Asks for the COM port option (and binary, unbuffered transfer) and waits until the server
  // agrees, refuses or lets the time pass; then asks to be told of modem line changes.
  void Negotiate() {
    std::vector<uint8_t> out;
    for (uint8_t option : {kOptComPort, kOptBinary, kOptSuppressGoAhead}) {
      AppendNegotiation(out, kWill, option);
      local_[option].asked = true;
    }
    for (uint8_t option : {kOptBinary, kOptSuppressGoAhead}) {
      AppendNegotiation(out, kDo, option);
      remote_[option].asked = true;
    }
    SendAll(out);
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(kNetAnswerTimeoutMs);
    while (!local_[kOptComPort].on) {
      if (local_[kOptComPort].refused)
        Fail(kErrInvalidArgument, "server refused option " + OptionName(kOptComPort));
      const int wait = MsUntil(deadline);
      if (wait == 0)
        Fail(kErrDeviceGone, "server did not answer option " + OptionName(kOptComPort) +
                                 " within " + std::to_string(kNetAnswerTimeoutMs / 1000) + " s");
      try {
        Pump(wait);
      } catch (const EComError& e) {
        // A server closes a second connection to a port that has its client, as a serial
        // port refuses a second opener.
        throw EComError(kErrPortInUse, std::string(e.what()) +
                                           " before the server agreed to " +
                                           OptionName(kOptComPort) + " (port in use?)");
      }
    }
    out.clear();
    // Their answers are not waited for: the modem state the server tells with or after the
    // first is. No line state notifications: line errors are not reported by this port.
    answers_.GiveUp(Order(out, kSetModemStateMask, {0xFF}));
    answers_.GiveUp(Order(out, kSetLineStateMask, {0x00}));
    SendAll(out);
  }

  // Data waits while the server has asked for a pause (FLOWCONTROL-SUSPEND), as long as an
  // answer may take; a server that never resumes stalls the port.
  void AwaitResume() {
    Pump(0);
    if (!suspended_) return;
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(kNetAnswerTimeoutMs);
    while (suspended_) {
      const int wait = MsUntil(deadline);
      if (wait == 0)
        Fail(kErrDeviceGone, "connection stalled: the server suspended the data for " +
                                 std::to_string(kNetAnswerTimeoutMs / 1000) + " s");
      Pump(wait);
    }
  }

  // Appends an order to out; its ticket for the answer.
  TAnswerMatcher::TTicket Order(std::vector<uint8_t>& out, uint8_t command,
                                const std::vector<uint8_t>& value) {
    AppendComPort(out, command, value);
    return answers_.Sent(command);
  }

  // Whether the answer confirms the value ordered. A speed answer may carry bytes beyond the
  // four of the rate (some servers pad it); the rate is what counts.
  static bool Accepts(uint8_t command, const std::vector<uint8_t>& value,
                      const std::vector<uint8_t>& answer) {
    if (command == kSetBaudRate && answer.size() > 4)
      return std::equal(value.begin(), value.end(), answer.begin());
    return answer == value;
  }

  void Purge(uint8_t which) {
    std::vector<uint8_t> out;
    const auto ticket = Order(out, kPurgeData, {which});
    SendAll(out);
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(kNetAnswerTimeoutMs);
    // What comes before the answer to a receive purge was received before it.
    struct TDropping {
      bool& flag;
      ~TDropping() { flag = false; }
    } dropping{dropData_};
    dropData_ = which == kPurgeReceive || which == kPurgeBoth;
    AwaitAnswer(ticket, deadline, SettingName(kPurgeData, {which}));
  }

  // The server's answer to the order with this ticket, taking in data and notifications
  // meanwhile. When it does not come in time the order is given up: its answer, should it come
  // later, is dropped.
  std::vector<uint8_t> AwaitAnswer(TAnswerMatcher::TTicket ticket, SteadyClock::time_point deadline,
                                   const std::string& what) {
    for (;;) {
      if (auto value = answers_.Take(ticket)) return std::move(*value);
      const int wait = MsUntil(deadline);
      if (wait == 0) {
        answers_.GiveUp(ticket);
        Fail(kErrDeviceGone, "server did not answer " + what, false);
      }
      Pump(wait);
    }
  }

  // Takes what the connection has (waiting up to waitMs for the first of it) and sorts it
  // into data, answers and notifications.
  //
  // The input buffer has a fixed size, as a serial port's driver queue has: once it is full
  // nothing more is taken from the connection until the caller reads, so a server that floods
  // is held back by TCP. Data that arrives while a purge waits for its answer is dropped.
  void Pump(int waitMs) {
    uint8_t chunk[4096];
    const size_t room = dropData_ ? sizeof chunk
                                  : std::min(sizeof chunk, kNetInputLimit - std::min(kNetInputLimit, input_.size()));
    if (room == 0) {
      // Nothing can be taken now; the caller's wait passes as it would without news.
      if (waitMs != 0) std::this_thread::sleep_for(std::chrono::milliseconds(waitMs < 0 ? 10 : std::min(waitMs, 10)));
      return;
    }
    size_t n = 0;
    Guard([&] { n = socket_.Receive(chunk, room, waitMs); });
    if (n == 0) return;
    if (!telnet_) {
      if (!dropData_) input_.insert(input_.end(), chunk, chunk + n);
      return;
    }
    std::vector<uint8_t> data;
    std::vector<TEvent> events;
    parser_.Feed(chunk, n, data, events);
    if (!dropData_) input_.insert(input_.end(), data.begin(), data.end());
    for (TEvent& e : events) Handle(e);
    if (parser_.Failed()) Fail(kErrDeviceGone, parser_.Error());
  }

  void Handle(TEvent& e) {
    std::vector<uint8_t> out;
    if (e.kind == TEvent::kNegotiation) {
      const uint8_t o = e.option;
      switch (e.verb) {
        case kDo:
          if (!WeDo(o)) {
            AppendNegotiation(out, kWont, o);
          } else if (!local_[o].on) {
            if (!local_[o].asked) AppendNegotiation(out, kWill, o);
            local_[o].asked = local_[o].on = true;
          }
          break;
        case kDont:
          if (local_[o].on) AppendNegotiation(out, kWont, o);
          if (local_[o].asked || local_[o].on) local_[o].refused = true;
          local_[o].on = false;
          break;
        case kWill:
          if (!TheyMay(o)) {
            AppendNegotiation(out, kDont, o);
          } else if (!remote_[o].on) {
            if (!remote_[o].asked) AppendNegotiation(out, kDo, o);
            remote_[o].asked = remote_[o].on = true;
          }
          break;
        case kWont:
          if (remote_[o].on) AppendNegotiation(out, kDont, o);
          remote_[o].on = false;
          break;
      }
    } else if (e.kind == TEvent::kSubnegotiation && e.option == kOptComPort) {
      if (e.payload.empty()) Fail(kErrDeviceGone, "malformed subnegotiation: no command");
      const uint8_t command = e.payload[0];
      std::vector<uint8_t> value(e.payload.begin() + 1, e.payload.end());
      if (command == kSignature && value.empty()) {
        // The server asks who we are.
        const std::string name = "tptune";
        AppendComPort(out, kSignature, {name.begin(), name.end()});
      } else if (command == kNotifyModemState + kServerOffset) {
        if (value.size() != 1) Fail(kErrDeviceGone, "malformed subnegotiation: modem state");
        // The lines only (the delta bits say what changed): a repeat of the last news is none,
        // and a server that chatters keeps only the latest few.
        const uint8_t lines = value[0] & (kModemCts | kModemDsr | kModemRing | kModemCd);
        const uint8_t last = modemNews_.empty() ? modemState_ : modemNews_.back();
        if (lines != last || modemNews_.empty()) {
          if (modemNews_.size() >= kModemNewsKept) modemNews_.pop_front();
          modemNews_.push_back(lines);
        }
      } else if (command == kFlowControlSuspend + kServerOffset) {
        suspended_ = true;
      } else if (command == kFlowControlResume + kServerOffset) {
        suspended_ = false;
      } else if (command > kServerOffset && command != kNotifyLineState + kServerOffset &&
                 command != kFlowControlSuspend + kServerOffset &&
                 command != kFlowControlResume + kServerOffset) {
        answers_.Answered(static_cast<uint8_t>(command - kServerOffset), std::move(value));
      }
    }
    if (!out.empty()) SendAll(out);
  }

  size_t Take(unsigned char* buffer, size_t length) {
    const size_t n = std::min(length, input_.size());
    std::copy_n(input_.begin(), n, buffer);
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
  }

  void SendAll(const std::vector<uint8_t>& out) {
    if (out.empty()) return;
    Guard([&] {
      if (socket_.Send(out.data(), out.size(), kNetAnswerTimeoutMs) != out.size())
        throw EComError(kErrDeviceGone, "connection stalled: the server takes no data");
    });
  }

  // A connection given up says why at every later call, so the reason reaches whoever asks
  // next even when the call that broke it was caught and dropped.
  void CheckConnected() {
    if (socket_.IsOpen()) return;
    if (broken_.empty() || broken_ == "connection lost")
      throw EComError(kErrDeviceGone, name_ + ": connection lost");
    throw EComError(kErrDeviceGone, name_ + ": connection lost (" + broken_ + ")");
  }

  // Runs a socket operation; a failure closes the connection (nothing is read past it) and
  // names the port.
  template <typename F>
  void Guard(F&& f) {
    try {
      f();
    } catch (const EComError& e) {
      socket_.Close();
      broken_ = e.what();
      throw EComError(e.ErrorCode(), name_ + ": " + e.what());
    }
  }

  // A failure of the port: with close, the connection is given up (a broken stream, a
  // server that stopped answering); without, the port stays usable (a refused setting).
  [[noreturn]] void Fail(int error, const std::string& text, bool close = true) {
    if (close) {
      socket_.Close();
      broken_ = text;
    }
    throw EComError(error, name_ + ": " + text);
  }

  std::string name_;
  std::string broken_;  // why the connection was given up
  bool telnet_ = true;
  TNetSocket socket_;
  TParser parser_;
  std::deque<uint8_t> input_;
  TAnswerMatcher answers_;
  std::array<TOptionState, 256> local_{};
  std::array<TOptionState, 256> remote_{};
  uint8_t modemState_ = 0;  // the lines as the last ModemStatus gave them
  static constexpr size_t kModemNewsKept = 8;
  std::deque<uint8_t> modemNews_;  // notified since, oldest first
  bool modemRead_ = false;         // ModemStatus was called since the port opened
  bool suspended_ = false;         // the server asked for a pause in the data
  bool dropData_ = false;          // a receive purge waits for its answer
  TSent sent_;
  bool linesSet_ = false;
  TDTRControl dtr_ = dcDefault;
  TRTSControl rts_ = rcDefault;
  TTimeoutConfig timeouts_;
};

}  // namespace

bool IsNetworkPortName(const std::string& deviceName) {
  auto starts = [&](const char* scheme) {
    const std::string prefix = std::string(scheme) + "://";
    return deviceName.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), deviceName.begin(),
                      [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
  };
  return starts(kTelnetScheme) || starts(kRawScheme);
}

bool SplitNetworkName(const std::string& deviceName, std::string& scheme, std::string& host,
                      std::string& port) {
  const size_t sep = deviceName.find("://");
  if (sep == std::string::npos || sep == 0) return false;
  scheme = deviceName.substr(0, sep);
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  std::string rest = deviceName.substr(sep + 3);
  // A trailing slash or options after it (as some programs write the names) are not ours.
  if (rest.find_first_of("/?") != std::string::npos) return false;
  size_t colon;
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
      return false;
    host = rest.substr(1, close - 1);
    colon = close + 1;
  } else {
    colon = rest.rfind(':');
    if (colon == std::string::npos || rest.find(':') != colon) return false;
    host = rest.substr(0, colon);
  }
  port = rest.substr(colon + 1);
  if (host.empty() || port.empty()) return false;
  return std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c); });
}

std::unique_ptr<TPortBinding> CreateNetworkBinding(const std::string&) {
  return std::make_unique<TNetBinding>();
}
