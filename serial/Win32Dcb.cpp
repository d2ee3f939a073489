#include "serial/Win32Dcb.h"

#include "serial/SystemErrors.h"

int ComposeDcb(const TLineConfig& c, DCB& dcb) {
  dcb.DCBlength = sizeof(DCB);
  // Communications devices transfer bytes unchanged; the driver knows no other mode.
  dcb.fBinary = TRUE;

  if (c.baudRate == brCustom) {
    if (c.customBaudRate <= 0) return kErrInvalidArgument;
    dcb.BaudRate = static_cast<DWORD>(c.customBaudRate);
  } else if (c.baudRate != brDefault) {
    dcb.BaudRate = static_cast<DWORD>(BaudRateValue(c.baudRate));
  }

  switch (c.dataBits) {
    case dbDefault: break;
    case db4: dcb.ByteSize = 4; break;
    case db5: dcb.ByteSize = 5; break;
    case db6: dcb.ByteSize = 6; break;
    case db7: dcb.ByteSize = 7; break;
    case db8: dcb.ByteSize = 8; break;
  }
  switch (c.parity) {
    case paDefault: break;
    case paNone: dcb.Parity = NOPARITY; break;
    case paOdd: dcb.Parity = ODDPARITY; break;
    case paEven: dcb.Parity = EVENPARITY; break;
    case paMark: dcb.Parity = MARKPARITY; break;
    case paSpace: dcb.Parity = SPACEPARITY; break;
  }
  switch (c.stopBits) {
    case sbDefault: break;
    case sb1: dcb.StopBits = ONESTOPBIT; break;
    case sb1_5: dcb.StopBits = ONE5STOPBITS; break;
    case sb2: dcb.StopBits = TWOSTOPBITS; break;
  }

  // The five characters and both limits are always written.
  dcb.XonChar = static_cast<char>(c.xOnChar);
  dcb.XoffChar = static_cast<char>(c.xOffChar);
  dcb.ErrorChar = static_cast<char>(c.errorChar);
  dcb.EofChar = static_cast<char>(c.eofChar);
  dcb.EvtChar = static_cast<char>(c.eventChar);
  dcb.XonLim = c.xOnLimit;
  dcb.XoffLim = c.xOffLimit;

  switch (c.dtr) {
    case dcDefault: break;
    case dcDisable: dcb.fDtrControl = DTR_CONTROL_DISABLE; break;
    case dcEnable: dcb.fDtrControl = DTR_CONTROL_ENABLE; break;
    case dcHandshake: dcb.fDtrControl = DTR_CONTROL_HANDSHAKE; break;
  }
  switch (c.rts) {
    case rcDefault: break;
    case rcDisable: dcb.fRtsControl = RTS_CONTROL_DISABLE; break;
    case rcEnable: dcb.fRtsControl = RTS_CONTROL_ENABLE; break;
    case rcHandshake: dcb.fRtsControl = RTS_CONTROL_HANDSHAKE; break;
    case rcToggle: dcb.fRtsControl = RTS_CONTROL_TOGGLE; break;
  }
  switch (c.xOnXOff) {
    case xcDefault: break;
    case xcDisable: dcb.fOutX = FALSE; dcb.fInX = FALSE; break;
    case xcInput: dcb.fOutX = FALSE; dcb.fInX = TRUE; break;
    case xcOutput: dcb.fOutX = TRUE; dcb.fInX = FALSE; break;
    case xcInputOutput: dcb.fOutX = TRUE; dcb.fInX = TRUE; break;
  }

  // Each option sets its flag when chosen and clears it otherwise.
  const TOptions& o = c.options;
  dcb.fParity = o.Contains(opCheckParity);
  dcb.fOutxCtsFlow = o.Contains(opOutputCTSFlow);
  dcb.fOutxDsrFlow = o.Contains(opOutputDSRFlow);
  dcb.fDsrSensitivity = o.Contains(opDSRSensitivity);
  dcb.fTXContinueOnXoff = o.Contains(opTXContinueOnXOff);
  dcb.fErrorChar = o.Contains(opUseErrorChar);
  dcb.fNull = o.Contains(opDiscardNullBytes);
  dcb.fAbortOnError = o.Contains(opAbortOnError);
  return 0;
}
