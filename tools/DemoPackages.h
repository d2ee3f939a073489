// A consistent set of demo firmware packages for the emulated bench's default scenario: a
// handheld of hardware version 0x22 and a server, with recognisable versions in every image.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/PackageBuilder.h"

inline constexpr uint8_t kDemoHwVersion = 0x22;
// RF modem firmware version byte (after the RF version signature and at image byte 3): "V2.3".
inline constexpr uint8_t kDemoModemVersion = 0x23;
// EEPROM firmware version text (through the pointer at 0x0EFE) and its header byte 1.
inline constexpr const char* kDemoEepromVersionText = "v1.4.2";
inline constexpr uint8_t kDemoEepromVersion = 0x14;
// Server production firmware version and build bytes: "V2.3.2a".
inline constexpr uint8_t kDemoServerVersion = 0x27;
inline constexpr uint8_t kDemoServerBuild = 2;
// Server test firmware version: the low byte of its word 0x0103.
inline constexpr uint8_t kDemoServerTestVersion = 0x01;

// Set-up bytes of every demo handheld image (copied into handheld registers before a run).
inline constexpr uint8_t kDemoSetup2 = 0x0C;
inline constexpr uint8_t kDemoSetup24 = 0x20;
inline constexpr uint8_t kDemoSetup31 = 0x05;
// The start word (bytes 27-28, little-endian) of the test image and of the RF modem image; the
// three bytes before it belong to the image.
inline constexpr uint16_t kDemoTestStart = 0x0103;
inline constexpr uint16_t kDemoModemStart = 0x0203;

// The demo images for a handheld of hardware version hw.
TBytes DemoRfModemImage(uint8_t hw = kDemoHwVersion);
TBytes DemoEepromImage(uint8_t hw = kDemoHwVersion);
TBytes DemoTestImage(uint8_t hw = kDemoHwVersion);
// The server's production image (holding the server version signature) and test image.
TServerImage DemoServerImage();
TServerImage DemoServerTestImage();

struct TDemoFile {
  std::string Name;
  TBytes Bytes;
};
// The demo package files: rfmodem.tpf (blocks for 0x21 and 0x22), eeprom.tpf, server.sff,
// server.hex (the same image as text), tpftune.tpf, srvftune.sff.
std::vector<TDemoFile> DemoPackageFiles();

// Writes DemoPackageFiles into dir (created when missing) and returns the paths written;
// throws std::runtime_error on a file error.
std::vector<std::string> WriteDemoPackages(const std::string& dir);
