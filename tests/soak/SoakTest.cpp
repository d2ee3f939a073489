// The soak's checker catches what it is there to catch, and a fixed series of generated cases
// keeps every invariant.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>

#include "Soak.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string WorkDir() {
  return (fs::temp_directory_path() /
          ("tptune-soak-test-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name()))
      .string();
}

bool HasViolation(const std::vector<std::string>& violations, const std::string& invariant) {
  for (const auto& v : violations)
    if (v.rfind(invariant + ":", 0) == 0) return true;
  return false;
}

// A clean run (one handheld, server restored), then the same outputs with one thing made wrong.
TEST(SoakChecker, CatchesWhatMustNeverHappen) {
  TSoakCase c;
  c.scenario = {{"server", {{"crystal_error", 3.0}}},
                {"handhelds", {{{"crystal_error", 12.5}, {"factory_compensation", 10}}}}};
  c.restoreServer = true;
  c.answers = {"ok", "no"};
  const std::string dir = WorkDir();
  const TSoakOutput clean = RunSoakCase(c, dir, DEMO_PACKAGES_DIR);
  fs::remove_all(dir);
  ASSERT_EQ(clean.status, 0) << clean.out;
  ASSERT_EQ(CheckSoakRun(c, clean), std::vector<std::string>{});

  struct Case {
    const char* invariant;
    std::function<void(TSoakCase&, TSoakOutput&)> spoil;
  } cases[] = {
      {"crash-or-hang", [](TSoakCase&, TSoakOutput& o) { o.ended = false; }},
      {"crash-or-hang", [](TSoakCase&, TSoakOutput& o) { o.status = 134; }},
      {"completed-off-reference",
       [](TSoakCase&, TSoakOutput& o) {
         o.report["handhelds"][0]["frequency_error"] =
             o.report["server"]["frequency_error"].get<double>() + 3.5;
       }},
      {"completed-left-wrong",
       [](TSoakCase&, TSoakOutput& o) { o.report["handhelds"][0]["firmware"] = "test"; }},
      {"left-wrong-unreported",
       [](TSoakCase&, TSoakOutput& o) { o.report["server"]["firmware"] = "test"; }},
      {"left-wrong-unreported",
       [](TSoakCase&, TSoakOutput& o) { o.report["handhelds"][0]["firmware"] = "unknown"; }},
      // Production firmware by its signature, but not the package's image word for word.
      {"left-wrong-unreported",
       [](TSoakCase&, TSoakOutput& o) { o.report["server"]["image_sha256"] = std::string(64, '0'); }},
      // The handheld's own result line (the question repeats it after a blank line).
      {"status-zero-with-failure",
       [](TSoakCase&, TSoakOutput& o) {
         o.out.replace(o.out.find("Completed successfully!\n"), 23, "Procedure failed!");
       }},
      {"server-not-restored",
       [](TSoakCase&, TSoakOutput& o) { o.report["server"]["firmware"] = "test"; }},
      {"stored-under-analysis", [](TSoakCase& k, TSoakOutput&) { k.analysisOnly = true; }},
      {"trace", [](TSoakCase&, TSoakOutput& o) { o.trace += "1<5\n"; }},
      {"trace", [](TSoakCase&, TSoakOutput& o) { o.trace += "1<x\r"; }},
      {"trace", [](TSoakCase&, TSoakOutput& o) { o.traceWritten = false; }},
      {"record-missing", [](TSoakCase&, TSoakOutput& o) { o.completedRecords.clear(); }},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.invariant);
    TSoakCase spoiltCase = c;
    TSoakOutput spoilt = clean;
    k.spoil(spoiltCase, spoilt);
    const auto violations = CheckSoakRun(spoiltCase, spoilt);
    EXPECT_TRUE(HasViolation(violations, k.invariant)) << ::testing::PrintToString(violations);
  }
}

// A fixed series across the whole space: whatever the faults and answers, never a false success.
TEST(Soak, FixedSeriesKeepsEveryInvariant) {
  constexpr uint64_t kSeed = 20261210;
  constexpr uint64_t kCases = SOAK_CASES;
  const std::string dir = WorkDir();
  TSoakTally tally;
  for (uint64_t i = 0; i < kCases; ++i) {
    const TSoakCase c = MakeSoakCase(kSeed, i);
    const TSoakOutput o = RunSoakCase(c, dir, DEMO_PACKAGES_DIR);
    const auto violations = CheckSoakRun(c, o);
    tally.Add(c, o, violations);
    EXPECT_EQ(violations, std::vector<std::string>{})
        << c.scenario.dump() << "\n" << SoakReproduction(c);
  }
  fs::remove_all(dir);
  // The series is worth its time only if it reaches both ends and every fault kind (the short
  // stretch of a sanitizer build cannot meet them all).
  EXPECT_GT(tally.completedRuns, kCases / 10) << tally.Text();
  EXPECT_GT(tally.perStatus[1], kCases / 10) << tally.Text();
  if (kCases >= 300) {
    for (const char* kind : {"lose_answer", "corrupt_answer", "lose_sent", "corrupt_sent",
                             "run_status", "no_dsr", "server_stuck", "dongle_swap",
                             "readback_mismatch", "open_fails"})
      EXPECT_GT(tally.perFault[kind], 0u) << kind;
  }
  std::cout << tally.Text();
}

}  // namespace
