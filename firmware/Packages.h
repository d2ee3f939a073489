// Firmware packages: where the five packages of a run come from and how they are brought into
// memory, unchanged, as package records (4-byte little-endian total length, then the file's
// bytes).
//
// A run takes its packages either from files (the two test firmwares from fixed names beside the
// program, the production firmwares from the window's file boxes) or from the embedded bundle,
// a block appended to the program file: a title record, the five package records and a flags
// byte that may fix some of the operator's choices.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "run/Combo.h"
#include "run/MainFields.h"
#include "run/RunRecord.h"

// The package slots (FwBlob indexes) and the names messages use for them.
enum TPackageSlot : int {
  kSlotRfModem = 1,
  kSlotEeprom = 2,
  kSlotServer = 3,
  kSlotTPTest = 4,
  kSlotSrvTest = 5,
};
inline constexpr const char* kDescRfModem = "RF modem firmware";
inline constexpr const char* kDescEeprom = "TallyPilot firmware";
inline constexpr const char* kDescServer = "Server firmware";
inline constexpr const char* kDescTPTest = "TallyPilot test firmware";
inline constexpr const char* kDescSrvTest = "Server test firmware";
// The name a damaged embedded bundle goes by in the reading-error line.
inline constexpr const char* kDescBundle = "embedded firmware bundle";

// The test firmwares' fixed file names in the program's directory.
inline constexpr const char* kTPTestFileName = "tpftune.tpf";
inline constexpr const char* kSrvTestFileName = "srvftune.sff";

// Larger package files are refused: no image comes near this, and the record's 32-bit length
// must hold the size.
inline constexpr uint64_t kMaxPackageFileSize = 16u * 1024 * 1024;

// The record of a package file's bytes.
TPackageRecord MakePackageRecord(std::span<const uint8_t> fileBytes);

// The record of a package file, or none when it cannot be opened or read, is not a plain file,
// or is larger than kMaxPackageFileSize.
std::optional<TPackageRecord> ReadPackageFile(const std::string& fileName);

// A file name as the log and the run trace show it: control characters (bytes below 0x20 and
// 0x7F) are escaped, CR as \r, LF as \n, TAB as \t and the others as \xHH (two upper-case hex
// digits), so that a name can neither end a trace record nor start a log line of its own. Every
// other byte, a backslash included, stays as it is: a Windows path keeps its look, and only a
// name holding a backslash followed by r, n, t or x could be mistaken for an escaped one.
std::string EscapedFileName(const std::string& name);

// Fills FwBlob[slot] from the file named by the combo's text (whatever was typed) or, without a
// combo, by fileName. On failure the slot is empty and errors has grown by
// "\r\n " + description + " \"" + name + "\"", the name escaped by EscapedFileName. After a
// successful read from a combo the name moves to the top of the combo's history. Returns whether
// the file was read.
bool LoadPackageFile(TRunRecord& run, TComboModel* combo, const std::string& fileName,
                     const std::string& description, int slot, std::string& errors);

// Fills the five slots for a run, from the embedded bundle when the program carries one, else
// from the files the run needs. Any failure is logged as one "Error reading file(s):" line and
// fails the run. It reads and updates the window's file boxes, so the front end runs it on its
// own thread.
void LoadPackages(TRunRecord& run);

// ---- The embedded bundle ----

// Bundle flags (the bundle's last byte).
inline constexpr uint8_t kBundleGoldTP = 0x01;        // the handheld is the golden reference
inline constexpr uint8_t kBundleGoldOpen = 0x02;      // ... unless the operator chooses
inline constexpr uint8_t kBundleAnalysis = 0x04;      // analysis only
inline constexpr uint8_t kBundleAnalysisOpen = 0x08;  // ... unless the operator chooses
inline constexpr int kBundleRecordCount = 6;          // title, then the five packages

// The records of a well-formed bundle, each with its length field, in bundle order (0 the
// title, then slots 1 to 5), and its flags byte.
struct TBundleLayout {
  std::array<std::span<const uint8_t>, kBundleRecordCount> Records;
  uint8_t Flags = 0;
};

// Walks the six records from the bundle's start. None when a record's length is below 4 or
// it runs into the flags byte or past the bundle's end; nothing outside the bundle is read.
std::optional<TBundleLayout> WalkBundle(std::span<const uint8_t> bundle);

// Where a program file's bundle starts. The program file is read through readAt, which fills
// count bytes from offset and reports success.
//  - An ELF program: the bundle follows the ELF image, which ends with the last of its tables,
//    segments and sections (normally the section header table); the headers are never changed.
//  - A Windows program ("MZ"): the 32-bit value at (the header offset at 60) + 68.
// Start == fileSize means no bundle. HeaderReadable is false for any other kind of file and for
// headers cut short; the window then closes.
struct TBundleLocation {
  bool HeaderReadable = false;
  uint64_t Start = 0;
};
using TReadAt = std::function<bool(uint64_t offset, uint8_t* buffer, size_t count)>;
TBundleLocation LocateBundle(uint64_t fileSize, const TReadAt& readAt);

// The program's own file, whose bundle the window reads. On Linux /proc/self/exe, except when the
// program was started through the dynamic loader ("ld-linux-x86-64.so.2 PROGRAM"), where that
// names the loader and argv0 names the program; on Windows the process's module file.
std::string ProgramFileName(const char* argv0);

// Reads the program file's bundle (done once, when the window is first activated).
struct TEmbeddedBundle {
  enum class TStatus { kNone, kPresent, kHeaderUnreadable };
  TStatus Status = TStatus::kNone;
  std::shared_ptr<const std::vector<uint8_t>> Bytes;  // set when kPresent
};
TEmbeddedBundle ReadEmbeddedBundle(const std::string& programPath);

// What the window does with a bundle: the choices it fixes (a locked choice takes the given
// value and its controls are disabled) and its caption. A bundled program always restores both
// devices' firmware and hides the file controls. Title is none when the title record is damaged
// (the window keeps its caption).
struct TBundleChoices {
  bool goldLocked = false;
  bool gold = false;
  bool analysisLocked = false;
  bool analysis = false;
  std::optional<std::string> title;
};
TBundleChoices BundleChoices(std::span<const uint8_t> bundle);

// Puts the choices into the run's fields: GoldTP and AnalysisOnly where locked, and both
// restore options on.
void ApplyBundleChoices(const TBundleChoices& choices, TMainFields& main);
