// Before measuring, both devices must run their test firmware and their present crystal
// compensation must be known. The readouts install the test firmware where it is missing, start
// the handheld's RF module, log both devices' compensation settings and note which effective
// value belongs to the device being tuned (DutComp) and which to the golden reference (RefComp).
//
// A compensation value is a signed 8-bit count of steps of 0.45 kHz (n / 1.92955 ppm). Each
// device has a factory setting and a PC-tool setting; the PC-tool setting wins unless it is none
// (0, and for the server also 1).
#pragma once

#include <cstdint>
#include <string>

#include "run/ByteText.h"
#include "run/RunRecord.h"

// The handheld: checks for the test firmware (image 3) and installs it when it is missing, starts
// the RF module and reads its version, radio address (ModemMAC) and compensation settings.
// Link failures only clear LinkOk; the caller reports them.
void ReadTPComp(TRunRecord& run);

// Whether the server answers its information request like the loaded server test firmware. An
// answer of the wrong form clears LinkOk. Reply keeps the answer (its byte 2 is the server's
// factory compensation).
bool SrvTestFwRunning(TRunRecord& run);

// The server: installs its test firmware (image 2) when another firmware runs, then reads its
// compensation settings. Link failures only clear LinkOk.
void ReadSrvComp(TRunRecord& run);

// A compensation value for the log, "12 = 5.4 kHz = 6.2 ppm": the value read as signed, minus
// dutComp when relative; 0 that is not relative means no setting and gives "-". The frequency and
// the ppm figure have one decimal, ties rounded away from zero, with the given decimal separator.
ByteText FormatComp(int8_t dutComp, uint8_t value, bool relative,
                    const std::string& decimalSeparator);
// The same with the run's DutComp and the decimal separator of the current locale.
ByteText FormatComp(const TRunRecord& run, uint8_t value, bool relative);
// The decimal separator of the current C locale ("." when it has none).
std::string LocaleDecimalSeparator();
