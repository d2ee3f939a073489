// Package decoding: turns the package records of the five slots into the memory images that are
// written into the devices, rejecting packages that are malformed or not built for the connected
// handheld's hardware.
//
// Handheld packages come as a scrambled TPF package (one or more blocks, each for one hardware
// version) or as a plain binary image; server packages as Intel HEX text or as a scrambled SFF
// package (rows of four program words and skip words). Any input is decoded safely: every length
// and address is checked against the package and the image before it is used.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "run/RunRecord.h"

enum class TDecodeStatus { Ok, BadFormat, HwNotSupported };

// The fixed byte that seeds the top of the scrambler register.
inline constexpr uint8_t kScramblerSeed = 0x6B;

// The 24-bit scrambler register at the start of a package, from its two plain leading bytes.
uint32_t ScramblerStart(uint8_t b0, uint8_t b1);
// Advances the register by one step and yields the next key byte.
uint8_t ScramblerStep(uint32_t& reg);

// The package file's bytes inside a record: as many as the record's length field says. None
// when the record is shorter than its length field claims (or than the field itself).
std::optional<std::span<const uint8_t>> PackageBytes(const TPackageRecord& record);

// Decodes a handheld package into TPImage[k] / TPImageLen[k] (k 1..3) for the hardware version
// TPHwVer. On failure "\r\n " + description (+ " (hardware not supported)") is appended to Reply.
TDecodeStatus DecodeTPF(TRunRecord& run, const TPackageRecord* record, int k,
                        const std::string& description);

// Decodes a server package into SrvImage[k] (k 1..2): Intel HEX first, then the scrambled form.
// A HEX text needs its end record and correct record checksums; a package whose image leaves
// word 0x0100 undefined is rejected in either form. On failure "\r\n " + description is
// appended to Reply and the image is left without any word.
TDecodeStatus DecodeSFF(TRunRecord& run, const TPackageRecord* record, int k,
                        const std::string& description);

// The run step: decodes the packages this run needs, logs "Error decoding file(s):" with one
// line per rejected package (Outcome := failed), or rebuilds the version texts.
void DecodePackages(TRunRecord& run);
