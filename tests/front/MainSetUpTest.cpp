// The main window's set-up view without a run, against a fake view that records each rendered
// state: the first activation, which choice controls are offered, the port lists and file
// histories, browsing, the settings file and the embedded bundle.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "firmware/Packages.h"
#include "front/FrontEndSetup.h"
#include "front/MainPresenter.h"
#include "run/Clock.h"
#include "run/MainFields.h"
#include "serial/ComPort.h"
#include "tests/front/FakeMainView.h"
#include "tests/front/ProgramFolder.h"
#include "tools/PackageBuilder.h"
#include "tuning/SerThread.h"

namespace {

using TLines = std::vector<std::string>;

// One window: its port objects, the run's fields, the fake view and the presenter.
struct TWindow {
  TComPort port1, port2;
  TMainFields fields;
  TFakeView view;
  std::unique_ptr<TMainPresenter> presenter;

  TWindow(TMainPresenterOptions options) {
    SetUpPortObject(port1, 0);
    SetUpPortObject(port2, 1);
    fields.SerIF1 = &port1;
    fields.SerIF2 = &port2;
    presenter =
        std::make_unique<TMainPresenter>(view, fields, RealClock(), nullptr, std::move(options));
    view.presenter = presenter.get();
  }
  TMainPresenter& P() { return *presenter; }
  // What the view shows: the state it was given last.
  const TMainState& Shown() const { return view.states.back(); }
  const TComboModel& Box(TMainBox box) const { return Shown().Box(box).Combo; }
};

class MainSetUp : public ::testing::Test {
 protected:
  MainSetUp() {
    setup_.Files.ProgDir = folder_.Dir();
    setup_.Files.IniName = folder_.IniName();
  }

  // A new window on the program folder; activated unless asked otherwise.
  std::unique_ptr<TWindow> Open(bool activate = true) {
    TMainPresenterOptions o;
    o.Setup = &setup_;
    o.EnumPorts = [this] { return ports_; };
    o.AccessOf = [this](const std::string& port) {
      return access_ ? access_(port) : TPortAccess{};
    };
    auto w = std::make_unique<TWindow>(std::move(o));
    if (activate) w->P().Activate();
    return w;
  }

  void WriteIni(const TLines& lines) const { folder_.WriteIni(lines); }
  void WriteIniBytes(const std::string& bytes) const { folder_.WriteIniBytes(bytes); }
  std::string IniBytes() const { return folder_.IniBytes(); }
  TLines IniLines() const { return folder_.IniLines(); }

  // A program file carrying a bundle with the flags.
  void Bundle(uint8_t flags) {
    const TBytes small{1, 2, 3};
    const auto bytes = std::make_shared<const std::vector<uint8_t>>(
        BuildBundle("Bundled fine-tuning tool", {small, small, small, small, small}, flags));
    setup_.Bundle.Status = TEmbeddedBundle::TStatus::kPresent;
    setup_.Bundle.Bytes = bytes;
    setup_.Choices = BundleChoices(*bytes);
  }

