// Line settings -> termios.
//
// Raw mode: no canonical input, echo, signals or CR/NL translation, no 8th-bit stripping, no
// output processing, receiver on, modem-control lines ignored for opening, and a read call
// returning what has arrived (VMIN 1, VTIME 0: the binding waits with poll()). Members ending in
// Default keep the device's value (speed, character size, parity, stop bits, hardware flow
// control). Software flow control is off unless XOnXOff asks for it: otherwise 0x11/0x13 bytes
// of the data would be taken by the driver.
//
// What the terminal interface cannot express:
// - db4: there is no 4-bit character size: EINVAL.
// - sb1_5: a UART sends 1.5 stop bits when told to send two with 5-bit characters, so sb1_5
//   with 5 data bits sets two stop bits; with other sizes it is EINVAL, the same combination
//   the original platform's drivers refuse.
// - dcHandshake: there is no DTR/DSR handshake; RTS/CTS hardware flow control (CRTSCTS) is used
//   instead and the binding raises DTR. rcHandshake and opOutputCTSFlow: CRTSCTS, which covers
//   both directions at once.
// - rcToggle (RTS on while sending) is not a terminal setting: the binding uses the driver's
//   RS-485 mode.
// - XOnLimit/XOffLimit and the error, end-of-file and event characters: the driver keeps its
//   own queue limits and has no such characters in raw mode; the values are accepted, unused.
// - opCheckParity: INPCK. opDiscardNullBytes: done by the binding's Read.
//   opTXContinueOnXOff: accepted, unused (it only concerns when the driver itself sent XOFF).
// - opOutputDSRFlow, opDSRSensitivity, opUseErrorChar, opAbortOnError: the terminal driver
//   cannot hold output on DSR, ignore input while DSR is low, replace bytes received with
//   errors or abort transfers on line errors; asking for them is EINVAL rather than a silent
//   difference in the data.
#include "serial/PosixTermios.h"

#include <cerrno>
#include <optional>

namespace {

// The B-constant of a rate the terminal interface names directly, if it has one.
std::optional<speed_t> StandardSpeed(int rate) {
  struct Entry {
    int rate;
    speed_t speed;
  };
  static constexpr Entry kSpeeds[] = {
      {50, B50},         {75, B75},         {110, B110},       {134, B134},
      {150, B150},       {200, B200},       {300, B300},       {600, B600},
      {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
      {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
      {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
  };
  for (const Entry& e : kSpeeds)
    if (e.rate == rate) return e.speed;
  return std::nullopt;
}

}  // namespace

int ComposeTermios(const TLineConfig& c, termios& t, int& arbitraryRate) {
  arbitraryRate = 0;
  static constexpr TOption kUnsupported[] = {opOutputDSRFlow, opDSRSensitivity, opUseErrorChar,
                                             opAbortOnError};
  for (TOption o : kUnsupported)
    if (c.options.Contains(o)) return EINVAL;

  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                      IXON | IXOFF | IXANY | INPCK | IGNPAR | IMAXBEL);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;

  if (c.baudRate != brDefault) {
    const int rate = c.baudRate == brCustom ? c.customBaudRate : BaudRateValue(c.baudRate);
    if (rate <= 0) return EINVAL;
    if (auto speed = StandardSpeed(rate)) {
      cfsetispeed(&t, *speed);
      cfsetospeed(&t, *speed);
    } else {
      arbitraryRate = rate;
    }
  }

  switch (c.dataBits) {
    case dbDefault: break;
    case db4: return EINVAL;
    case db5: t.c_cflag = (t.c_cflag & ~CSIZE) | CS5; break;
    case db6: t.c_cflag = (t.c_cflag & ~CSIZE) | CS6; break;
    case db7: t.c_cflag = (t.c_cflag & ~CSIZE) | CS7; break;
    case db8: t.c_cflag = (t.c_cflag & ~CSIZE) | CS8; break;
  }

  constexpr tcflag_t kParityBits = PARENB | PARODD | CMSPAR;
  switch (c.parity) {
    case paDefault: break;
    case paNone: t.c_cflag &= ~kParityBits; break;
    case paOdd: t.c_cflag = (t.c_cflag & ~kParityBits) | PARENB | PARODD; break;
    case paEven: t.c_cflag = (t.c_cflag & ~kParityBits) | PARENB; break;
    case paMark: t.c_cflag = (t.c_cflag & ~kParityBits) | PARENB | CMSPAR | PARODD; break;
    case paSpace: t.c_cflag = (t.c_cflag & ~kParityBits) | PARENB | CMSPAR; break;
  }

  switch (c.stopBits) {
    case sbDefault: break;
    case sb1: t.c_cflag &= ~CSTOPB; break;
    case sb1_5:
      if ((t.c_cflag & CSIZE) != CS5) return EINVAL;
      t.c_cflag |= CSTOPB;
      break;
    case sb2: t.c_cflag |= CSTOPB; break;
  }

  // With DTR and RTS both at their default the device keeps its hardware flow control unless
  // opOutputCTSFlow asks for it.
  const bool rtsCts =
      c.rts == rcHandshake || c.dtr == dcHandshake || c.options.Contains(opOutputCTSFlow);
  if (rtsCts)
    t.c_cflag |= CRTSCTS;
  else if (c.rts != rcDefault || c.dtr != dcDefault)
    t.c_cflag &= ~CRTSCTS;

  switch (c.xOnXOff) {
    case xcDefault:
    case xcDisable: break;
    case xcInput: t.c_iflag |= IXOFF; break;    // the driver sends XOFF/XON as its queue fills
    case xcOutput: t.c_iflag |= IXON; break;    // the driver stops sending on XOFF
    case xcInputOutput: t.c_iflag |= IXON | IXOFF; break;
  }
  t.c_cc[VSTART] = c.xOnChar;
  t.c_cc[VSTOP] = c.xOffChar;

  if (c.options.Contains(opCheckParity)) t.c_iflag |= INPCK;
  return 0;
}
