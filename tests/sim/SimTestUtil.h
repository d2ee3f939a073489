// Helpers for driving the bench's virtual ports the way the tool does: one byte out, at most one
// byte back, through TComPort.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "serial/ComPort.h"
#include "sim/Bench.h"

namespace simtest {

inline int64_t NowUs(TBench& bench) {
  return bench.VirtualClock().Now().count();
}

class TToolPort {
 public:
  TToolPort(TBench& bench, const std::string& name, int readConstantMs = 250,
            TBaudRate rate = br9600)
      : clock_(bench.VirtualClock()) {
    port.SetDeviceName(name);
    port.SetBaudRate(rate);
    port.SetDataBits(db8);
    port.SetParity(paNone);
    port.SetStopBits(sb1);
    port.FlowControl().SetDTR(dcDisable);
    port.FlowControl().SetRTS(rcEnable);
    port.Timeouts().SetReadConstant(readConstantMs);
    port.Open();
  }

  // One byte out, its answer back (-1 when none came within the read time-out).
  int Xfer(uint8_t b) {
    port.WriteByte(b);
    try {
      return port.ReadByte();
    } catch (const EComError&) {
      return -1;
    }
  }
  std::vector<int> Xfer(const std::vector<uint8_t>& bytes) {
    std::vector<int> answers;
    for (uint8_t b : bytes) answers.push_back(Xfer(b));
    return answers;
  }

  // The reset pulse of the tool: DTR off with RTS on, 300 ms, DTR on with RTS off, 100 ms, purge.
  void ResetPulse() {
    port.FlowControl().SetDTR(dcDisable);
    port.FlowControl().SetRTS(rcEnable);
    clock_.Sleep(std::chrono::milliseconds(300));
    port.FlowControl().SetDTR(dcEnable);
    port.FlowControl().SetRTS(rcDisable);
    clock_.Sleep(std::chrono::milliseconds(100));
    port.PurgeInput();
  }

  bool Dsr() { return port.ModemStatus().Contains(msDSR); }

  // The identification handshake: 0x80, 0x00, 0xA5, sixteen 0x55.
  std::vector<int> Handshake() {
    std::vector<uint8_t> req{0x80, 0x00, 0xA5};
    req.insert(req.end(), 16, 0x55);
    return Xfer(req);
  }

  TComPort port;

 private:
  Clock& clock_;
};

// What a device answers to a correct identification handshake.
inline std::vector<int> HandshakeAnswer(uint8_t hwVersion, const std::string& identity) {
  std::vector<int> a{hwVersion, 0x55, 0xF0};
  for (char c : identity) a.push_back(static_cast<uint8_t>(c));
  return a;
}

// Check byte of a server request, computed here independently of the bench.
inline uint8_t RequestCheck(uint8_t header, const std::vector<uint8_t>& data) {
  unsigned s = header;
  for (uint8_t d : data) s = (((s << 1) | (s >> 7)) + d) & 0xFF;
  return static_cast<uint8_t>((((s + (s >> 6)) & 0xFF) & 0x3F) | 0x80);
}

// One server transaction as the tool makes it. Returns every answer byte in order: the
// acknowledgements, the reply code, and for a length code the data bytes and the reply check.
inline std::vector<int> Transact(TToolPort& p, bool isCmd, const std::vector<uint8_t>& data) {
  const uint8_t header = static_cast<uint8_t>(data.size() | (isCmd ? 0x40 : 0));
  std::vector<int> out{p.Xfer(header)};
  for (uint8_t d : data) out.push_back(p.Xfer(d));
  int r0 = p.Xfer(RequestCheck(header, data));
  out.push_back(r0);
  if (r0 >= 0x41 && r0 <= 0x7E) {
    for (int i = 1; i <= r0 - 0x40; ++i) out.push_back(p.Xfer(static_cast<uint8_t>(0xC1 + i)));
    out.push_back(p.Xfer(0xC1));
  }
  return out;
}

// The reply part of Transact's answer (reply code and data bytes), after checking the
// acknowledgements and the reply check byte; empty when any of them is wrong.
inline std::vector<int> Reply(const std::vector<int>& answers, size_t requestLength) {
  size_t acks = requestLength + 1;
  if (answers.size() <= acks) return {};
  for (size_t i = 0; i < acks; ++i) {
    int expected = (i == acks - 1) ? 0x03 : (i == 0 ? 0x01 : 0x02);
    if (answers[i] != expected) return {};
  }
  std::vector<int> reply(answers.begin() + static_cast<std::ptrdiff_t>(acks), answers.end());
  int r0 = reply[0];
  if (r0 >= 0x41 && r0 <= 0x7E) {
    unsigned s = static_cast<unsigned>(r0);
    for (size_t i = 1; i + 1 < reply.size(); ++i) {
      s = (((s << 1) | (s >> 7)) + static_cast<unsigned>(reply[i])) & 0xFF;
    }
    if (reply.back() != static_cast<int>(s)) return {};
    reply.pop_back();
  }
  return reply;
}

// A server port that has been identified and attached.
inline void AttachServer(TToolPort& p) {
  p.Handshake();
  p.Xfer(0x00);
  p.Xfer(0x00);
}

// Polls DSR every 50 ms until it is on (at most the given number of polls).
inline bool WaitDsr(TBench& bench, TToolPort& p, int polls = 100) {
  for (int i = 0; i < polls; ++i) {
    if (p.Dsr()) return true;
    bench.VirtualClock().Sleep(std::chrono::milliseconds(50));
  }
  return false;
}

// The dongle port after a reset pulse, identification, the handheld back up, and the first lone
// 0x00 (which the dongle swallows): from here bytes go to the handheld.
inline void AttachHandheld(TBench& bench, TToolPort& p) {
  p.ResetPulse();
  p.Handshake();
  WaitDsr(bench, p);
  p.Xfer(0x00);
}

}  // namespace simtest
