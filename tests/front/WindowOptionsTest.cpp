// The window's command line, shared by the Qt and the Win32 window: options, their values, the
// answers to --help and --version wherever they stand, and the texts for unusable options.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "front/WindowOptions.h"
#include "run/Paths.h"
#include "run/Version.h"

namespace {

TEST(WindowOptions, OptionsAndTheirValues) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    bool bench;
    std::string scenario;
    double speed;
    std::string records, operatorName, workOrder, screenshots;
  } cases[] = {
      {"nothing: the PC's ports, default records", {}, false, "", 1, "", "", "", ""},
      {"the bench on its default scenario", {"--bench"}, true, "", 1, "", "", "", ""},
      {"the bench before another option takes no scenario", {"--bench", "--records", "none"},
       true, "", 1, "none", "", "", ""},
      {"everything",
       {"--bench", "line 7.json", "--bench-speed", "2.5", "--records", "postgresql://db/line",
        "--operator", "Jo Doe", "--work-order", "WO-7", "--screenshots", "shots"},
       true, "line 7.json", 2.5, "postgresql://db/line", "Jo Doe", "WO-7", "shots"},
      {"speed in the C form", {"--bench-speed", "1e3"}, false, "", 1000, "", "", "", ""},
      {"a later value wins", {"--operator", "A", "--operator", "B"}, false, "", 1, "", "B", "",
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TWindowCommand command = ParseWindowCommand(c.args, {"--screenshots"});
    ASSERT_EQ(command.Ask, TWindowAsk::kRun) << command.Text;
    const TWindowOptions& o = command.Options;
    EXPECT_EQ(o.Bench, c.bench);
    EXPECT_EQ(o.Scenario, c.scenario);
    EXPECT_DOUBLE_EQ(o.Speed, c.speed);
    EXPECT_EQ(o.Records, c.records);
    EXPECT_EQ(o.Operator, c.operatorName);
    EXPECT_EQ(o.WorkOrder, c.workOrder);
    const auto shots = o.Own.find("--screenshots");
    EXPECT_EQ(shots == o.Own.end() ? "" : shots->second, c.screenshots);
  }
}

TEST(WindowOptions, HelpVersionAndUnusableOptions) {
  const std::string usage = WindowUsage();
  const std::string unknown = "\"\n\n" + usage;
  const std::string speed = "tptune: --bench-speed needs a factor above 0\n";
  const struct {
    std::vector<std::string> args;
    TWindowAsk ask;
    std::string text;
  } cases[] = {
      {{"--help"}, TWindowAsk::kHelp, usage},
      {{"--version"}, TWindowAsk::kVersion, VersionLine("tptune") + "\n"},
      // Answered even after an unusable option, and before Qt's own options are taken out.
      {{"--frobnicate", "-platform", "offscreen", "--help"}, TWindowAsk::kHelp, usage},
      {{"--bench-speed", "0", "--version"}, TWindowAsk::kVersion, VersionLine("tptune") + "\n"},
      {{"--frobnicate"}, TWindowAsk::kUnusable, "tptune: unknown option \"--frobnicate" + unknown},
      {{"stray.json"}, TWindowAsk::kUnusable, "tptune: unknown option \"stray.json" + unknown},
      // An option without its value, and the window's own option where the other window has none.
      {{"--records"}, TWindowAsk::kUnusable, "tptune: unknown option \"--records" + unknown},
      {{"--operator", "--bench"}, TWindowAsk::kUnusable,
       "tptune: unknown option \"--operator" + unknown},
      {{"--screenshots", "shots"}, TWindowAsk::kUnusable,
       "tptune: unknown option \"--screenshots" + unknown},
      {{"--bench-speed"}, TWindowAsk::kUnusable,
       "tptune: unknown option \"--bench-speed" + unknown},
      {{"--bench-speed", "0"}, TWindowAsk::kUnusable, speed},
      {{"--bench-speed", "-2"}, TWindowAsk::kUnusable, speed},
      {{"--bench-speed", "fast"}, TWindowAsk::kUnusable, speed},
      {{"--bench-speed", "2x"}, TWindowAsk::kUnusable, speed},
      {{"--bench-speed", "2,5"}, TWindowAsk::kUnusable, speed},
      {{"--bench-speed", "inf"}, TWindowAsk::kUnusable, speed},
      {{"--bench-speed", "nan"}, TWindowAsk::kUnusable, speed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front());
    const TWindowCommand command = ParseWindowCommand(c.args);
    EXPECT_EQ(command.Ask, c.ask);
    EXPECT_EQ(command.Text, c.text);
  }
}

// A window whose records cannot be kept does not start: it says why, as the console does.
TEST(WindowOptions, AWindowWhoseRecordsCannotBeKeptDoesNotStart) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() /
                      ("tptune-window-records-" + std::to_string(
                           ::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                       std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  fs::create_directories(dir);
  TWindowOptions options;
  options.Records = (dir / "missing" / "r.db").string();
  try {
    StartWindow(options, (dir / "tptune").string());
    ADD_FAILURE() << "the window started";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()),
              "cannot keep records at " + options.Records + ": the folder " +
                  (dir / "missing").string() +
                  " does not exist. Name a SQLite file in a folder that exists or a "
                  "postgresql:// server with --records, or keep no records with --records none.");
  }
  options.Records = (dir / "r.db").string();
  {
    const TWindowStart start = StartWindow(options, (dir / "tptune").string());
    EXPECT_TRUE(start.Records);
    EXPECT_EQ(start.RecordsNote, "");
  }
  // After the records' threads have ended (Windows removes no folder another handle lists).
  std::error_code ec;
  fs::remove_all(dir, ec);
}

}  // namespace
