#include "tuning/Readout.h"

#include <charconv>
#include <clocale>

#include "firmware/Program.h"
#include "link/Devices.h"
#include "link/Discovery.h"
#include "link/Link.h"
#include "serial/ComPort.h"

namespace {

// Word 0x0103 of the server test image carries the test firmware's version in its low byte.
constexpr uint16_t kSrvTestVersionWord = 0x0103;
constexpr uint8_t kSrvInfoReply = 0x42;
constexpr uint8_t kSrvParamReply = 0x41;
// For the server a PC-tool setting of 1 means none, like 0.
constexpr uint8_t kSrvPcToolNone = 1;

ByteText Hex8(uint32_t value) {
  static const char kDigits[] = "0123456789ABCDEF";
  ByteText text(8, '0');
  for (int i = 7; i >= 0; --i) {
    text[i] = kDigits[value & 0xF];
    value >>= 4;
  }
  return text;
}

void LogSettings(TRunRecord& run, const ByteText& heading, uint8_t factory, uint8_t pctool,
                 uint8_t effective) {
  AddLog(run, heading);
  AddLog(run, "- from factory = " + FormatComp(run, factory, false));
  AddLog(run, "- from PC tool = " + FormatComp(run, pctool, false));
  AddLog(run, "- effective = " + FormatComp(run, effective, false));
}

// x rounded to one decimal, ties away from zero, as "d.d" with the given separator. The decision
// is taken on the exact decimal expansion of the double, so a value stored just below a tie
// (7 x 0.45 is 3.14999...) rounds down and an exact tie (2.25) rounds up.
std::string OneDecimal(double x, const std::string& separator) {
  const bool negative = x < 0;
  const double magnitude = negative ? -x : x;
  // 64 decimals hold the exact expansion of every value rendered here (at least 0.45 and below
  // 1000 in magnitude, or 0), so the rounding decision sees the true remainder.
  char buffer[128];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::fixed, 64);
  const std::string digits(buffer, result.ec == std::errc() ? result.ptr : buffer);
  const size_t point = digits.find('.');
  if (point == std::string::npos || point + 2 >= digits.size()) return "?";

  std::string whole = digits.substr(0, point);
  int tenth = digits[point + 1] - '0';
  if (digits[point + 2] >= '5') {
    if (++tenth == 10) {
      tenth = 0;
      // Carry into the integer part.
      int i = static_cast<int>(whole.size()) - 1;
      while (i >= 0 && whole[i] == '9') whole[i--] = '0';
      if (i < 0)
        whole.insert(whole.begin(), '1');
      else
        ++whole[i];
    }
  }
  const bool zero = whole.find_first_not_of('0') == std::string::npos && tenth == 0;
  return (negative && !zero ? "-" : "") + whole + separator + static_cast<char>('0' + tenth);
}

}  // namespace

std::string LocaleDecimalSeparator() {
  const std::lconv* conv = std::localeconv();
  if (conv == nullptr || conv->decimal_point == nullptr || conv->decimal_point[0] == '\0')
    return ".";
  return conv->decimal_point;
}

ByteText FormatComp(int8_t dutComp, uint8_t value, bool relative,
                    const std::string& decimalSeparator) {
  if (value == 0 && !relative) return "-";
  int n = static_cast<int8_t>(value);
  if (relative) n -= dutComp;
  // Computed in extended precision, then stored as double: the last digit of values such as
  // 13 x 0.45 (5.85) depends on it.
  const double kHz = static_cast<double>(static_cast<long double>(n) * 0.45L);
  const double ppm = static_cast<double>(static_cast<long double>(n) / 1.92955L);
  return std::to_string(n) + " = " + OneDecimal(kHz, decimalSeparator) + " kHz = " +
         OneDecimal(ppm, decimalSeparator) + " ppm";
}

ByteText FormatComp(const TRunRecord& run, uint8_t value, bool relative) {
  return FormatComp(run.DutComp, value, relative, LocaleDecimalSeparator());
}

