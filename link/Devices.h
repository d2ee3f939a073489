// The command sets of the two devices. The handheld is reached through the dongle on the port in
// the SerIF1 role with byte commands on a current address; the server takes framed requests.
#pragma once

#include <cstdint>

#include "run/ByteText.h"
#include "run/RunRecord.h"

// Handheld byte commands.
constexpr uint8_t CmdRead = 0x02;       // answer the register at the current address
constexpr uint8_t CmdReadNext = 0x03;   // answer the memory byte at the current address, advance
constexpr uint8_t CmdAddrLo = 0x04;     // + byte: low byte of the current address
constexpr uint8_t CmdAddrHi = 0x05;     // + byte: high byte of the current address
constexpr uint8_t CmdWrite = 0x06;      // + byte: write the register at the current address
constexpr uint8_t CmdWriteNext = 0x07;  // + byte: write the memory byte, advance

// Handheld registers.
constexpr uint8_t RegModemVersion = 16;  // after a start run; before a store run: value to store
constexpr uint8_t RegMacLow = 17;        // 17..20: radio address, 20 most significant
constexpr uint8_t RegFactoryComp = 21;
constexpr uint8_t RegPcToolComp = 22;
constexpr uint8_t CmdReg = 23;  // run command, then the run's status (0 = success)
constexpr uint8_t CfgReg = 57;  // bit 0: word-wide EEPROM

// Handheld run commands.
constexpr uint8_t RunStart = 1;
constexpr uint8_t RunTestCycle = 2;
constexpr uint8_t RunStore = 3;

// Server command frames (IsCmd true) and their reply codes.
constexpr uint8_t SrvGetVersion = 0x00;
constexpr uint8_t SrvGetInfo = 0x01;
constexpr uint8_t SrvParam = 0x02;  // + n: get setting n; + n, v: set it
constexpr uint8_t SrvSetOffset = 0x03;
constexpr uint8_t SrvGetPacket = 0x04;
constexpr uint8_t SrvCheckRow = 0x00;  // + the 10 bytes of a row
constexpr uint8_t SrvSettingPcTool = 3;
constexpr uint8_t SrvReplyTestFw = 0x06;
constexpr uint8_t SrvReplyDone = 0x07;

// Handheld register access; each does nothing when Outcome is not 0, termination was requested
// or LinkOk is already clear, and clears LinkOk on failure.
void WriteReg(TRunRecord& run, uint8_t reg, uint8_t value, bool echo);
uint8_t ReadReg(TRunRecord& run, uint8_t reg);
// Writes the set-up registers of a run from staged handheld image k (1..3), run command first.
void PrepareRun(TRunRecord& run, int image, uint8_t cmd);
// Restarts the handheld with a line pulse, re-identifies the dongle and waits for DSR on five
// samples in a row, at most budget samples 50 ms apart; then re-attaches. LinkOk tells success.
void ResetHandheld(TRunRecord& run, uint16_t budget);
