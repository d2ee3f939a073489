// The run's shared services: combo histories, file names, the call queue and the operator wait.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "run/CallQueue.h"
#include "run/Combo.h"
#include "run/MainFields.h"
#include "run/Paths.h"
#include "run/DirectBridge.h"
#include "run/RunRecord.h"

namespace {

TComboModel History(int n) {
  TComboModel c;
  for (int i = 1; i <= n; ++i) c.Add("file" + std::to_string(i));
  return c;
}

TEST(ComboHistory, NewTextGoesOnTopAndTheOldestDropsOut) {
  TComboModel c = History(10);
  c.Text = "new.tpf";
  AddComboHistory(c);
  ASSERT_EQ(c.Items.size(), 10u);
  EXPECT_EQ(c.Items.front(), "new.tpf");
  EXPECT_EQ(c.Items.back(), "file9");
  EXPECT_EQ(c.ItemIndex, 0);
  EXPECT_EQ(c.Text, "new.tpf");
}

TEST(ComboHistory, KnownTextMovesUpWithTheLetterCaseJustUsed) {
  TComboModel c = History(5);
  c.Text = "FILE3";
  AddComboHistory(c);
  EXPECT_EQ(c.Items, (std::vector<std::string>{"FILE3", "file1", "file2", "file4", "file5"}));
  // The top entry stays as it is, whatever case was typed.
  c.Text = "file3";
  AddComboHistory(c);
  EXPECT_EQ(c.Items.front(), "FILE3");
  EXPECT_EQ(c.Items.size(), 5u);
}

TEST(ComboHistory, LineRoundTripSkipsEmptyPiecesAndKeepsEveryEntry) {
  TComboModel c;
  LineToCombo(c, "a\t\tb\t");
  EXPECT_EQ(c.Items, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(ComboToLine(c), "a\tb");
  TComboModel twelve;
  LineToCombo(twelve, ComboToLine(History(12)));
  EXPECT_EQ(twelve.Items.size(), 12u);
  EXPECT_EQ(ComboToLine(TComboModel{}), "");
}

TEST(ComboSelect, FallsBackToTheFirstEntry) {
  TComboModel c;
  for (const char* p : {"Auto detect", "/dev/ttyUSB0", "/dev/ttyS0"}) c.Add(p);
  SelectComboItem(c, "/DEV/TTYS0");
  EXPECT_EQ(c.ItemIndex, 2);
  SelectComboItem(c, "/dev/ttyACM7");
  EXPECT_EQ(c.ItemIndex, 0);
  EXPECT_EQ(c.Text, "Auto detect");
}

// A port selector takes a typed network port as a new entry; other names it does not list
// fall back to "Auto detect".
TEST(ComboSelect, PortSelectorKeepsTypedNetworkPorts) {
  struct Case {
    const char* text;
    int index;
    const char* selected;
    size_t entries;
  } cases[] = {
      {"/dev/ttyS0", 2, "/dev/ttyS0", 3},
      {"rfc2217://10.0.0.5:4001", 3, "rfc2217://10.0.0.5:4001", 4},
      {"SOCKET://bench-7:7000", 3, "SOCKET://bench-7:7000", 4},
      {"/dev/ttyACM7", 0, "Auto detect", 3},
      {"telnet://10.0.0.5:23", 0, "Auto detect", 3},
      {"", 0, "Auto detect", 3},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.text);
    TComboModel c;
    for (const char* p : {"Auto detect", "/dev/ttyUSB0", "/dev/ttyS0"}) c.Add(p);
    SelectPortItem(c, k.text);
    EXPECT_EQ(c.ItemIndex, k.index);
    EXPECT_EQ(c.Text, k.selected);
    EXPECT_EQ(c.Items.size(), k.entries);
    // Chosen again, it is found, not added twice.
    SelectPortItem(c, k.text);
    EXPECT_EQ(c.Items.size(), k.entries);
  }
}

TEST(FileNames, SettingsAndErrorLogBesideTheProgram) {
  struct Case {
    const char* program;
    const char* ini;
    const char* err;
    const char* dir;
  } cases[] = {
      {"/srv/a:b\\c/tune", "/srv/a:b\\c/tune.INI", "/srv/a:b\\c/tune.ERR", "/srv/a:b\\c/"},
      {"/opt/tp/tptune", "/opt/tp/tptune.INI", "/opt/tp/tptune.ERR", "/opt/tp/"},
      {"/opt/tp/tptune-cli", "/opt/tp/tptune-cli.INI", "/opt/tp/tptune-cli.ERR", "/opt/tp/"},
      {"/opt/t.p/run", "/opt/t.p/run.INI", "/opt/t.p/run.ERR", "/opt/t.p/"},
      {"/opt/.abc", "/opt/.abc.INI", "/opt/.abc.ERR", "/opt/"},
      {"tune.exe", "tune.INI", "tune.ERR", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    EXPECT_EQ(SettingsFileName(c.program), c.ini);
    EXPECT_EQ(ErrorLogFileName(SettingsFileName(c.program)), c.err);
    EXPECT_EQ(ProgramDirectory(c.program), c.dir);
  }
  // A Windows name: its folder ends at the backslash there; elsewhere a backslash is a character
  // of the name.
  const char* windowsName = "C:\\tools\\tune.exe";
  EXPECT_EQ(SettingsFileName(windowsName), "C:\\tools\\tune.INI");
  EXPECT_EQ(ProgramDirectory(windowsName),
            std::string(kPathSeparators).find('\\') != std::string::npos ? "C:\\tools\\" : "");
}

// The program keeps file names in UTF-8; the system keeps them in its own form (bytes on POSIX,
// UTF-16 on Windows). A file made by its UTF-8 name is listed by the system under the same name,
// and the listed name reads back as the UTF-8 it was made from: letters of the ANSI code page,
// letters beyond it, and one beyond the 16-bit range (a surrogate pair on Windows).
TEST(FileNames, Utf8NamesReachTheSystemAndComeBack) {
  namespace fs = std::filesystem;
  const fs::path dir =
      fs::temp_directory_path() /
      ("tptune-names-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  fs::create_directories(dir);
  struct Case {
    const char* utf8;
    const char8_t* system;  // the same name as the compiler spells it for the system
  } cases[] = {
      {"tptune.INI", u8"tptune.INI"},
      {"J\xC3\xB6rg M\xC3\xBCller", u8"J\u00f6rg M\u00fcller"},
      {"\xE6\x9D\xB1\xE4\xBA\xAC \xC5\x81\xC3\xB3" "d\xC5\xBA", u8"\u6771\u4eac \u0141\u00f3d\u017a"},
      {"pkg \xF0\x9F\x94\xA7.tpf", u8"pkg \U0001F527.tpf"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.utf8);
    const std::string name = PathText(dir) + "/" + c.utf8;
    EXPECT_EQ(PathText(FilePath(name)), name);
    std::ofstream(FilePath(name)) << "x";
    EXPECT_TRUE(fs::is_regular_file(dir / fs::path(c.system)));
    bool listed = false;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir))
      listed = listed || PathText(entry.path().filename()) == c.utf8;
    EXPECT_TRUE(listed) << "no file of that name in the folder";
  }
  fs::remove_all(dir);
}

class NullBridge : public TDirectBridge {
 public:
  void ShowLogLine(const ByteText& t) override { lines.push_back(t); }
  void ProgressStep(int p, bool) override { steps.push_back(p); }
  std::vector<ByteText> lines;
  std::vector<int> steps;
};

TEST(RunRecord, AddLogTracesAndShowsEvenAnEmptyLine) {
  TMainFields main;
  NullBridge bridge;
  TRunRecord run(main, bridge, RealClock());
  AddLog(run, "");
  AddLog(run, "Programming server, please wait...");
  EXPECT_EQ(run.ErrLog, ">\r>Programming server, please wait...\r");
  EXPECT_EQ(bridge.lines, (std::vector<ByteText>{"", "Programming server, please wait..."}));
  EXPECT_EQ(run.Reply, "Programming server, please wait...");
}

TEST(RunRecord, ProgressMovesOnlyWhenTheWholePercentageGrows) {
  TMainFields main;
  NullBridge bridge;
  TRunRecord run(main, bridge, RealClock());
  uint16_t done = 0;
  for (int i = 0; i < 4; ++i) ProgressAdvance(run, done, 200);
  EXPECT_EQ(bridge.steps, (std::vector<int>{1, 2}));
  EXPECT_EQ(done, 4);
}

TEST(OperatorWait, AReleaseBeforeTheWaitIsNotLost) {
  TMainFields main;
  NullBridge bridge;
  TRunRecord run(main, bridge, RealClock());
  run.ReleaseOperator(true);
  run.OperatorWait();  // returns at once
  EXPECT_EQ(run.Outcome, kOutcomeAnswerNo);
}

TEST(OperatorWait, TerminationEndsThisAndEveryLaterWait) {
  TMainFields main;
  NullBridge bridge;
  TRunRecord run(main, bridge, RealClock());
  std::thread worker([&] {
    run.OperatorWait();
    run.OperatorWait();
  });
  run.RequestTermination();
  worker.join();
  EXPECT_TRUE(run.Terminated());
}

TEST(CallQueue, RunsCallsOnTheServingThreadAndCarriesErrorsBack) {
  TCallQueue queue;
  std::atomic<bool> stop{false};
  std::thread::id servedOn;
  std::thread server([&] {
    while (!stop) queue.Serve(std::chrono::milliseconds(5));
  });
  int value = 0;
  queue.Call([&] {
    servedOn = std::this_thread::get_id();
    value = 42;
  });
  EXPECT_EQ(value, 42);
  EXPECT_EQ(servedOn, server.get_id());
  EXPECT_THROW(queue.Call([] { throw std::runtime_error("x"); }), std::runtime_error);
  // A served call that calls again (package loading logging a failure) does not wait for itself.
  std::vector<int> order;
  queue.Call([&] {
    order.push_back(1);
    queue.Call([&] { order.push_back(2); });
    order.push_back(3);
  });
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  stop = true;
  server.join();
}

}  // namespace
