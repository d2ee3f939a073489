// The Telnet/COM port protocol parser and encoders, fed every split of each input.
#include "serial/Rfc2217.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/NetBinding.h"

using namespace rfc2217;

namespace {

using Bytes = std::vector<uint8_t>;

struct TParsed {
  Bytes data;
  std::vector<TEvent> events;
  std::string error;
};

TParsed ParseInTwo(const Bytes& input, size_t split, size_t maxSb) {
  TParser parser(maxSb);
  TParsed out;
  parser.Feed(input.data(), split, out.data, out.events);
  parser.Feed(input.data() + split, input.size() - split, out.data, out.events);
  out.error = parser.Error();
  return out;
}

TParsed ParseByteByByte(const Bytes& input, size_t maxSb) {
  TParser parser(maxSb);
  TParsed out;
  for (uint8_t b : input) parser.Feed(&b, 1, out.data, out.events);
  out.error = parser.Error();
  return out;
}

std::string Describe(const std::vector<TEvent>& events) {
  std::string s;
  for (const TEvent& e : events) {
    s += e.kind == TEvent::kNegotiation ? "N" : e.kind == TEvent::kCommand ? "C" : "S";
    s += std::to_string(e.verb) + "/" + std::to_string(e.option);
    for (uint8_t b : e.payload) s += "," + std::to_string(b);
    s += ";";
  }
  return s;
}

struct TParseCase {
  const char* what;
  Bytes input;
  Bytes data;
  std::string events;
  bool fails = false;
};

const TParseCase kParseCases[] = {
    {"plain data", {1, 2, 3}, {1, 2, 3}, ""},
    {"IAC IAC is one 0xFF data byte", {0x10, kIac, kIac, kIac, kIac, 0x20}, {0x10, 0xFF, 0xFF, 0x20}, ""},
    {"negotiation between data", {7, kIac, kWill, kOptComPort, 8}, {7, 8}, "N251/44;"},
    {"all four verbs",
     {kIac, kDo, 0, kIac, kDont, 1, kIac, kWill, 3, kIac, kWont, 44},
     {},
     "N253/0;N254/1;N251/3;N252/44;"},
    {"two-byte commands and a stray SE are events, not data",
     {kIac, 241, 5, kIac, kSe, 6},
     {5, 6},
     "C241/0;C240/0;"},
    {"a modem state notification",
     {kIac, kSb, kOptComPort, kNotifyModemState + kServerOffset, 0x30, kIac, kSe},
     {},
     "S250/44,107,48;"},
    {"IAC IAC inside a subnegotiation is one 0xFF",
     {kIac, kSb, kOptComPort, 101, 0, 0, kIac, kIac, kIac, kIac, kIac, kSe, 9},
     {9},
     "S250/44,101,0,0,255,255;"},
    {"an empty subnegotiation", {kIac, kSb, 24, kIac, kSe}, {}, "S250/24;"},
    {"IAC followed by another command inside a subnegotiation breaks the stream",
     {1, kIac, kSb, kOptComPort, 101, kIac, kWill, 2},
     {1},
     "",
     true},
    {"an endless subnegotiation breaks the stream at its limit",
     [] {
       Bytes b{kIac, kSb, kOptComPort};
       b.insert(b.end(), 40, 0x41);
       b.push_back(3);
       return b;
     }(),
     {},
     "",
     true},
    {"escaped 0xFF counts toward the limit",
     [] {
       Bytes b{kIac, kSb, kOptComPort};
       for (int i = 0; i < 33; ++i) b.insert(b.end(), {kIac, kIac});
       return b;
     }(),
     {},
     "",
     true},
    {"nothing is read past a broken frame",
     {kIac, kSb, 44, kIac, 1, 0x50, 0x51, kIac, kWill, 44},
     {},
     "",
     true},
};

void PrintTo(const TParseCase& c, std::ostream* os) { *os << c.what; }

class ParseCase : public testing::TestWithParam<TParseCase> {};

TEST_P(ParseCase, SameResultAtEverySplit) {
  const TParseCase& c = GetParam();
  constexpr size_t kLimit = 32;
  for (size_t split = 0; split <= c.input.size(); ++split) {
    const TParsed got = ParseInTwo(c.input, split, kLimit);
    EXPECT_EQ(got.data, c.data) << "split at " << split;
    EXPECT_EQ(Describe(got.events), c.events) << "split at " << split;
    EXPECT_EQ(!got.error.empty(), c.fails) << "split at " << split << ": " << got.error;
    if (c.fails) {
      EXPECT_NE(got.error.find("malformed subnegotiation"), std::string::npos);
    }
  }
  const TParsed single = ParseByteByByte(c.input, kLimit);
  EXPECT_EQ(single.data, c.data);
  EXPECT_EQ(Describe(single.events), c.events);
}

INSTANTIATE_TEST_SUITE_P(Telnet, ParseCase, testing::ValuesIn(kParseCases));

TEST(Rfc2217Parser, BrokenStreamTakesNothingMore) {
  TParser parser(8);
  Bytes data;
  std::vector<TEvent> events;
  const Bytes broken{kIac, kSb, 44, kIac, 7};
  parser.Feed(broken.data(), broken.size(), data, events);
  ASSERT_TRUE(parser.Failed());
  const Bytes later{1, 2, kIac, kWill, 44};
  parser.Feed(later.data(), later.size(), data, events);
  EXPECT_TRUE(data.empty());
  EXPECT_TRUE(events.empty());
}

// What the encoders write is what the parser reads back, whatever the bytes.
TEST(Rfc2217Encoders, RoundTripThroughParser) {
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
  Bytes wire;
  AppendData(wire, all.data(), all.size());
  EXPECT_EQ(wire.size(), 257u);  // only 0xFF is doubled
  AppendComPort(wire, kSetBaudRate, BaudValue(0xFF00FFFF));
  AppendNegotiation(wire, kDo, kOptBinary);
  AppendData(wire, all.data() + 250, 6);

  TParser parser;
  Bytes data;
  std::vector<TEvent> events;
  parser.Feed(wire.data(), wire.size(), data, events);
  Bytes expected = all;
  expected.insert(expected.end(), all.begin() + 250, all.end());
  EXPECT_EQ(data, expected);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].option, kOptComPort);
  ASSERT_EQ(events[0].payload.size(), 5u);
  EXPECT_EQ(events[0].payload[0], kSetBaudRate);
  EXPECT_EQ(BaudFrom(Bytes(events[0].payload.begin() + 1, events[0].payload.end())), 0xFF00FFFFu);
  EXPECT_EQ(events[1].verb, kDo);
  EXPECT_FALSE(parser.Failed());
}

