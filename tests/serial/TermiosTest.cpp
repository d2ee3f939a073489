// How the port's line settings become terminal settings, without a device: every framing, flow
// control and speed member, including those a pseudo-terminal cannot hold.
#include <termios.h>

#include <cerrno>
#include <functional>

#include <gtest/gtest.h>

#include "serial/PosixTermios.h"

namespace {

// A device as a cooked terminal leaves it, with framing and flow control that differ from
// anything the cases below ask for.
termios CookedDevice() {
  termios t{};
  t.c_iflag = ICRNL | IXON | IXANY | ISTRIP | INPCK | IMAXBEL | BRKINT | INLCR | IGNCR;
  t.c_oflag = OPOST | ONLCR;
  t.c_lflag = ICANON | ECHO | ISIG | IEXTEN | ECHONL;
  t.c_cflag = CS7 | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL;
  cfsetispeed(&t, B38400);
  cfsetospeed(&t, B38400);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 5;
  return t;
}

TEST(ComposeTermios, RawModeKeepsWhatTheDefaultsLeaveToTheDevice) {
  termios t = CookedDevice();
  int rate = -1;
  ASSERT_EQ(ComposeTermios(TLineConfig{}, t, rate), 0);
  EXPECT_EQ(rate, 0);
  EXPECT_EQ(t.c_iflag, 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN | ECHONL), 0u);
  EXPECT_EQ(t.c_cc[VMIN], 1);
  EXPECT_EQ(t.c_cc[VTIME], 0);
  EXPECT_EQ(t.c_cc[VSTART], 0x11);
  EXPECT_EQ(t.c_cc[VSTOP], 0x13);
  // Speed, framing, hardware flow control and hang-up on close stay as the device had them.
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B38400));
  EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL),
            static_cast<tcflag_t>(CS7 | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL));
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
}

