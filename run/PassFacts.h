// What the steps learn about the devices of a pass, beyond what the run itself needs: kept for
// the production record of the device. The steps only note values they have at hand; nothing
// they do depends on these fields.
#pragma once

#include <cstdint>
#include <vector>

#include "run/ByteText.h"

struct TCompFacts {
  bool Known = false;  // the settings were read and logged
  uint8_t Factory = 0, PcTool = 0, Effective = 0;
};

struct TCycleFacts {
  int Trial = 0;  // read as signed
  unsigned Packets = 0;
  int AvgRssi = 0;
  int64_t AfcSum = 0;
  int AfcMin = 0, AfcMax = 0;
};

struct TPassFacts {
  // Of the attempt: the server's identity text from discovery (hardware version byte and 16
  // characters), and the production firmware version it ran when identified (" to V...").
  ByteText ServerId;
  ByteText ServerFwAtStart;

  // Of the device's pass (cleared when a pass starts).
  struct TDevice {
    bool ModemKnown = false;
    uint8_t ModemVersion = 0;
    TCompFacts Handheld, Server;
    std::vector<TCycleFacts> Cycles;
    bool Measured = false;  // the measurement ended with a value
    uint8_t NewComp = 0;    // that value (NewComp serves the progress bar later on)
    bool Stored = false;    // the tuned device accepted the value
    bool ReadBack = false;  // and answered it back
  } Device;
};