// A command byte of 0xFF is escaped like the value (a stream the fuzzer once broke).
TEST(Rfc2217Encoders, CommandByte0xFFIsEscaped) {
  Bytes wire;
  AppendComPort(wire, 0xFF, {0x2C, 0xFF});
  EXPECT_EQ(wire, (Bytes{kIac, kSb, kOptComPort, kIac, kIac, 0x2C, kIac, kIac, kIac, kSe}));
  TParser parser;
  Bytes data;
  std::vector<TEvent> events;
  parser.Feed(wire.data(), wire.size(), data, events);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].payload, (Bytes{0xFF, 0x2C, 0xFF}));
}

TEST(Rfc2217Encoders, BaudValueIsBigEndian) {
  EXPECT_EQ(BaudValue(9600), (Bytes{0, 0, 0x25, 0x80}));
  EXPECT_EQ(BaudFrom({0, 1, 0xC2, 0}), 115200u);
  EXPECT_EQ(BaudFrom({0x25, 0x80}), 0u);
}

struct TNameCase {
  const char* name;
  bool network;
  bool splits;
  const char* scheme;
  const char* host;
  const char* port;
};

const TNameCase kNameCases[] = {
    {"rfc2217://127.0.0.1:4001", true, true, "rfc2217", "127.0.0.1", "4001"},
    {"RFC2217://bench-7.factory:2217", true, true, "rfc2217", "bench-7.factory", "2217"},
    {"socket://10.0.0.9:7000", true, true, "socket", "10.0.0.9", "7000"},
    {"rfc2217://[::1]:4001", true, true, "rfc2217", "::1", "4001"},
    {"rfc2217://host", true, false, "", "", ""},
    {"rfc2217://:4001", true, false, "", "", ""},
    {"rfc2217://host:", true, false, "", "", ""},
    {"rfc2217://host:40x1", true, false, "", "", ""},
    {"rfc2217://host:4001/?logging=debug", true, false, "", "", ""},
    {"rfc2217://[::1]4001", true, false, "", "", ""},
    {"/dev/ttyUSB0", false, false, "", "", ""},
    {"COM3", false, false, "", "", ""},
    {"SIM1", false, false, "", "", ""},
    {"loop://", false, false, "", "", ""},
};