TEST(ComposeTermios, EachSettingMapsOntoItsFlags) {
  struct Case {
    const char* name;
    std::function<void(TLineConfig&)> set;
    tcflag_t cMask, cFlags;  // c_cflag & cMask == cFlags
    tcflag_t iMask, iFlags;  // c_iflag & iMask == iFlags
  };
  constexpr tcflag_t kParity = PARENB | PARODD | CMSPAR;
  constexpr tcflag_t kSoft = IXON | IXOFF | IXANY;
  const Case cases[] = {
      {"5 data bits", [](TLineConfig& c) { c.dataBits = db5; }, CSIZE, CS5, 0, 0},
      {"6 data bits", [](TLineConfig& c) { c.dataBits = db6; }, CSIZE, CS6, 0, 0},
      {"7 data bits", [](TLineConfig& c) { c.dataBits = db7; }, CSIZE, CS7, 0, 0},
      {"8 data bits", [](TLineConfig& c) { c.dataBits = db8; }, CSIZE, CS8, 0, 0},
      {"no parity", [](TLineConfig& c) { c.parity = paNone; }, kParity, 0, 0, 0},
      {"odd parity", [](TLineConfig& c) { c.parity = paOdd; }, kParity, PARENB | PARODD, 0, 0},
      {"even parity", [](TLineConfig& c) { c.parity = paEven; }, kParity, PARENB, 0, 0},
      {"mark parity", [](TLineConfig& c) { c.parity = paMark; }, kParity,
       PARENB | PARODD | CMSPAR, 0, 0},
      {"space parity", [](TLineConfig& c) { c.parity = paSpace; }, kParity, PARENB | CMSPAR, 0,
       0},
      {"1 stop bit", [](TLineConfig& c) { c.stopBits = sb1; }, CSTOPB, 0, 0, 0},
      {"2 stop bits", [](TLineConfig& c) { c.stopBits = sb2; }, CSTOPB, CSTOPB, 0, 0},
      {"1.5 stop bits with 5 data bits",
       [](TLineConfig& c) {
         c.dataBits = db5;
         c.stopBits = sb1_5;
       },
       CSIZE | CSTOPB, CS5 | CSTOPB, 0, 0},
      {"RTS on: no hardware flow control", [](TLineConfig& c) { c.rts = rcEnable; }, CRTSCTS, 0,
       0, 0},
      {"DTR off: no hardware flow control", [](TLineConfig& c) { c.dtr = dcDisable; }, CRTSCTS,
       0, 0, 0},
      {"RTS handshake", [](TLineConfig& c) { c.rts = rcHandshake; }, CRTSCTS, CRTSCTS, 0, 0},
      {"DTR handshake", [](TLineConfig& c) { c.dtr = dcHandshake; }, CRTSCTS, CRTSCTS, 0, 0},
      {"CTS output flow with RTS on",
       [](TLineConfig& c) {
         c.rts = rcEnable;
         c.options = {opOutputCTSFlow};
       },
       CRTSCTS, CRTSCTS, 0, 0},
      {"XON/XOFF on input", [](TLineConfig& c) { c.xOnXOff = xcInput; }, 0, 0, kSoft, IXOFF},
      {"XON/XOFF on output", [](TLineConfig& c) { c.xOnXOff = xcOutput; }, 0, 0, kSoft, IXON},
      {"XON/XOFF both ways", [](TLineConfig& c) { c.xOnXOff = xcInputOutput; }, 0, 0, kSoft,
       IXON | IXOFF},
      {"XON/XOFF off", [](TLineConfig& c) { c.xOnXOff = xcDisable; }, 0, 0, kSoft, 0},
      {"parity checking", [](TLineConfig& c) { c.options = {opCheckParity}; }, 0, 0, INPCK,
       INPCK},
      {"accepted options without a terminal flag",
       [](TLineConfig& c) { c.options = {opDiscardNullBytes, opTXContinueOnXOff}; }, 0, 0,
       INPCK, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TLineConfig config;
    c.set(config);
    termios t = CookedDevice();
    int rate = -1;
    ASSERT_EQ(ComposeTermios(config, t, rate), 0);
    EXPECT_EQ(t.c_cflag & c.cMask, c.cFlags);
    EXPECT_EQ(t.c_iflag & c.iMask, c.iFlags);
  }
}

TEST(ComposeTermios, SpeedsUseTheTerminalConstantOrTheArbitraryRate) {
  struct Case {
    TBaudRate member;
    int custom;
    speed_t constant;  // expected in the settings (B38400: left as the device had it)
    int arbitrary;     // expected for the arbitrary-rate interface
  } cases[] = {
      {br50, 0, B50, 0},         {br1800, 0, B1800, 0},     {br9600, 0, B9600, 0},
      {br115200, 0, B115200, 0}, {br2000, 0, B38400, 2000}, {br10400, 0, B38400, 10400},
      {br15625, 0, B38400, 15625}, {br256000, 0, B38400, 256000},
      {brCustom, 57600, B57600, 0}, {brCustom, 31250, B38400, 31250},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "member " << c.member << " custom " << c.custom);
    TLineConfig config;
    config.baudRate = c.member;
    config.customBaudRate = c.custom;
    termios t = CookedDevice();
    int rate = -1;
    ASSERT_EQ(ComposeTermios(config, t, rate), 0);
    EXPECT_EQ(cfgetospeed(&t), c.constant);
    EXPECT_EQ(cfgetispeed(&t), c.constant);
    EXPECT_EQ(rate, c.arbitrary);
  }
}

TEST(ComposeTermios, WhatTheTerminalCannotExpressIsInvalid) {
  const std::function<void(TLineConfig&)> cases[] = {
      [](TLineConfig& c) { c.dataBits = db4; },
      [](TLineConfig& c) {
        c.dataBits = db8;
        c.stopBits = sb1_5;
      },
      [](TLineConfig& c) { c.stopBits = sb1_5; },  // the device runs 7 data bits
      [](TLineConfig& c) { c.options = {opOutputDSRFlow}; },
      [](TLineConfig& c) { c.options = {opDSRSensitivity}; },
      [](TLineConfig& c) { c.options = {opUseErrorChar}; },
      [](TLineConfig& c) { c.options = {opAbortOnError}; },
      [](TLineConfig& c) { c.baudRate = brCustom; },  // CustomBaudRate 0
      [](TLineConfig& c) {
        c.baudRate = brCustom;
        c.customBaudRate = -9600;
      },
  };
  int index = 0;
  for (const auto& set : cases) {
    SCOPED_TRACE(index++);
    TLineConfig config;
    set(config);
    termios t = CookedDevice();
    int rate = 0;
    EXPECT_EQ(ComposeTermios(config, t, rate), EINVAL);
  }
}

}  // namespace