  TProgramFolder folder_;
  TFrontEndSetup setup_;
  std::vector<std::string> ports_;
  std::function<TPortAccess(const std::string&)> access_;
};

TLines Fallback() {
  TLines l{"Auto detect"};
  for (int i = 0; i < 9; ++i) l.push_back(FallbackPortName(i));
  return l;
}

// The first activation leaves the set-up view with Start focused and the program's files in
// the run's fields; it happens once.
TEST_F(MainSetUp, FirstActivationOnce) {
  auto w = Open(false);
  EXPECT_TRUE(w->P().FirstActivate());
  w->P().Activate();
  EXPECT_FALSE(w->P().FirstActivate());
  const TMainState& s = w->Shown();
  EXPECT_EQ(s.Mode, TMainMode::SetUp);
  EXPECT_EQ(s.Focus, TMainFocus::Start);
  EXPECT_EQ(s.Title, "TallyPilot Pro automatic fine-tuning tool");
  EXPECT_EQ(s.StartCaption, "&Start!");
  EXPECT_EQ(s.ExitCaption, "&Exit");
  EXPECT_TRUE(s.SetUpShown && s.StartShown && s.ExitShown);
  EXPECT_FALSE(s.StatusShown || s.LogShown || s.ProgressShown);
  EXPECT_TRUE(s.GoldEnabled && s.AnalysisEnabled);
  EXPECT_FALSE(s.RecordsEnabled);
  EXPECT_EQ(s.RecordsHint, "No production records are kept");
  EXPECT_EQ(w->fields.ProgDir, folder_.Dir());
  EXPECT_EQ(w->fields.IniName, folder_.IniName());
  EXPECT_FALSE(w->fields.EmbPkg);
  EXPECT_TRUE(w->view.placements.empty());  // no settings file: the window stays where it is

  // A later activation changes nothing (the histories are not loaded twice).
  WriteIni({"", "", "", "", "B", "", "", "a\tb", "", ""});
  w->P().Activate();
  EXPECT_FALSE(w->fields.GoldTP);
  EXPECT_TRUE(w->Box(TMainBox::File1).Items.empty());
  // Exit in the set-up view closes the window, which writes the settings.
  w->P().Exit();
  EXPECT_EQ(w->view.closed, 1);
  EXPECT_EQ(IniLines().at(4), "S");
  EXPECT_EQ(IniLines().size(), 10u);
}

// Closing writes nothing when the first activation has not finished, and a program file that
// cannot be read closes the window at its activation without writing either; a settings file
// that cannot be written does not keep the window from closing.
TEST_F(MainSetUp, SettingsFileLeftAloneOrUnwritable) {
  const std::string original = "1\r\n2\r\n400\r\n400\r\nBRMA\r\n";
  WriteIniBytes(original);
  {
    auto w = Open(false);
    w->P().Close();
    EXPECT_EQ(IniBytes(), original);
  }
  {
    setup_.Bundle.Status = TEmbeddedBundle::TStatus::kHeaderUnreadable;
    auto w = Open();
    EXPECT_EQ(w->view.closed, 1);
    EXPECT_FALSE(w->P().FirstActivate());
    w->P().Close();
    EXPECT_EQ(IniBytes(), original);
    setup_.Bundle = {};
  }
  std::filesystem::remove(folder_.IniName());
  std::filesystem::create_directory(folder_.IniName());
  auto w = Open();
  w->P().Exit();
  EXPECT_EQ(w->view.closed, 1);
  EXPECT_TRUE(std::filesystem::is_directory(folder_.IniName()));
}

// Which restore box and which file controls are offered, for both golden references, from the
// settings file's letters and after an operator click.
TEST_F(MainSetUp, ChoiceControlsFromTheSettingsAndTheOperator) {
  const struct {
    const char* name;
    const char* letters;
    const char* click;
    bool gold, tpChkShown, srvChkShown, handheldFiles, serverFile, restoreTP, restoreSrv,
        analysis;
  } cases[] = {
      // clang-format off
      {"server, boxes clear",     "S",    "",         false, false, true,  true,  false, false, false, false},
      {"server, SrvChk ticked",   "S",    "SrvChk",   false, false, true,  true,  true,  false, true,  false},
      {"server, SrvChk loaded",   "SR",   "",         false, false, true,  true,  true,  false, true,  false},
      {"server, SrvChk cleared",  "SR",   "SrvChk",   false, false, true,  true,  false, false, false, false},
      {"server, hidden TPchk",    "SM",   "",         false, false, true,  true,  false, true,  false, false},
      {"handheld, boxes clear",   "B",    "",         true,  true,  false, false, true,  false, false, false},
      {"handheld, TPchk ticked",  "B",    "TPchk",    true,  true,  false, true,  true,  true,  false, false},
      {"all letters",             "BRMA", "",         true,  true,  false, true,  true,  true,  true,  true},
      {"S and A",                 "SA",   "",         false, false, true,  true,  false, false, false, true},
      {"empty line",              "",     "",         false, false, true,  true,  false, false, false, false},
      {"lower-case b",            "bA",   "",         false, false, true,  true,  false, false, false, true},
      {"operator picks handheld", "S",    "TPradio",  true,  true,  false, false, true,  false, false, false},
      {"operator picks server",   "BRMA", "SRVradio", false, false, true,  true,  true,  true,  true,  true},
      {"operator ticks analysis", "S",    "AnaChk",   false, false, true,  true,  false, false, false, true},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string letters = c.letters, click = c.click;
    WriteIni({"", "", "", "", letters, "", "", "", "", ""});
    auto w = Open();
    EXPECT_EQ(w->Shown().RestoreHandheldTicked, letters.find('M') != std::string::npos);
    EXPECT_EQ(w->Shown().RestoreServerTicked, letters.find('R') != std::string::npos);
    const TMainState before = w->Shown();
    if (click == "SrvChk") w->P().SetRestoreServer(!before.RestoreServerTicked);
    if (click == "TPchk") w->P().SetRestoreHandheld(!before.RestoreHandheldTicked);
    if (click == "TPradio") w->P().SetGold(true);
    if (click == "SRVradio") w->P().SetGold(false);
    if (click == "AnaChk") w->P().SetAnalysisOnly(!before.AnalysisOnly);

    const TMainState& s = w->Shown();
    EXPECT_EQ(w->fields.GoldTP, c.gold);
    EXPECT_EQ(s.GoldTP, c.gold);
    EXPECT_EQ(s.Controls.HandheldRestoreShown, c.tpChkShown);
    EXPECT_EQ(s.Controls.ServerRestoreShown, c.srvChkShown);
    EXPECT_EQ(s.Controls.HandheldFilesShown, c.handheldFiles);
    EXPECT_EQ(s.Controls.ServerFilesShown, c.serverFile);
    EXPECT_EQ(w->fields.RestoreTP, c.restoreTP);
    EXPECT_EQ(s.RestoreHandheldTicked, c.restoreTP);
    EXPECT_EQ(w->fields.RestoreSrv, c.restoreSrv);
    EXPECT_EQ(s.RestoreServerTicked, c.restoreSrv);
    EXPECT_EQ(w->fields.AnalysisOnly, c.analysis);
    EXPECT_EQ(s.AnalysisOnly, c.analysis);
  }
}

// Both port lists: "Auto detect" and the ports present (or the platform's first nine serial
// device names when none is reported); a chosen port stays chosen while it is present.
TEST_F(MainSetUp, PortLists) {
  const struct {
    const char* name;
    TLines present;
    std::string choice;
    TLines items;
    std::string selected;
    TLines presentAfterUpd;
    std::string selectedAfterUpd;
  } cases[] = {
      {"none reported", {}, "", Fallback(), "Auto detect", {}, "Auto detect"},
      {"chosen port still present", {"/dev/ttyUSB0", "/dev/ttyUSB1"}, "/dev/ttyUSB1",
       {"Auto detect", "/dev/ttyUSB0", "/dev/ttyUSB1"}, "/dev/ttyUSB1",
       {"/dev/ttyACM0", "/dev/ttyUSB1"}, "/dev/ttyUSB1"},
      {"chosen port vanished", {"/dev/ttyUSB0", "/dev/ttyUSB5"}, "/dev/ttyUSB5",
       {"Auto detect", "/dev/ttyUSB0", "/dev/ttyUSB5"}, "/dev/ttyUSB5", {"/dev/ttyUSB0"},
       "Auto detect"},
      {"letter case ignored", {"SIM1", "SIM2"}, "sim2", {"Auto detect", "SIM1", "SIM2"}, "SIM2",
       {"SIM2", "SIM3"}, "SIM2"},
      {"all ports gone", {"/dev/ttyUSB0"}, "/dev/ttyUSB0", {"Auto detect", "/dev/ttyUSB0"},
       "/dev/ttyUSB0", {}, "Auto detect"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ports_ = c.present;
    WriteIni({"", "", "", "", "S", c.choice, c.choice, "", "", ""});
    auto w = Open();
    for (TMainBox box : {TMainBox::COM1, TMainBox::COM2}) {
      EXPECT_EQ(w->Box(box).Items, c.items);
      EXPECT_EQ(w->Box(box).Text, c.selected);
      EXPECT_EQ(w->Shown().Box(box).Marks, TLines(c.items.size()));
    }
    ports_ = c.presentAfterUpd;
    w->P().UpdatePorts();
    for (TMainBox box : {TMainBox::COM1, TMainBox::COM2}) {
      EXPECT_EQ(w->Box(box).Text, c.selectedAfterUpd);
      EXPECT_EQ(w->Box(box).Items.at(0), "Auto detect");
    }
  }
}

// A port the user may not open keeps its name in both lists (the run opens what the entry
// says) and carries the reason; once it may be opened, "upd" clears the mark.
TEST_F(MainSetUp, PortsTheUserMayNotOpenAreMarked) {
  ports_ = {"/dev/ttyUSB0", "/dev/ttyUSB1"};
  bool locked = true;
  const TPortAccess refused{true, false, "dialout", true};
  access_ = [&](const std::string& port) {
    return locked && port == "/dev/ttyUSB1" ? refused : TPortAccess{true, true, "dialout", true};
  };
  // The settings file chooses the locked port, so the lists are filled again after marking.
  WriteIni({"", "", "", "", "S", "/dev/ttyUSB1", "/dev/ttyUSB1", "", "", ""});
  auto w = Open();
  const std::string mark = PortAccessMark(refused);  // the platform's words
  for (TMainBox box : {TMainBox::COM1, TMainBox::COM2}) {
    EXPECT_EQ(w->Box(box).Items, (TLines{"Auto detect", "/dev/ttyUSB0", "/dev/ttyUSB1"}));
    EXPECT_EQ(w->Box(box).Text, "/dev/ttyUSB1");
    EXPECT_EQ(w->Shown().Box(box).Marks, (TLines{"", "", mark}));
  }
  locked = false;
  w->P().UpdatePorts();
  for (TMainBox box : {TMainBox::COM1, TMainBox::COM2})
    EXPECT_EQ(w->Shown().Box(box).Marks, TLines(3));
  EXPECT_TRUE(w->Shown().Box(TMainBox::File1).Marks.empty());
}

// A file used again goes to the top of its history, which keeps at most ten entries.
TEST_F(MainSetUp, FileHistory) {
  TLines ten, twelve;
  for (int i = 0; i < 12; ++i) (i < 10 ? ten : twelve).push_back("/f/" + std::to_string(i) + ".tpf");
  twelve.insert(twelve.begin(), ten.begin(), ten.end());
  TLines newOnFull{"/f/new.tpf"};
  newOnFull.insert(newOnFull.end(), ten.begin(), ten.begin() + 9);
  const struct {
    const char* name;
    TLines loaded;
    std::string used;
    TLines history;
  } cases[] = {
      {"new file on a full history", ten, "/f/new.tpf", newOnFull},
      {"third moves to the top", {"a", "b", "c", "d"}, "c", {"c", "a", "b", "d"}},
      {"letter case of the latest use", {"a", "B.tpf", "c"}, "b.TPF", {"b.TPF", "a", "c"}},
      {"top entry stays as it is", {"a.tpf", "b"}, "A.TPF", {"a.tpf", "b"}},
      {"twelve loaded, trimmed at the next use", twelve, "/f/0.tpf", ten},
      {"first file", {}, "x.tpf", {"x.tpf"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string line;
    for (const std::string& f : c.loaded) line += (line.empty() ? "" : "\t") + f;
    WriteIni({"", "", "", "", "S", "", "", line, "", ""});
    auto w = Open();
    EXPECT_EQ(w->Box(TMainBox::File1).Items, c.loaded);
    w->P().EditText(TMainBox::File1, c.used);
    w->P().AddHistory(TMainBox::File1);
    EXPECT_EQ(w->Box(TMainBox::File1).Items, c.history);
    EXPECT_EQ(w->Box(TMainBox::File1).Text, c.history.front());
    EXPECT_EQ(w->Box(TMainBox::File1).ItemIndex, 0);
  }
}

// "..." asks for a file with the box's title, filter and text; cancelled, the box keeps its
// text; a chosen file replaces it. Browsing alone does not touch the history.
TEST_F(MainSetUp, BrowseAsksForAFile) {
  const std::string tp = "TPF packages (*.TPF)|*.TPF|Binary files (*.BIN)|*.BIN|Any file (*.*)|*.*";
  const std::string srv = "SFF packages (*.SFF)|*.SFF|HEX files (*.HEX)|*.HEX|Any file (*.*)|*.*";
  const struct {
    TMainBox box;
    const char* title;
    std::string filter;
    const char* extension;
    bool choose;
  } cases[] = {
      {TMainBox::File1, "Select RF modem firmware", tp, "TPF", false},
      {TMainBox::File1, "Select RF modem firmware", tp, "TPF", true},
      {TMainBox::File2, "Select TallyPilot firmware", tp, "TPF", false},
      {TMainBox::File3, "Select server firmware", srv, "SFF", false},
      {TMainBox::File3, "Select server firmware", srv, "SFF", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.title) + (c.choose ? ", chosen" : ", cancelled"));
    WriteIni({"", "", "", "", "SR", "", "", "", "", ""});
    auto w = Open();
    const std::string typed = folder_.Dir() + "typed-but-missing.tpf";
    const std::string chosen = folder_.Dir() + "package.bin";
    w->P().EditText(c.box, typed);
    if (c.choose) w->view.fileAnswers.push_back(chosen);
    w->P().Browse(c.box);
    ASSERT_EQ(w->view.fileRequests.size(), 1u);
    const TFileRequest& r = w->view.fileRequests[0];
    EXPECT_EQ(r.Title, c.title);
    EXPECT_EQ(r.Filter, c.filter);
    EXPECT_EQ(r.DefaultExtension, c.extension);
    EXPECT_EQ(r.CurrentName, typed);
    // A chosen file is rendered; a cancelled question leaves what the view shows.
    EXPECT_EQ(w->P().State().Box(c.box).Combo.Text, c.choose ? chosen : typed);
    if (c.choose) {
      EXPECT_EQ(w->Box(c.box).Text, chosen);
    }
    EXPECT_TRUE(w->P().State().Box(c.box).Combo.Items.empty());
  }
  // The port boxes have no "...".
  auto w = Open();
  w->P().Browse(TMainBox::COM1);
  EXPECT_TRUE(w->view.fileRequests.empty());
}

// Lines 6 and 7: the port choice and, after a tab, the port the device was last found on.
TEST_F(MainSetUp, SettingsPorts) {
  const struct {
    const char* name;
    std::string line, selected, lastPort, written;
  } cases[] = {
      {"auto detect, last port", "Auto detect\tCOM4", "Auto detect", "COM4", "Auto detect\tCOM4"},
      {"present port", "/dev/ttyUSB0\t/dev/ttyUSB0", "/dev/ttyUSB0", "/dev/ttyUSB0",
       "/dev/ttyUSB0\t/dev/ttyUSB0"},
      {"port not present", "/dev/ttyUSB9\t/dev/ttyUSB9", "Auto detect", "/dev/ttyUSB9",
       "Auto detect\t/dev/ttyUSB9"},
      {"no tab, other case", "/DEV/TTYUSB0", "/dev/ttyUSB0", "", "/dev/ttyUSB0\t"},
      {"second tab belongs to the last port", "Auto detect\ta\tb", "Auto detect", "a\tb",
       "Auto detect\ta\tb"},
      {"empty", "", "Auto detect", "", "Auto detect\t"},
      {"typed network port", "rfc2217://10.0.0.5:4001\trfc2217://10.0.0.5:4001",
       "rfc2217://10.0.0.5:4001", "rfc2217://10.0.0.5:4001",
       "rfc2217://10.0.0.5:4001\trfc2217://10.0.0.5:4001"},
  };
  ports_ = {"/dev/ttyUSB0", "/dev/ttyUSB1"};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteIni({"", "", "", "", "S", c.line, c.line, "", "", ""});
    auto w = Open();
    EXPECT_EQ(w->Box(TMainBox::COM1).Text, c.selected);
    EXPECT_EQ(w->Box(TMainBox::COM2).Text, c.selected);
    EXPECT_EQ(w->fields.LastPort1, c.lastPort);
    EXPECT_EQ(w->fields.LastPort2, c.lastPort);
    w->P().Close();
    const TLines lines = IniLines();
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines[5], c.written);
    EXPECT_EQ(lines[6], c.written);
  }
}

// Lines 8 to 10: the histories, loaded in full (the first entry chosen) and written back
// unchanged.
TEST_F(MainSetUp, SettingsHistories) {
  TLines twelve;
  for (int i = 0; i < 12; ++i) twelve.push_back("/p/" + std::to_string(i) + ".sff");
  std::string twelveLine;
  for (const std::string& f : twelve) twelveLine += (twelveLine.empty() ? "" : "\t") + f;
  const struct {
    const char* name;
    std::string line;
    TLines items;
  } cases[] = {
      {"consecutive tabs", "a.tpf\t\tb.tpf", {"a.tpf", "b.tpf"}},
      {"tabs at both ends", "\ta.tpf\t", {"a.tpf"}},
      {"twelve entries", twelveLine, twelve},
      {"name beyond ASCII", "/home/j\xc3\xbcrgen/\xc3\x9c.tpf\t/b",
       {"/home/j\xc3\xbcrgen/\xc3\x9c.tpf", "/b"}},
      {"empty", "", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteIni({"", "", "", "", "BRM", "", "", c.line, c.line, c.line});
    auto w = Open();
    std::string joined;
    for (const std::string& f : c.items) joined += (joined.empty() ? "" : "\t") + f;
    for (TMainBox box : {TMainBox::File1, TMainBox::File2, TMainBox::File3}) {
      EXPECT_EQ(w->Box(box).Items, c.items);
      EXPECT_EQ(w->Box(box).Text, c.items.empty() ? "" : c.items[0]);
    }
    w->P().Close();
    const TLines lines = IniLines();
    ASSERT_EQ(lines.size(), 10u);
    for (size_t i = 7; i < 10; ++i) EXPECT_EQ(lines[i], joined);
  }
}

// Lines 1 to 4: each valid number places the window, anything else leaves that value to the
// view. The rest of a short file counts as empty: every choice stays at its default.
TEST_F(MainSetUp, SettingsGeometry) {
  const struct {
    const char* name;
    TLines lines;
    std::optional<int32_t> left, top, width, height;
  } cases[] = {
      {"decimal", {"100", "120", "500", "450"}, 100, 120, 500, 450},
      {"hex and blanks", {" $64", "0x78", "500", "  450"}, 100, 120, 500, 450},
      {"below the minimum: the view keeps its own", {"10", "10", "100", "100"}, 10, 10, 100, 100},
      {"invalid values", {"x", "", "5 0", "1e3"}, {}, {}, {}, {}},
      {"ends of the range", {"0", "0", "2147483647", "-2147483648"}, 0, 0, 2147483647,
       INT32_MIN},
  };
  ports_ = {"/dev/ttyUSB0"};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteIni(c.lines);
    auto w = Open();
    ASSERT_EQ(w->view.placements.size(), 1u);
    const TWindowPlacement& p = w->view.placements[0];
    EXPECT_EQ(p.Left, c.left);
    EXPECT_EQ(p.Top, c.top);
    EXPECT_EQ(p.Width, c.width);
    EXPECT_EQ(p.Height, c.height);

    const TMainState& s = w->Shown();
    EXPECT_FALSE(s.GoldTP || s.RestoreHandheldTicked || s.RestoreServerTicked || s.AnalysisOnly);
    EXPECT_EQ(w->Box(TMainBox::COM1).Text, "Auto detect");
    EXPECT_EQ(w->Box(TMainBox::COM2).Text, "Auto detect");
    for (TMainBox box : {TMainBox::File1, TMainBox::File2, TMainBox::File3})
      EXPECT_TRUE(w->Box(box).Items.empty());
    EXPECT_TRUE(w->fields.LastPort1.empty() && w->fields.LastPort2.empty());
  }
}

// What the operator chose is written at closing, with the view's rectangle, and comes back in
// the next window.
TEST_F(MainSetUp, SettingsRoundTrip) {
  ports_ = {"/dev/ttyUSB0", "/dev/ttyUSB1"};
  WriteIni({"", "", "", "", "S", "", "", "/old/m.tpf", "", "/old/s.sff"});
  {
    auto w = Open();
    w->view.rect = {40, 50, 380, 408};
    w->P().SetGold(true);
    w->P().SetRestoreHandheld(true);
    w->P().SetAnalysisOnly(true);
    w->P().ChooseEntry(TMainBox::COM1, 2);
    w->P().EditText(TMainBox::File2, "/new/e.tpf");
    w->P().AddHistory(TMainBox::File2);
    w->fields.LastPort1 = "/dev/ttyUSB1";
    w->fields.LastPort2 = "/dev/ttyUSB0";
    w->P().Close();
    EXPECT_EQ(IniLines(), (TLines{"40", "50", "380", "408", "BMA", "/dev/ttyUSB1\t/dev/ttyUSB1",
                                  "Auto detect\t/dev/ttyUSB0", "/old/m.tpf", "/new/e.tpf",
                                  "/old/s.sff"}));
  }
  auto again = Open();
  EXPECT_TRUE(again->fields.GoldTP && again->fields.RestoreTP && again->fields.AnalysisOnly);
  EXPECT_FALSE(again->fields.RestoreSrv);
  ASSERT_EQ(again->view.placements.size(), 1u);
  EXPECT_EQ(again->view.placements[0].Left, 40);
  EXPECT_EQ(again->view.placements[0].Height, 408);
  EXPECT_EQ(again->Box(TMainBox::COM1).Text, "/dev/ttyUSB1");
  EXPECT_EQ(again->Box(TMainBox::File2).Text, "/new/e.tpf");
  EXPECT_EQ(again->fields.LastPort2, "/dev/ttyUSB0");
}

// A program file carrying a bundle: the bundle's flags fix the golden reference and analysis
// only (or leave them to the operator), both restores are on, no file control or restore box
// is offered, and the title is the bundle's.
TEST_F(MainSetUp, Bundle) {
  const struct {
    const char* name;
    uint8_t flags;
    const char* letters;
    bool gold, goldEnabled, analysis, analysisEnabled;
  } cases[] = {
      {"0x09 handheld fixed, analysis from settings", 0x09, "SA", true, false, true, true},
      {"0x09, analysis clear in settings", 0x09, "S", true, false, false, true},
      {"0x0A both left to the operator", 0x0A, "BA", true, true, true, true},
      {"0x0A, server from settings", 0x0A, "S", false, true, false, true},
      {"0x04 server fixed, analysis forced on", 0x04, "B", false, false, true, false},
      {"0x01 handheld fixed, analysis forced off", 0x01, "SA", true, false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bundle(c.flags);
    WriteIni({"", "", "", "", c.letters, "", "", "/f/m.tpf", "/f/e.tpf", "/f/s.sff"});
    auto w = Open();
    EXPECT_TRUE(w->fields.EmbPkg);
    EXPECT_EQ(w->Shown().Title, "Bundled fine-tuning tool");
    EXPECT_EQ(w->Shown().GoldEnabled, c.goldEnabled);
    EXPECT_EQ(w->Shown().AnalysisEnabled, c.analysisEnabled);
    auto check = [&](bool gold, bool analysis) {
      const TMainState& s = w->Shown();
      EXPECT_EQ(w->fields.GoldTP, gold);
      EXPECT_EQ(s.GoldTP, gold);
      EXPECT_EQ(w->fields.AnalysisOnly, analysis);
      EXPECT_EQ(s.AnalysisOnly, analysis);
      EXPECT_TRUE(w->fields.RestoreSrv && w->fields.RestoreTP);
      EXPECT_EQ(s.Controls, TChoiceControls{});
    };
    check(c.gold, c.analysis);
    // Changing a choice offers nothing more with a bundle; a fixed one does not change.
    w->P().SetGold(!c.gold);
    w->P().SetAnalysisOnly(!c.analysis);
    w->P().SetRestoreHandheld(false);
    w->P().SetRestoreServer(false);
    check(c.goldEnabled ? !c.gold : c.gold, c.analysisEnabled ? !c.analysis : c.analysis);
    // The settings file records what the bundle made of the choices.
    w->P().Close();
    const std::string letters = IniLines().at(4);
    EXPECT_NE(letters.find('R'), std::string::npos);
    EXPECT_NE(letters.find('M'), std::string::npos);
  }
}

}  // namespace
