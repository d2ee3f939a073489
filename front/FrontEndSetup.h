// The front-end set-up: what the window (tptune), the console (tptune-cli) and the records
// program (tptune-records) work out alike before they do anything else, so that each program of
// one installation or folder reads the same test firmwares and keeps its settings, error log
// and production records in the same place.
//
//  - Program files: where the test firmwares are read and the written files go (an installed
//    program writes into the user's data folder, a portable or build folder beside itself).
//  - Production records: by default the records file beside the settings file (for the emulated
//    bench its own file, never the factory's), with its spool; a location named on the command
//    line instead; or none.
//  - The firmware bundle appended to the program file, and the choices it fixes.
//  - The demo packages of the emulated bench, where this installation or build keeps them.
//  - The serial ports to offer, with this platform's usual names when the system lists none.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "firmware/Packages.h"
#include "records/RecordSink.h"
#include "run/MainFields.h"
#include "run/ProgramFiles.h"

class TBench;

// What the program was asked for.
struct TFrontEndRequest {
  std::string ProgramPath;  // the running program's file
  bool Bench = false;       // the emulated bench stands in for the devices
  std::string Records;      // where records go: empty for the default, "none" for nowhere
};

struct TFrontEndSetup {
  TProgramFiles Files;          // test firmwares, settings file, error log file
  bool Bench = false;
  // The record store ("" when no records are kept), its spool folder and the golden-drift
  // threshold's settings file.
  std::string RecordsLocation;
  std::string SpoolFolder;
  std::string DriftSettingsPath;
  // Who runs the station and the work order or lot (both optional, as the program was started
  // with), for every record that names none.
  std::string Operator;
  std::string WorkOrder;
  // The firmware bundle of the program file and, when it is there, the choices it fixes.
  TEmbeddedBundle Bundle;
  std::optional<TBundleChoices> Choices;
  // The folder with the bench's demo production packages (rfmodem.tpf, eeprom.tpf,
  // server.sff), with its trailing separator; "" when this layout has none or the program does
  // not run the bench.
  std::string DemoDir;
};

// What the set-up looks at besides the program files: whether a file or folder is there.
using TExistsCheck = std::function<bool(const std::string& path)>;

// The set-up for files already chosen; the bundle is left as it is.
TFrontEndSetup ChooseFrontEndSetup(const TFrontEndRequest& request, const TProgramFiles& files,
                                   const TExistsCheck& exists);

// The set-up for the running system: its program files (the user's data folder is made when it
// is chosen), this build's record store, and the bundle read from the program file.
TFrontEndSetup FrontEndSetup(const TFrontEndRequest& request);

// The usage lines of the options the set-up takes from every program that runs the bench job:
// --records, --operator and --work-order.
extern const char kRecordsOptionsUsage[];

// The emulated bench for a scenario file, or for the default scenario when none is named; throws
// what reading the scenario throws.
std::unique_ptr<TBench> OpenBench(const std::string& scenarioFile);

// The record sink for the set-up: the store behind a writer thread of its own, or null when no
// records are kept.
std::unique_ptr<TRecordSink> OpenRecordSink(const TFrontEndSetup& setup);

// Whether records can be kept at the set-up's location, before the first device: the store
// opens and takes writes, or (a server that does not answer now, a file another program holds
// locked) at least the spool can be written and the location is well-formed: a SQLite file in a
// folder that exists, or a postgresql:// (postgres://) server. "" when they can, with note set
// to a line worth showing when they can only be spooled for now; otherwise what is wrong and
// what to do. Slow with an absent server (its connect time-out).
std::string CheckRecordsLocation(const TFrontEndSetup& setup, std::string* note = nullptr);

// On the emulated bench, the file boxes that hold nothing yet (a first start, or a settings file
// without histories) start with the demo packages: the RF modem and EEPROM firmware and the
// server firmware. True when a box was filled.
bool FillDemoPackages(const TFrontEndSetup& setup, TMainFields& fields);

// The ports to offer: those listed, or when none is listed this platform's first nine by their
// usual names.
std::vector<std::string> WithFallbackPorts(std::vector<std::string> listed);
// A serial port's usual name on this platform (index 0 to 8: /dev/ttyS0..., COM1...).
std::string FallbackPortName(int index);

// One line of the console's port list, without its line end: the port's name as the port
// options take it, first and alone in its column (scripts read it), then each after a tab when
// there is one: the adapter's name as the system shows it, and the mark of a port the user may not
// open. Tabs and line breaks in the adapter's name become spaces, so one port stays one line.
std::string PortListLine(const std::string& port, const std::string& adapter,
                         const std::string& accessMark);
