// The Telnet COM Port Control protocol (RFC 2217) as both ends speak it: an incremental parser
// that splits a received byte stream into data and Telnet commands, and the encoders for data,
// option negotiation and COM-PORT-OPTION subnegotiations. Pure: no sockets, no clocks, so the
// client binding and the bench's server share one implementation and tests can feed it any
// split of any input.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace rfc2217 {

// Telnet commands.
inline constexpr uint8_t kIac = 255;
inline constexpr uint8_t kDont = 254;
inline constexpr uint8_t kDo = 253;
inline constexpr uint8_t kWont = 252;
inline constexpr uint8_t kWill = 251;
inline constexpr uint8_t kSb = 250;
inline constexpr uint8_t kSe = 240;

// Telnet options.
inline constexpr uint8_t kOptBinary = 0;
inline constexpr uint8_t kOptEcho = 1;
inline constexpr uint8_t kOptSuppressGoAhead = 3;
inline constexpr uint8_t kOptComPort = 44;

// COM-PORT-OPTION commands as the client sends them; the server answers with the same command
// plus kServerOffset.
inline constexpr uint8_t kSignature = 0;
inline constexpr uint8_t kSetBaudRate = 1;
inline constexpr uint8_t kSetDataSize = 2;
inline constexpr uint8_t kSetParity = 3;
inline constexpr uint8_t kSetStopSize = 4;
inline constexpr uint8_t kSetControl = 5;
inline constexpr uint8_t kNotifyLineState = 6;
inline constexpr uint8_t kNotifyModemState = 7;
inline constexpr uint8_t kFlowControlSuspend = 8;
inline constexpr uint8_t kFlowControlResume = 9;
inline constexpr uint8_t kSetLineStateMask = 10;
inline constexpr uint8_t kSetModemStateMask = 11;
inline constexpr uint8_t kPurgeData = 12;
inline constexpr uint8_t kServerOffset = 100;

// Values of SET-PARITY and SET-STOPSIZE.
inline constexpr uint8_t kParityNone = 1, kParityOdd = 2, kParityEven = 3, kParityMark = 4,
                         kParitySpace = 5;
inline constexpr uint8_t kStopOne = 1, kStopTwo = 2, kStopOneAndHalf = 3;
// Values of SET-CONTROL: flow control (outbound, or both ways) asked for and set, BREAK, DTR,
// RTS, and flow control inbound only.
inline constexpr uint8_t kFlowAsk = 0, kFlowNone = 1, kFlowXonXoff = 2, kFlowHardware = 3;
inline constexpr uint8_t kBreakAsk = 4, kBreakOn = 5, kBreakOff = 6;
inline constexpr uint8_t kDtrAsk = 7, kDtrOn = 8, kDtrOff = 9;
inline constexpr uint8_t kRtsAsk = 10, kRtsOn = 11, kRtsOff = 12;
inline constexpr uint8_t kFlowInAsk = 13, kFlowInNone = 14, kFlowInXonXoff = 15,
                         kFlowInHardware = 16;
// Values of PURGE-DATA.
inline constexpr uint8_t kPurgeReceive = 1, kPurgeTransmit = 2, kPurgeBoth = 3;
// Bits of NOTIFY-MODEMSTATE.
inline constexpr uint8_t kModemCts = 0x10, kModemDsr = 0x20, kModemRing = 0x40, kModemCd = 0x80;
inline constexpr uint8_t kModemDeltaDsr = 0x02;

// The longest subnegotiation each end takes: the client takes the server's answers and
// notifications, the server the client's orders. The orders and answers are at most 5 bytes;
// a signature text may be longer (device servers name their make, model and firmware) and is
// taken up to this bound. Anything longer breaks the stream.
inline constexpr size_t kClientSubnegotiationLimit = 256;
inline constexpr size_t kServerSubnegotiationLimit = 256;

// Something other than data in the stream.
struct TEvent {
  enum Kind {
    kNegotiation,      // IAC WILL/WONT/DO/DONT option: verb and option
    kCommand,          // any other two-byte command (NOP, a stray SE …): verb
    kSubnegotiation,   // IAC SB option payload IAC SE, payload with IAC IAC undone
  };
  Kind kind = kCommand;
  uint8_t verb = 0;
  uint8_t option = 0;
  std::vector<uint8_t> payload;
};

// Splits a Telnet stream into data bytes and events, across any split of the input. A
// subnegotiation longer than its limit, or one broken by an IAC that is neither IAC nor SE,
// makes the stream unusable: the parser stops there, reports why, and takes nothing more.
class TParser {
 public:
  explicit TParser(size_t maxSubnegotiation = kClientSubnegotiationLimit) : max_(maxSubnegotiation) {}

  // Appends the data bytes among input to data and the events to events, in stream order
  // relative to each other within each list. After a failure nothing more is taken.
  void Feed(const uint8_t* input, size_t length, std::vector<uint8_t>& data,
            std::vector<TEvent>& events);

  bool Failed() const { return !error_.empty(); }
  // Why the stream became unusable ("" while it is fine).
  const std::string& Error() const { return error_; }

 private:
  enum State { kData, kAfterIac, kVerb, kSbOption, kSbData, kSbAfterIac, kStopped };
  size_t max_;
  State state_ = kData;
  TEvent pending_;
  std::string error_;
};

// The client's side of the answers: every COM-PORT-OPTION order is answered once, and the
// answers to one command come in the order of its orders, so the n-th answer to a command
// answers its n-th order. An order given up (its answer did not come in time) keeps its place:
// its answer, when it comes late, is recognised and dropped instead of being taken for the
// answer to a later order of the same command.
class TAnswerMatcher {
 public:
  using TTicket = uint64_t;
  // Orders not yet answered that are remembered per command; beyond, the oldest is forgotten
  // (a server that answers none of them).
  static constexpr size_t kOpenOrdersKept = 32;

  // An order of command went out; its ticket.
  TTicket Sent(uint8_t command);
  // The answer to the order is no longer waited for (also for orders sent without waiting).
  void GiveUp(TTicket ticket);
  // An answer to command came (command without the server's offset). False when it answers
  // no order waited for: a late answer to an order given up, or one no order asked for.
  bool Answered(uint8_t command, std::vector<uint8_t> value);
  // The answer to the order, once it came (taken away with it).
  std::optional<std::vector<uint8_t>> Take(TTicket ticket);
  void Clear();

 private:
  struct TOrder {
    TTicket ticket;
    bool wanted;
  };
  TTicket next_ = 1;
  std::array<std::deque<TOrder>, 256> open_;
  std::map<TTicket, std::vector<uint8_t>> answers_;
};

// Data with every 0xFF doubled.
void AppendData(std::vector<uint8_t>& out, const uint8_t* data, size_t length);
// IAC verb option.
void AppendNegotiation(std::vector<uint8_t>& out, uint8_t verb, uint8_t option);
// IAC SB COM-PORT-OPTION command value IAC SE, with 0xFF in the command and value doubled.
void AppendComPort(std::vector<uint8_t>& out, uint8_t command, const std::vector<uint8_t>& value);

// The four-byte big-endian value of SET-BAUDRATE, and back (0 for a value of another length).
std::vector<uint8_t> BaudValue(uint32_t rate);
uint32_t BaudFrom(const std::vector<uint8_t>& value);

// A printable name for an option ("COM-PORT-OPTION", "BINARY", … or its number).
std::string OptionName(uint8_t option);

}  // namespace rfc2217
