// Writing decoded firmware images into the devices, and putting the handheld's production
// firmware back after it was tuned.
//
// All three are run steps: they do nothing once the run has failed (Outcome not 0) or the
// operator cancelled, report a failure with exactly one log line and Outcome 1, and leave LinkOk
// clear after a link failure so that the rest of the handheld sends nothing.
#pragma once

#include "run/RunRecord.h"

// Writes handheld image k (1 RF modem, 2 EEPROM, 3 test firmware) through the dongle byte by
// byte from address 0 and reads every byte back. Byte 0 (the hardware version byte) is written
// last, once the rest has been verified. A cancelled run never programs the handheld.
void ProgramTP(TRunRecord& run, int k);

// Writes server image k (1 production, 2 test firmware) row by row from the top of program
// memory down, then has the server check every row in the same order. Goes on after a
// termination request while the closing server restore runs (Finishing).
void ProgramServer(TRunRecord& run, int k);

// Restores the handheld's production firmware: writes the RF modem image, lets the handheld run
// its modem firmware update, then writes the EEPROM image and clears the configuration register.
void RestoreTPFirmware(TRunRecord& run);
