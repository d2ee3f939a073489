// The Telnet/COM port control parser in both directions: as the client reads a server's stream
// and as the server reads a client's. Input: a byte choosing the direction (its low bit) and
// the split point, then the stream. Checked: the result does not depend on how the stream is
// split; what was taken re-encodes to a stream that parses back to the same; a broken stream
// yields nothing past the break; subnegotiations stay within their limit.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/FuzzRun.h"
#include "serial/Rfc2217.h"

using namespace rfc2217;

namespace {

struct TResult {
  std::vector<uint8_t> data;
  std::vector<TEvent> events;
  bool failed = false;
};

TResult Parse(const uint8_t* p, size_t n, size_t split, size_t limit) {
  TParser parser(limit);
  TResult r;
  parser.Feed(p, split, r.data, r.events);
  parser.Feed(p + split, n - split, r.data, r.events);
  r.failed = parser.Failed();
  return r;
}

bool SameEvents(const std::vector<TEvent>& a, const std::vector<TEvent>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].kind != b[i].kind || a[i].verb != b[i].verb || a[i].option != b[i].option ||
        a[i].payload != b[i].payload)
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size < 1) return 0;
  // Both ends use the same parser, each with its own limit.
  const bool clientSide = (input[0] & 1) != 0;
  const size_t limit = clientSide ? kClientSubnegotiationLimit : kServerSubnegotiationLimit;
  const uint8_t* stream = input + 1;
  const size_t n = size - 1;
  const size_t split = n == 0 ? 0 : (input[0] >> 1) % (n + 1);

  const TResult whole = Parse(stream, n, n, limit);
  const TResult parts = Parse(stream, n, split, limit);
  Require(whole.data == parts.data);
  Require(SameEvents(whole.events, parts.events));
  Require(whole.failed == parts.failed);
  for (const TEvent& e : whole.events) Require(e.payload.size() <= limit);

  // Re-encoded, what was taken parses back to the same (data first, then the events that the
  // encoders can write).
  std::vector<uint8_t> again;
  AppendData(again, whole.data.data(), whole.data.size());
  std::vector<TEvent> expected;
  for (const TEvent& e : whole.events) {
    if (e.kind == TEvent::kNegotiation) {
      AppendNegotiation(again, e.verb, e.option);
      expected.push_back(e);
    } else if (e.kind == TEvent::kSubnegotiation && e.option == kOptComPort && !e.payload.empty()) {
      AppendComPort(again, e.payload[0], {e.payload.begin() + 1, e.payload.end()});
      expected.push_back(e);
    }
  }
  const TResult back = Parse(again.data(), again.size(), again.size() / 2, limit);
  Require(!back.failed);
  Require(back.data == whole.data);
  Require(SameEvents(back.events, expected));

  // Nothing is taken past a break: appending more input to a broken stream changes nothing.
  if (whole.failed) {
    TParser parser(limit);
    TResult more;
    parser.Feed(stream, n, more.data, more.events);
    const uint8_t tail[] = {1, 2, kIac, kWill, kOptComPort, kIac, kIac};
    parser.Feed(tail, sizeof tail, more.data, more.events);
    Require(more.data == whole.data);
    Require(SameEvents(more.events, whole.events));
  }
  return 0;
}
