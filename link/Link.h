// Lock-step byte exchange with the two devices. The PC sends one byte and waits for exactly one
// byte in answer before it sends the next. Nothing here logs or raises: failures clear LinkOk
// (and serial errors are caught and turned into failed bytes); the caller decides what to say.
//
// Every byte sent or received is recorded in the run trace (ErrLog): the port's trace digit
// ('1' plus bit 0 of its Tag), then '<' and the byte sent or '>' and the byte received (-1 for
// none), in decimal, ended by a carriage return; a refused write is preceded by '!'.
#pragma once

#include <cstdint>

#include "run/ByteText.h"
#include "run/RunRecord.h"
#include "serial/ComPort.h"

// Bit 1 of a port object's Tag: the worker holds the port open.
constexpr int kTagHeldOpen = 2;

// The trace digit of a port object: '1' for the object created as SerIF1, '2' for the other.
char TraceDigit(const TComPort& port);

// One byte out. False when the port refused it (or nothing was done after a termination request).
bool SendByte(TRunRecord& run, TComPort& port, uint8_t value);
// One byte in (0..255), or -1 when none came within the read time-out, or when two or more bytes
// were already waiting (the link is out of step).
int RecvByte(TRunRecord& run, TComPort& port);

// Sends request byte by byte, collecting the answers in Reply; with a non-empty expected text,
// LinkOk becomes whether Reply equals it.
void Exchange(TRunRecord& run, TComPort& port, const ByteText& request,
              const ByteText& expected = {});

// One framed transaction with the server (always on the port in the SerIF2 role): the reply code
// and its data bytes, or an empty text on failure.
ByteText SrvTransact(TRunRecord& run, const ByteText& request, bool isCmd);

// Check bytes of the server frame: the request's (from the header and data bytes) and the
// reply's (from the reply code and data bytes).
uint8_t RequestCheckByte(uint8_t header, const ByteText& data);
uint8_t ReplyCheckByte(const ByteText& reply);

// Closes the port when the worker holds it open (errors ignored) and clears the mark.
void ReleasePort(TComPort& port);

// Logs why the driver refused a modem line change on an open port (a reset pulse that did not
// happen), so that the log and the trace say so before the step fails.
void LogLineControlError(TRunRecord& run, const TComPort& port, const EComError& error);
