#include "front/FrontEndSetup.h"

#include <filesystem>
#include <system_error>
#include <utility>

#include "front/RecordsPlaces.h"
#include "run/MainFields.h"
#include "run/Paths.h"
#include "sim/Bench.h"

namespace {

const char kNoRecords[] = "none";
// The demo packages an installation keeps in its data folder, a build beside its programs.
const char kDemoFolder[] = "demo/";
const char kDemoProbe[] = "rfmodem.tpf";

}  // namespace

TFrontEndSetup ChooseFrontEndSetup(const TFrontEndRequest& request, const TProgramFiles& files,
                                   const TExistsCheck& exists) {
  TFrontEndSetup setup;
  setup.Files = files;
  setup.Bench = request.Bench;

  if (request.Records != kNoRecords) {
    const TRecordsPlaces places = RecordsPlaces(files.IniName, request.Bench, request.Records);
    setup.RecordsLocation = places.Location;
    setup.SpoolFolder = places.SpoolFolder;
    setup.DriftSettingsPath = places.DriftSettings;
  }

  if (request.Bench) {
    // Installed: the data folder's demo folder; a build or portable folder: beside the program.
    const std::string programDir = ProgramDirectory(request.ProgramPath);
    for (const std::string& dir : {files.ProgDir + kDemoFolder, programDir}) {
      if (exists(dir + kDemoProbe)) {
        setup.DemoDir = dir;
        break;
      }
    }
  }
  return setup;
}

const char kRecordsOptionsUsage[] =
    "  --records LOCATION|none  where the production records go: a SQLite file or a\n"
    "                           postgresql:// server (default: tptune.db beside the\n"
    "                           settings file, in the user's data folder for an installed\n"
    "                           program; with --bench tptune-bench.db); checked before\n"
    "                           the first device: a location that cannot keep records\n"
    "                           is refused\n"
    "  --operator NAME          who runs the station, kept in every record\n"
    "  --work-order TEXT        the work order or lot, kept in every record\n";

std::unique_ptr<TBench> OpenBench(const std::string& scenarioFile) {
  return std::make_unique<TBench>(scenarioFile.empty() ? TBench::DefaultScenario()
                                                       : TBench::LoadScenario(scenarioFile));
}

TFrontEndSetup FrontEndSetup(const TFrontEndRequest& request) {
  TFrontEndSetup setup =
      ChooseFrontEndSetup(request, ProgramFiles(request.ProgramPath), [](const std::string& p) {
        std::error_code ec;
        return std::filesystem::exists(FilePath(p), ec);
      });
  setup.Bundle = ReadEmbeddedBundle(request.ProgramPath);
  if (setup.Bundle.Status == TEmbeddedBundle::TStatus::kPresent)
    setup.Choices = BundleChoices(*setup.Bundle.Bytes);
  return setup;
}

bool FillDemoPackages(const TFrontEndSetup& setup, TMainFields& fields) {
  if (setup.DemoDir.empty()) return false;
  bool filled = false;
  const std::pair<TComboModel*, const char*> boxes[] = {{&fields.File1Combo, "rfmodem.tpf"},
                                                         {&fields.File2Combo, "eeprom.tpf"},
                                                         {&fields.File3Combo, "server.sff"}};
  for (const auto& [box, name] : boxes) {
    if (!box->Items.empty() || !box->Text.empty()) continue;
    box->Add(setup.DemoDir + name);
    box->Select(0);
    filled = true;
  }
  return filled;
}

std::vector<std::string> WithFallbackPorts(std::vector<std::string> listed) {
  if (listed.empty())
    for (int i = 0; i < 9; ++i) listed.push_back(FallbackPortName(i));
  return listed;
}

std::string PortListLine(const std::string& port, const std::string& adapter,
                         const std::string& accessMark) {
  std::string line = port;
  for (const std::string* column : {&adapter, &accessMark}) {
    if (column->empty()) continue;
    line += '\t';
    for (char c : *column) line += c == '\t' || c == '\n' || c == '\r' ? ' ' : c;
  }
  return line;
}
