// Port discovery: which port holds the dongle (and the handheld behind it), which the server.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "run/RunRecord.h"

class TComPort;

// Probes the candidate ports with the identification handshake and leaves the dongle open in
// the SerIF1 role and the server in the SerIF2 role, both with a 250 ms read time-out. Failures
// are logged and set Outcome to 1.
void DiscoverPorts(TRunRecord& run);

// Opens the SerIF2 role again on the port the server was last found on (LastPort2), as
// discovery leaves it: for the closing restore of a server that an earlier attempt programmed
// when a later attempt never found it. False when there is no such port or it cannot be opened.
bool ReopenServerPort(TRunRecord& run);

// Attaches the device on port (the handheld behind the dongle, or the server).
void InitDevice(TRunRecord& run, TComPort& port, bool handheld);

// Moves name to the front of list when it is there; with insert, also when it is not.
void PromotePort(std::vector<std::string>& list, const std::string& name, bool insert);

// A hardware version byte as text: high nibble, '.', low nibble, both decimal (0x1A gives 1.10).
std::string HwVerText(uint8_t version);