// The answers matched to the orders. A script of steps: "s<command>" sends an order (its
// tickets are numbered from 1), "g<n>" gives up order n, "a<command>:<value>" is an answer
// with its expected fate ("+" taken, "-" dropped), "t<n>:<value>" takes order n's answer
// ("-": none).
struct TMatchCase {
  const char* what;
  std::vector<std::string> steps;
};

const TMatchCase kMatchCases[] = {
    {"each order its answer", {"s1", "s5", "a1:7+", "a5:8+", "t1:7", "t2:8"}},
    {"answers to different commands in any order", {"s1", "s5", "a5:8+", "a1:7+", "t2:8", "t1:7"}},
    {"a late answer to an order given up is dropped",
     {"s1", "g1", "s1", "a1:115-", "a1:19+", "t2:19"}},
    {"the same for purges", {"s12", "g1", "s12", "a12:1-", "t2:-", "a12:1+", "t2:1"}},
    {"an answer no order asked for is dropped", {"a1:7-", "s1", "t1:-", "a1:9+", "t1:9"}},
    {"an answer is taken once", {"s1", "a1:7+", "t1:7", "t1:-"}},
    {"an order given up after its answer came", {"s1", "a1:7+", "g1", "t1:-", "s1", "a1:8+", "t2:8"}},
};

TEST(Rfc2217Answers, MatchedToTheirOrders) {
  for (const TMatchCase& c : kMatchCases) {
    SCOPED_TRACE(c.what);
    TAnswerMatcher m;
    for (const std::string& step : c.steps) {
      SCOPED_TRACE(step);
      const std::string arg = step.substr(1);
      const size_t colon = arg.find(':');
      switch (step[0]) {
        case 's': m.Sent(static_cast<uint8_t>(std::stoi(arg))); break;
        case 'g': m.GiveUp(std::stoull(arg)); break;
        case 'a': {
          const auto command = static_cast<uint8_t>(std::stoi(arg.substr(0, colon)));
          const std::string rest = arg.substr(colon + 1);
          const bool taken = rest.back() == '+';
          const auto value = static_cast<uint8_t>(std::stoi(rest));
          EXPECT_EQ(m.Answered(command, {value}), taken);
          break;
        }
        case 't': {
          const auto got = m.Take(std::stoull(arg.substr(0, colon)));
          const std::string want = arg.substr(colon + 1);
          if (want == "-") {
            EXPECT_FALSE(got.has_value());
          } else {
            ASSERT_TRUE(got.has_value());
            EXPECT_EQ(*got, Bytes{static_cast<uint8_t>(std::stoi(want))});
          }
          break;
        }
      }
    }
  }
}

// A server that answers nothing keeps no more than a bounded number of open orders.
TEST(Rfc2217Answers, OpenOrdersAreBounded) {
  TAnswerMatcher m;
  TAnswerMatcher::TTicket last = 0;
  for (size_t i = 0; i < TAnswerMatcher::kOpenOrdersKept + 5; ++i) last = m.Sent(kPurgeData);
  // The answers now go to the orders still remembered, the oldest of them first.
  for (size_t i = 0; i < TAnswerMatcher::kOpenOrdersKept; ++i)
    EXPECT_TRUE(m.Answered(kPurgeData, {1}));
  EXPECT_FALSE(m.Answered(kPurgeData, {1}));
  EXPECT_TRUE(m.Take(last).has_value());
  EXPECT_FALSE(m.Take(1).has_value());
}

TEST(NetworkPortNames, ClaimedAndSplit) {
  for (const TNameCase& c : kNameCases) {
    EXPECT_EQ(IsNetworkPortName(c.name), c.network) << c.name;
    std::string scheme, host, port;
    const bool ok = SplitNetworkName(c.name, scheme, host, port);
    EXPECT_EQ(ok, c.splits) << c.name;
    if (!ok) continue;
    EXPECT_EQ(scheme, c.scheme) << c.name;
    EXPECT_EQ(host, c.host) << c.name;
    EXPECT_EQ(port, c.port) << c.name;
  }
}

}  // namespace
