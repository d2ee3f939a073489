// The identification handshake both devices answer on a freshly reset port, and the DSR line
// the dongle drives while a handheld is plugged in and up.
#pragma once

#include <chrono>
#include <cstdint>

// The handshake: version byte, then 0x55, then 0xF0, then the 16 identity characters.
constexpr uint8_t IdStart = 0x80;
constexpr uint8_t IdSync = 0x00;
constexpr uint8_t IdCheck = 0xA5;
constexpr uint8_t IdNext = 0x55;
constexpr int kIdentityChars = 16;

// DSR counts as steady once five samples 50 ms apart agree.
constexpr int kDsrSamplesInARow = 5;
constexpr std::chrono::milliseconds kDsrSampleGap{50};