void ReadTPComp(TRunRecord& run) {
  if (run.Outcome != kOutcomeOk || run.Terminated()) return;
  TComPort& port = *run.Main.SerIF1;
  auto& test = run.TPImage[3];

  // The handheld runs the test firmware when its memory holds the image's byte 0 at address 0
  // and the image's three bytes before the address W (bytes 27-28 of the image) at W-3..W-1.
  const ByteText home = Bytes({CmdAddrLo, 0x00, CmdAddrHi, 0x00});
  Exchange(run, port, home, home);
  bool same = true;
  auto readNext = [&run, &port](bool& same, uint16_t address, const auto& image) {
    if (run.LinkOk) run.LinkOk = SendByte(run, port, CmdReadNext);
    if (run.LinkOk) {
      const int v = RecvByte(run, port);
      run.LinkOk = v >= 0;
      // An address beyond the image buffer cannot hold the image's byte.
      same = same && address < kTPImageSize && v == image[address];
    }
  };
  readNext(same, 0, test);

  const uint16_t w = static_cast<uint16_t>(test[27] | (test[28] << 8));
  uint16_t a = static_cast<uint16_t>(w - 3);
  run.Reply = Bytes({CmdAddrLo, static_cast<uint8_t>(a & 0xFF), CmdAddrHi,
                     static_cast<uint8_t>(a >> 8)});
  if (run.LinkOk) {
    const ByteText request = run.Reply;
    Exchange(run, port, request, request);
  }
  for (int i = 0; i < 3; ++i) {
    readNext(same, a, test);
    a = static_cast<uint16_t>(a + 1);
  }

  // The start run takes the 16-bit value at bytes 27-28 less 2; it is lowered in the image
  // itself, so the programmed test firmware carries the same value.
  const uint16_t lowered = static_cast<uint16_t>(w - 2);
  test[27] = static_cast<uint8_t>(lowered & 0xFF);
  test[28] = static_cast<uint8_t>(lowered >> 8);

  if (run.LinkOk && !same && !run.Terminated()) {
    AddLog(run, "Test firmware needs to be installed on TallyPilot");
    ProgramTP(run, 3);
  }
  if (run.LinkOk && !run.Terminated()) {
    AddLog(run, "Initializing TallyPilot RF module...");
    PrepareRun(run, 3, RunStart);
  }
  uint8_t version = 0, factory = 0, pctool = 0;
  if (run.LinkOk && !run.Terminated()) {
    // RF initialisation can take long: up to 2500 DSR samples.
    ResetHandheld(run, 2500);
    if (ReadReg(run, CmdReg) != 0) run.LinkOk = false;
    version = ReadReg(run, RegModemVersion);
    factory = ReadReg(run, RegFactoryComp);
    pctool = ReadReg(run, RegPcToolComp);
    // Most significant byte first, each read in its own statement to keep the order on the wire.
    uint32_t mac = static_cast<uint32_t>(ReadReg(run, RegMacLow + 3)) << 24;
    mac |= static_cast<uint32_t>(ReadReg(run, RegMacLow + 2)) << 16;
    mac |= static_cast<uint32_t>(ReadReg(run, RegMacLow + 1)) << 8;
    mac |= ReadReg(run, RegMacLow);
    run.ModemMAC = mac;
    // The golden reference's settings decide every result, and the handheld's answers carry no
    // check of their own: they are read twice and must agree.
    if (run.Main.GoldTP && run.LinkOk &&
        (ReadReg(run, RegFactoryComp) != factory || ReadReg(run, RegPcToolComp) != pctool))
      run.LinkOk = false;
  }
  if (!run.LinkOk || run.Terminated()) return;

  AddLog(run, "RF modem V" + HwVerText(version) + ", MAC=0x" + Hex8(run.ModemMAC));
  run.Facts.Device.ModemKnown = true;
  run.Facts.Device.ModemVersion = version;
  if (run.ModemMacRead) run.ModemMacRead(run);
  const uint8_t effective = pctool != 0 ? pctool : factory;
  LogSettings(run, "TallyPilot offset compensation settings:", factory, pctool, effective);
  run.Facts.Device.Handheld = {true, factory, pctool, effective};
  if (run.Main.GoldTP)
    run.RefComp = static_cast<int8_t>(effective);
  else
    run.DutComp = static_cast<int8_t>(effective);
}

bool SrvTestFwRunning(TRunRecord& run) {
  run.Reply = SrvTransact(run, Bytes({SrvGetInfo}), true);
  if (run.Reply.size() != 3 || ByteAt(run.Reply, 0) != kSrvInfoReply) {
    run.LinkOk = false;
    return false;
  }
  return ByteAt(run.Reply, 1) == (run.SrvImage[2][kSrvTestVersionWord] & 0xFF);
}

void ReadSrvComp(TRunRecord& run) {
  if (run.Outcome != kOutcomeOk || run.Terminated() || !run.LinkOk) return;

  bool running = SrvTransact(run, Bytes({SrvGetVersion}), true) == Bytes({SrvReplyTestFw});
  if (run.LinkOk && running) running = SrvTestFwRunning(run);
  if (run.LinkOk && !running && !run.Terminated()) {
    AddLog(run, "Test firmware needs to be installed on server");
    // The server no longer runs the version it had, so the closing restore must reprogram it.
    run.SrvVer.clear();
    ProgramServer(run, 2);
    if (run.LinkOk) run.LinkOk = SrvTestFwRunning(run);
  }
  if (!run.LinkOk) return;

  const ByteText info = run.Reply;
  const uint8_t factory = ByteAt(info, 2);
  run.Reply = SrvTransact(run, Bytes({SrvParam, SrvSettingPcTool}), true);
  if (run.Reply.size() != 2 || ByteAt(run.Reply, 0) != kSrvParamReply) run.LinkOk = false;
  if (!run.LinkOk) return;
  // As the golden reference its settings decide every result, and the server's check byte does
  // not catch every garbled answer: they are read twice and must agree.
  if (!run.Main.GoldTP) {
    const ByteText param = run.Reply;
    if (SrvTransact(run, Bytes({SrvGetInfo}), true) != info ||
        SrvTransact(run, Bytes({SrvParam, SrvSettingPcTool}), true) != param)
      run.LinkOk = false;
    run.Reply = param;
    if (!run.LinkOk) return;
  }

  uint8_t pctool = ByteAt(run.Reply, 1);
  if (pctool == kSrvPcToolNone) pctool = 0;
  const uint8_t effective = pctool != 0 ? pctool : factory;
  LogSettings(run, "Server offset compensation settings:", factory, pctool, effective);
  run.Facts.Device.Server = {true, factory, pctool, effective};
  if (run.Main.GoldTP)
    run.DutComp = static_cast<int8_t>(effective);
  else
    run.RefComp = static_cast<int8_t>(effective);
}
