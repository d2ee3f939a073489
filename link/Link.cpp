#include "link/Link.h"

#include <charconv>

namespace {

// The highest number of data bytes a server frame or reply can carry: header and reply codes
// keep the count in their low six bits, and the poll byte of data byte i is 0xC1 + i.
constexpr size_t kMaxFrameData = 63;
constexpr uint8_t kMaxPolledReply = 0x7E;  // 62 data bytes: the last poll byte is 0xFF
constexpr uint8_t kFirstLengthReply = 0x41;
constexpr uint8_t kPollBase = 0xC1;

void AppendTrace(TRunRecord& run, const TComPort& port, char kind, int value) {
  char digits[8];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  run.ErrLog += TraceDigit(port);
  run.ErrLog += kind;
  run.ErrLog.append(digits, end);
  run.ErrLog += '\r';
}

uint8_t RotateLeft(uint8_t s) { return static_cast<uint8_t>((s << 1) | (s >> 7)); }

// The running check value of the frame: rotate left by one bit, add the next byte.
uint8_t FoldIn(uint8_t s, uint8_t d) { return static_cast<uint8_t>(RotateLeft(s) + d); }

// Sends one byte of a transaction and takes its answer; false (and LinkOk clear) when either
// failed. A refused write fails the transaction even if some byte happens to be waiting.
bool Step(TRunRecord& run, TComPort& port, uint8_t out, int& in) {
  if (!SendByte(run, port, out)) {
    run.LinkOk = false;
    return false;
  }
  in = RecvByte(run, port);
  if (in < 0) run.LinkOk = false;
  return run.LinkOk;
}

}  // namespace

char TraceDigit(const TComPort& port) { return static_cast<char>('1' + (port.Tag() & 1)); }

bool SendByte(TRunRecord& run, TComPort& port, uint8_t value) {
  if (!run.MayGoOn()) return false;
  bool sent = true;
  try {
    port.WriteByte(value);
  } catch (const EComError&) {
    run.ErrLog += '!';
    sent = false;
  }
  AppendTrace(run, port, '<', value);
  return sent;
}

int RecvByte(TRunRecord& run, TComPort& port) {
  if (!run.MayGoOn()) return -1;
  int result = -1;
  try {
    // A lock-step peer answers each byte once; a backlog means the link is out of step, and
    // the waiting bytes stay until the next purge so that every later receive fails too.
    if (port.InputCount() < 2) result = port.ReadByte();
  } catch (const EComError&) {
    result = -1;
  }
  AppendTrace(run, port, '>', result);
  return result;
}

void Exchange(TRunRecord& run, TComPort& port, const ByteText& request, const ByteText& expected) {
  if (run.Outcome != kOutcomeOk || !run.MayGoOn()) return;
  run.Reply.clear();
  for (size_t i = 0; i < request.size() && run.LinkOk; ++i) {
    if (!SendByte(run, port, ByteAt(request, i))) {
      run.LinkOk = false;
      break;
    }
    const int answer = RecvByte(run, port);
    if (answer < 0) {
      run.Reply.clear();
      break;
    }
    run.Reply += static_cast<char>(answer);
  }
  if (run.LinkOk && !expected.empty()) run.LinkOk = run.Reply == expected;
}

uint8_t RequestCheckByte(uint8_t header, const ByteText& data) {
  uint8_t s = header;
  for (char d : data) s = FoldIn(s, static_cast<uint8_t>(d));
  return static_cast<uint8_t>((((s + (s >> 6)) & 0x3F)) | 0x80);
}

uint8_t ReplyCheckByte(const ByteText& reply) {
  if (reply.empty()) return 0;
  uint8_t s = ByteAt(reply, 0);
  for (size_t i = 1; i < reply.size(); ++i) s = FoldIn(s, ByteAt(reply, i));
  return s;
}

ByteText SrvTransact(TRunRecord& run, const ByteText& request, bool isCmd) {
  if (run.Outcome != kOutcomeOk || !run.MayGoOn()) return {};
  TComPort* port = run.Main.SerIF2;
  if (port == nullptr || request.size() > kMaxFrameData) {
    // Longer requests cannot be framed: their length would spill into the command flag.
    run.LinkOk = false;
    return {};
  }

  const uint8_t header = static_cast<uint8_t>(request.size() | (isCmd ? 0x40 : 0x00));
  ByteText frame(1, static_cast<char>(header));
  frame += request;
  // The server acknowledges the header with 0x01, each data byte with 0x02, and the last byte
  // of the frame with 0x03 instead.
  ByteText acks(frame.size(), '\x02');
  acks[0] = '\x01';
  acks.back() = '\x03';
  Exchange(run, *port, frame, acks);
  if (!run.LinkOk) return {};

  int code = -1;
  if (!Step(run, *port, RequestCheckByte(header, request), code)) return {};
  ByteText reply(1, static_cast<char>(code));
  if (code < kFirstLengthReply || code > 0x7F) return reply;
  if (code > kMaxPolledReply) {
    // 63 data bytes would need a poll byte beyond 0xFF; no device sends such a reply.
    run.LinkOk = false;
    return {};
  }

  const int count = code - 0x40;
  uint8_t check = static_cast<uint8_t>(code);
  for (int i = 1; i <= count && run.LinkOk && run.MayGoOn(); ++i) {
    int data = -1;
    if (!Step(run, *port, static_cast<uint8_t>(kPollBase + i), data)) break;
    reply += static_cast<char>(data);
    check = FoldIn(check, static_cast<uint8_t>(data));
  }
  if (run.LinkOk) {
    // Also reached after a termination request cut the polling short: the closing poll is then
    // not sent, and the transaction fails.
    int answer = -1;
    if (Step(run, *port, kPollBase, answer) && answer != check) run.LinkOk = false;
  }
  return run.LinkOk ? reply : ByteText();
}

void LogLineControlError(TRunRecord& run, const TComPort& port, const EComError& error) {
  AddLog(run, "Modem line control failed on " + port.DeviceName() + ": " + error.what());
}

void ReleasePort(TComPort& port) {
  if ((port.Tag() & kTagHeldOpen) == 0) return;
  try {
    port.Close();
  } catch (const EComError&) {
    // A port that fails to close is given up all the same.
  }
  port.SetTag(port.Tag() & ~kTagHeldOpen);
}
