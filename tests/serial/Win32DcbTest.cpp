// The device control block the Win32 binding composes from the port's settings: every setting
// lands in its field or in its bits of the flags word, and the Default members leave the
// device's values alone.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "serial/SystemErrors.h"
#include "serial/Win32Dcb.h"

namespace {

// The flags word: the 32 bits after BaudRate that hold fBinary ... fAbortOnError.
uint32_t Flags(const DCB& dcb) {
  uint32_t flags = 0;
  std::memcpy(&flags, reinterpret_cast<const char*>(&dcb) + offsetof(DCB, BaudRate) + 4, 4);
  return flags;
}

void SetFlags(DCB& dcb, uint32_t flags) {
  std::memcpy(reinterpret_cast<char*>(&dcb) + offsetof(DCB, BaudRate) + 4, &flags, 4);
}

// A device that was set up by someone else: 38400 bit/s, 7E2, hardware handshakes, every flag.
DCB UsedDevice() {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = 38400;
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  dcb.StopBits = TWOSTOPBITS;
  SetFlags(dcb, 0x7FFF);
  dcb.XonLim = 100;
  dcb.XoffLim = 200;
  dcb.XonChar = 1;
  dcb.XoffChar = 2;
  return dcb;
}

TEST(ComposeDcb, TheWindowsSettingsGiveTheirControlBlock) {
  TLineConfig c;
  c.baudRate = br9600;
  c.dataBits = db8;
  c.parity = paNone;
  c.stopBits = sb1;
  c.dtr = dcDisable;
  c.rts = rcEnable;
  c.xOnXOff = xcDisable;
  DCB dcb = UsedDevice();
  ASSERT_EQ(ComposeDcb(c, dcb), 0);
  EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  // Binary, DTR off, RTS on, no flow control of any kind, no parity check, nulls kept.
  EXPECT_EQ(Flags(dcb) & 0x7FFF, 0x0001u | 0x0000u | 0x1000u);
  EXPECT_EQ(dcb.XonChar, 0x11);
  EXPECT_EQ(dcb.XoffChar, 0x13);
  EXPECT_EQ(dcb.ErrorChar, 0);
  EXPECT_EQ(dcb.EofChar, 0);
  EXPECT_EQ(dcb.EvtChar, 0);
  EXPECT_EQ(dcb.XonLim, 0);
  EXPECT_EQ(dcb.XoffLim, 0);
}

TEST(ComposeDcb, DefaultMembersKeepTheDevicesValues) {
  DCB dcb = UsedDevice();
  ASSERT_EQ(ComposeDcb(TLineConfig{}, dcb), 0);
  EXPECT_EQ(dcb.BaudRate, 38400u);
  EXPECT_EQ(dcb.ByteSize, 7);
  EXPECT_EQ(dcb.Parity, EVENPARITY);
  EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
  // DTR, RTS and software flow control stay; the options (none chosen) are cleared.
  EXPECT_EQ(Flags(dcb) & 0x7FFF, 0x0001u | 0x0030u | 0x3000u | 0x0300u);
}

TEST(ComposeDcb, EachSettingMapsOntoItsField) {
  struct Case {
    const char* name;
    std::function<void(TLineConfig&)> set;
    uint32_t mask, flags;  // Flags(dcb) & mask == flags
    std::function<bool(const DCB&)> fields;
  };
  auto any = [](const DCB&) { return true; };
  const Case cases[] = {
      {"115200 bit/s", [](TLineConfig& c) { c.baudRate = br115200; }, 0, 0,
       [](const DCB& d) { return d.BaudRate == 115200; }},
      {"custom rate", [](TLineConfig& c) { c.baudRate = brCustom; c.customBaudRate = 31250; }, 0, 0,
       [](const DCB& d) { return d.BaudRate == 31250; }},
      {"5 data bits", [](TLineConfig& c) { c.dataBits = db5; }, 0, 0,
       [](const DCB& d) { return d.ByteSize == 5; }},
      {"odd parity", [](TLineConfig& c) { c.parity = paOdd; }, 0, 0,
       [](const DCB& d) { return d.Parity == ODDPARITY; }},
      {"mark parity", [](TLineConfig& c) { c.parity = paMark; }, 0, 0,
       [](const DCB& d) { return d.Parity == MARKPARITY; }},
      {"space parity", [](TLineConfig& c) { c.parity = paSpace; }, 0, 0,
       [](const DCB& d) { return d.Parity == SPACEPARITY; }},
      {"1.5 stop bits", [](TLineConfig& c) { c.stopBits = sb1_5; }, 0, 0,
       [](const DCB& d) { return d.StopBits == ONE5STOPBITS; }},
      {"DTR off", [](TLineConfig& c) { c.dtr = dcDisable; }, 0x0030, 0x00, any},
      {"DTR on", [](TLineConfig& c) { c.dtr = dcEnable; }, 0x0030, 0x10, any},
      {"DTR handshake", [](TLineConfig& c) { c.dtr = dcHandshake; }, 0x0030, 0x20, any},
      {"RTS off", [](TLineConfig& c) { c.rts = rcDisable; }, 0x3000, 0x0000, any},
      {"RTS on", [](TLineConfig& c) { c.rts = rcEnable; }, 0x3000, 0x1000, any},
      {"RTS handshake", [](TLineConfig& c) { c.rts = rcHandshake; }, 0x3000, 0x2000, any},
      {"RTS toggle", [](TLineConfig& c) { c.rts = rcToggle; }, 0x3000, 0x3000, any},
      {"XOn/XOff off", [](TLineConfig& c) { c.xOnXOff = xcDisable; }, 0x0300, 0x000, any},
      {"XOn/XOff input", [](TLineConfig& c) { c.xOnXOff = xcInput; }, 0x0300, 0x200, any},
      {"XOn/XOff output", [](TLineConfig& c) { c.xOnXOff = xcOutput; }, 0x0300, 0x100, any},
      {"XOn/XOff both", [](TLineConfig& c) { c.xOnXOff = xcInputOutput; }, 0x0300, 0x300, any},
      {"parity check", [](TLineConfig& c) { c.options = {opCheckParity}; }, 0x4CCE, 0x0002, any},
      {"CTS flow", [](TLineConfig& c) { c.options = {opOutputCTSFlow}; }, 0x4CCE, 0x0004, any},
      {"DSR flow", [](TLineConfig& c) { c.options = {opOutputDSRFlow}; }, 0x4CCE, 0x0008, any},
      {"DSR sensitivity", [](TLineConfig& c) { c.options = {opDSRSensitivity}; }, 0x4CCE, 0x0040, any},
      {"continue on XOff", [](TLineConfig& c) { c.options = {opTXContinueOnXOff}; }, 0x4CCE, 0x0080, any},
      {"error character", [](TLineConfig& c) { c.options = {opUseErrorChar}; }, 0x4CCE, 0x0400, any},
      {"discard nulls", [](TLineConfig& c) { c.options = {opDiscardNullBytes}; }, 0x4CCE, 0x0800, any},
      {"abort on error", [](TLineConfig& c) { c.options = {opAbortOnError}; }, 0x4CCE, 0x4000, any},
      {"characters and limits",
       [](TLineConfig& c) {
         c.xOnChar = 'a'; c.xOffChar = 'b'; c.errorChar = '?'; c.eofChar = 0x1A; c.eventChar = '\r';
         c.xOnLimit = 10; c.xOffLimit = 20;
       },
       0, 0,
       [](const DCB& d) {
         return d.XonChar == 'a' && d.XoffChar == 'b' && d.ErrorChar == '?' && d.EofChar == 0x1A &&
                d.EvtChar == '\r' && d.XonLim == 10 && d.XoffLim == 20;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TLineConfig config;
    c.set(config);
    DCB dcb = UsedDevice();
    ASSERT_EQ(ComposeDcb(config, dcb), 0);
    EXPECT_EQ(Flags(dcb) & c.mask, c.flags);
    EXPECT_TRUE(c.fields(dcb));
  }
}

TEST(ComposeDcb, ACustomRateNeedsAPositiveValue) {
  TLineConfig c;
  c.baudRate = brCustom;
  DCB dcb = UsedDevice();
  EXPECT_EQ(ComposeDcb(c, dcb), kErrInvalidArgument);
}

}  // namespace
