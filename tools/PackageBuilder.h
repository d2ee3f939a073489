// Builders of firmware packages and bundles, the counterpart of the tuning program's decoders.
// They serve the tests, the fuzz corpus and the demo; the tuning programs never link them.
//
// Every builder produces what the decoders accept and turn back into the same image: a
// handheld image of 64 to 8191 bytes, and server words of 14 bits (the bits a server stores).
// Invalid input (a block of the wrong size, too many package bytes) throws std::invalid_argument.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "run/RunRecord.h"

using TBytes = std::vector<uint8_t>;
// A server image indexed by word address; 0xFFFF marks a word without data.
using TServerImage = std::array<uint16_t, kSrvLastWord + 1>;

// An empty server image (every word 0xFFFF).
TServerImage EmptyServerImage();

// The two leading plain bytes of a scrambled package, then the scrambled bytes of plain.
TBytes ScramblePackage(uint8_t b0, uint8_t b1, std::span<const uint8_t> plain);

// A TPF package of the given image blocks (each 64 to 8191 bytes, its first byte the hardware
// version it is built for), in the given order.
TBytes BuildTPF(const std::vector<TBytes>& blocks, uint8_t b0 = 0x5A, uint8_t b1 = 0xC3);

// A plain binary handheld package: the image itself (65 to 8191 bytes).
TBytes BuildBinary(std::span<const uint8_t> image);

// An Intel HEX text of the image's defined words (two bytes each, low byte first, at twice the
// word address), data records of up to 16 bytes, then the end record; lines end with lineEnd.
std::string BuildHex(const TServerImage& image, const std::string& lineEnd = "\r\n");

// The plain record words of an SFF package: rows of four words (the first below 0x8000) and
// skip words (0x8000 + rows skipped) over rows without any defined word. Rows after the last
// defined one are skipped by a final skip word only when endWithSkip is set.
std::vector<uint16_t> SffRecordWords(const TServerImage& image, bool endWithSkip = false);

// An SFF package of the given record words: the header (length, marker) and the words,
// scrambled.
TBytes BuildSFFFromWords(std::span<const uint16_t> words, uint8_t b0 = 0x3C, uint8_t b1 = 0x96);

// An SFF package of the image (SffRecordWords, then BuildSFFFromWords). The first word of a row
// is stored with its 14 bits, so an undefined first word of a used row comes back as 0x3FFF,
// which programs the same as 0xFFFF.
TBytes BuildSFF(const TServerImage& image, bool endWithSkip = false, uint8_t b0 = 0x3C,
                uint8_t b1 = 0x96);

// A firmware bundle: the title record, the five package records (RF modem, EEPROM, server,
// handheld test, server test) and the flags byte.
TBytes BuildBundle(const std::string& title, const std::array<TBytes, 5>& packages, uint8_t flags);

// A copy of a program file with the bundle appended. A bundle the program already carries is
// replaced. ELF programs: the bundle follows the ELF image. Windows programs: its offset goes
// into the header's image version field. Throws std::invalid_argument for other files.
TBytes AttachBundle(std::span<const uint8_t> program, std::span<const uint8_t> bundle);
