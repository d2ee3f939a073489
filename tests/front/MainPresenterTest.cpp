// The main window's behaviour against a fake view that records each rendered state, on the
// emulated bench: the modes a run goes through, what the buttons say and do in each, cancel and
// close.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "front/FrontEndSetup.h"
#include "front/MainPresenter.h"
#include "tests/front/FakeMainView.h"
#include "run/MainFields.h"
#include "serial/ComPort.h"
#include "sim/Bench.h"
#include "tests/front/ProgramFolder.h"
#include "tools/DemoPackages.h"
#include "tools/PackageBuilder.h"
#include "tuning/SerThread.h"
#include "firmware/Packages.h"

namespace {

using namespace std::chrono_literals;

// The window's station: the default bench (three handhelds), the server as golden reference with
// its firmware restored after the test (so the question after each handheld is asked), both
// ports found automatically, the demo packages in the file boxes' histories.
class MainPresenter : public ::testing::Test {
 protected:
  MainPresenter() {
    SetUpPortObject(port1_, 0);
    SetUpPortObject(port2_, 1);
    fields_.SerIF1 = &port1_;
    fields_.SerIF2 = &port2_;
    setup_.Files.ProgDir = folder_.Dir();
    setup_.Files.IniName = folder_.IniName();
    folder_.WriteIni({"", "", "", "", "SR", "Auto detect\t", "Auto detect\t",
                      TProgramFolder::Demo("rfmodem.tpf"), TProgramFolder::Demo("eeprom.tpf"),
                      TProgramFolder::Demo("server.sff")});
  }

  // The window opens on the program folder, with the bench's ports, and is activated.
  void Open(TRecordSink* records = nullptr) {
    TMainPresenterOptions o;
    o.Setup = &setup_;
    o.EnumPorts = [this] { return bench_->PortNames(); };
    presenter_ =
        std::make_unique<TMainPresenter>(view_, fields_, bench_->VirtualClock(), records, o);
    view_.presenter = presenter_.get();
    presenter_->Activate();
  }
  TMainPresenter& P() { return *presenter_; }

  void WaitFor(TMainMode mode) {
    view_.PumpUntil([&] { return presenter_->State().Mode == mode; });
    ASSERT_EQ(presenter_->State().Mode, mode);
  }
  const TMainState& Now() const { return presenter_->State(); }
  // How many log lines hold text.
  int Count(const std::string& text) const {
    int n = 0;
    for (const std::string& l : view_.log) n += l.find(text) != std::string::npos;
    return n;
  }

  TProgramFolder folder_;
  TFrontEndSetup setup_;
  std::unique_ptr<TBench> bench_ = std::make_unique<TBench>();
  TComPort port1_, port2_;
  TMainFields fields_;
  TFakeView view_;
  std::unique_ptr<TMainPresenter> presenter_;
};

struct TButtons {
  bool setUp, log, status, start;
  std::string startCaption;
  bool exit;
  std::string exitCaption;
};

void ExpectButtons(const TMainState& s, const TButtons& b) {
  EXPECT_EQ(s.SetUpShown, b.setUp);
  EXPECT_EQ(s.LogShown, b.log);
  EXPECT_EQ(s.StatusShown, b.status);
  EXPECT_EQ(s.StartShown, b.start);
  if (b.start) {
    EXPECT_EQ(s.StartCaption, b.startCaption);
  }
  EXPECT_EQ(s.ExitShown, b.exit);
  if (b.exit) {
    EXPECT_EQ(s.ExitCaption, b.exitCaption);
  }
}

// Ok, Yes, No: what each view shows and what each button does, through a run of two handhelds.
TEST_F(MainPresenter, ARunThroughItsPrompts) {
  Open();
  // A name typed into the box, not yet in its history: the run's use of it puts it on top.
  const std::string typed = folder_.Dir() + "rfmodem.tpf";
  std::filesystem::copy_file(TProgramFolder::Demo("rfmodem.tpf"), typed);
  P().EditText(TMainBox::File1, typed);
  ExpectButtons(Now(), {true, false, false, true, "&Start!", true, "&Exit"});

  P().Start();
  EXPECT_EQ(view_.runsStarted, 1);
  ExpectButtons(Now(), {false, false, false, false, "", true, "&Cancel"});
  ASSERT_NE(P().Worker(), nullptr);

  WaitFor(TMainMode::OkPrompt);
  ExpectButtons(Now(), {false, false, true, true, "&Ok", true, "&Cancel"});
  EXPECT_EQ(Now().StatusText.substr(0, 26), "Make sure the server, Tall");
  EXPECT_EQ(Now().Focus, TMainFocus::Start);
  EXPECT_TRUE(P().PromptWaiting());

  P().Start();  // Ok
  ExpectButtons(Now(), {false, true, false, false, "", true, "&Cancel"});
  EXPECT_EQ(Now().Focus, TMainFocus::Log);

  WaitFor(TMainMode::YesNoPrompt);
  ExpectButtons(Now(), {false, false, true, true, "&Yes", true, "&No"});
  EXPECT_EQ(Now().StatusText,
            "Completed successfully!\r\rDo you want to fine-tune another TallyPilot?");
  P().Start();  // Yes: the next handheld
  ExpectButtons(Now(), {false, true, false, false, "", true, "&Cancel"});

  WaitFor(TMainMode::YesNoPrompt);
  P().Exit();  // No: the run ends with the server restore
  ExpectButtons(Now(), {false, true, false, false, "", true, "&Cancel"});
  WaitFor(TMainMode::Ended);
  ExpectButtons(Now(), {false, true, false, true, "&Ok", false, ""});
  EXPECT_EQ(Count("Completed successfully!"), 3);  // two handhelds and the server
  EXPECT_EQ(Count("=== Next TallyPilot ==="), 1);
  // An empty log line comes before the next handheld's heading.
  for (size_t i = 1; i < view_.log.size(); ++i) {
    if (view_.log[i] == "=== Next TallyPilot ===") {
      EXPECT_EQ(view_.log[i - 1], "");
    }
  }
  EXPECT_EQ(view_.log.back(), "Error log file written");
  EXPECT_FALSE(TProgramFolder::Read(folder_.ErrName()).empty());
  // The worker found the devices; the window keeps where.
  EXPECT_EQ(fields_.LastPort1, "SIM1");
  EXPECT_EQ(fields_.LastPort2, "SIM2");

  // On the way: the status while a handheld is unplugged, and the progress bar up to its end.
  bool disconnect = false, fullBar = false;
  for (const TMainState& s : view_.states) {
    disconnect = disconnect || (s.Mode == TMainMode::Status &&
                                s.StatusText == "Disconnect the TallyPilot..." && !s.StartShown);
    fullBar = fullBar || (s.ProgressShown && s.Progress == 100);
  }
  EXPECT_TRUE(disconnect);
  EXPECT_TRUE(fullBar);

  P().Start();  // back to set-up
  ExpectButtons(Now(), {true, false, false, true, "&Start", true, "&Exit"});
  // The packages the run loaded head the file boxes' histories the set-up view shows.
  EXPECT_EQ(Now().Box(TMainBox::File1).Combo.Items,
            (std::vector<std::string>{typed, TProgramFolder::Demo("rfmodem.tpf")}));
  EXPECT_EQ(Now().Box(TMainBox::File3).Combo.Items,
            std::vector<std::string>{TProgramFolder::Demo("server.sff")});
  EXPECT_EQ(P().Worker(), nullptr);
  P().Exit();
  EXPECT_EQ(view_.closed, 1);
}

// Cancel at a prompt and while the run waits for a handheld: the run ends in order and Start
// leads back to set-up; cancelled runs can be followed by another run.
TEST_F(MainPresenter, CancelEndsTheRun) {
  Open();
  P().Start();
  WaitFor(TMainMode::OkPrompt);
  P().Exit();  // Cancel at the connect prompt; returns once the run has ended
  EXPECT_EQ(Now().Mode, TMainMode::Ended);
  EXPECT_FALSE(Now().ExitShown);
  P().Start();
  EXPECT_EQ(Now().Mode, TMainMode::SetUp);

  P().Start();
  EXPECT_EQ(view_.runsStarted, 2);
  WaitFor(TMainMode::OkPrompt);
  P().Start();
  WaitFor(TMainMode::YesNoPrompt);
  P().Start();  // Yes
  view_.PumpUntil([&] {
    return Now().Mode == TMainMode::Status && !view_.log.empty() &&
           view_.log.back() == "=== Next TallyPilot ===";
  });
  P().Exit();  // Cancel while the status shows
  EXPECT_EQ(Now().Mode, TMainMode::Ended);
  EXPECT_TRUE(view_.Logged("Aborted by user!"));
}

// Cancel while the handheld is being programmed: the run ends at once with "Aborted by user!",
// asks nothing more, and its closing server restore runs with its log lines served while the
// presenter waits; Ok leads back to set-up, and the next run starts with an empty log.
TEST_F(MainPresenter, CancelWhileProgramming) {
  Open();
  P().Start();
  WaitFor(TMainMode::OkPrompt);
  P().Start();
  view_.PumpUntil([&] { return Now().ProgressShown; });
  ASSERT_TRUE(Now().ProgressShown);
  P().Exit();  // returns only when the run has ended
  ExpectButtons(Now(), {false, true, false, true, "&Ok", false, ""});
  EXPECT_EQ(Now().Mode, TMainMode::Ended);
  // The worker stays until Ok leads back to set-up.
  ASSERT_NE(P().Worker(), nullptr);
  EXPECT_TRUE(view_.Logged("Aborted by user!"));
  EXPECT_GE(Count("--- Restoring server firmware"), 1);
  EXPECT_FALSE(TProgramFolder::Read(folder_.ErrName()).empty());
  P().Start();
  ExpectButtons(Now(), {true, false, false, true, "&Start", true, "&Exit"});
  EXPECT_EQ(P().Worker(), nullptr);

  P().Start();
  WaitFor(TMainMode::OkPrompt);
  EXPECT_TRUE(view_.log.empty());
  P().Exit();
  EXPECT_EQ(Now().Mode, TMainMode::Ended);
  EXPECT_EQ(Count("Aborted by user!"), 0);
}

// Closing the window during a run: the settings are written, the worker is released and ends
// (writing its trace), and nothing is left running. While the worker runs freely it is stopped
// before the settings are written, as it may be writing the last-found ports.
TEST_F(MainPresenter, CloseDuringARun) {
  const struct {
    const char* stage;
    const char* lastPort;
  } cases[] = {{"connect prompt", ""}, {"programming", "SIM1"}, {"question after a handheld",
                                                                 "SIM1"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stage);
    const std::string stage = c.stage;
    std::filesystem::remove(folder_.ErrName());
    presenter_.reset();
    bench_.reset();
    bench_ = std::make_unique<TBench>();
    view_.log.clear();
    fields_ = {};
    fields_.SerIF1 = &port1_;
    fields_.SerIF2 = &port2_;
    Open();
    P().Start();
    WaitFor(TMainMode::OkPrompt);
    if (stage == "programming") {
      P().Start();
      view_.PumpUntil([&] { return Now().ProgressShown; });
    } else if (stage != "connect prompt") {
      P().Start();
      WaitFor(TMainMode::YesNoPrompt);
    }
    EXPECT_FALSE(std::filesystem::exists(folder_.ErrName()));

    P().Close();
    EXPECT_EQ(P().Worker(), nullptr);
    const auto ini = folder_.IniLines();
    ASSERT_EQ(ini.size(), 10u);
    EXPECT_EQ(ini[4], "SR");
    EXPECT_EQ(ini[5], std::string("Auto detect\t") + c.lastPort);
    // The trace is written even when it is empty (nothing was logged before the connect
    // prompt).
    ASSERT_TRUE(std::filesystem::exists(folder_.ErrName()));
    const std::string trace = TProgramFolder::Read(folder_.ErrName());
    EXPECT_EQ(trace.empty(), stage == "connect prompt");
    EXPECT_EQ(trace.find("Error log file written"), std::string::npos);
    // Only a handheld that was started gets a result line.
    EXPECT_EQ(view_.Logged("Aborted by user!"), stage == "programming");
    EXPECT_EQ(Count("Completed successfully!") > 0, stage != "connect prompt");
  }
}

// A network port typed into a port box is the box's choice: the run takes it as the chosen
// port, "upd" keeps it, the settings file keeps it and the next window has it again. Other
// typed text is no port: the box goes back to "Auto detect".
TEST_F(MainPresenter, TypedNetworkPort) {
  // On loopback, where nothing answers: the run's open of it fails at once.
  const std::string name = "rfc2217://127.0.0.1:9";
  Open();
  P().EditText(TMainBox::COM1, name);
  P().EditText(TMainBox::COM2, "/dev/ttyUSB7");
  P().Start();
  EXPECT_EQ(fields_.COM1Combo.Text, name);
  EXPECT_GT(fields_.COM1Combo.ItemIndex, 0);
  EXPECT_EQ(fields_.COM1Combo.Items.at(static_cast<size_t>(fields_.COM1Combo.ItemIndex)), name);
  EXPECT_EQ(fields_.COM2Combo.Text, "Auto detect");
  EXPECT_EQ(fields_.COM2Combo.ItemIndex, 0);
  view_.PumpUntil([&] { return Now().Mode != TMainMode::Running; });
  if (Now().Mode != TMainMode::Ended) P().Exit();
  WaitFor(TMainMode::Ended);
  P().Start();
  EXPECT_EQ(Now().Box(TMainBox::COM1).Combo.Text, name);
  EXPECT_EQ(Now().Box(TMainBox::COM2).Combo.Text, "Auto detect");
  P().UpdatePorts();
  EXPECT_EQ(Now().Box(TMainBox::COM1).Combo.Text, name);
  P().Close();
  EXPECT_EQ(folder_.IniLines().at(5).substr(0, name.size() + 1), name + "\t");

  presenter_.reset();
  fields_ = {};
  fields_.SerIF1 = &port1_;
  fields_.SerIF2 = &port2_;
  Open();
  EXPECT_EQ(view_.states.back().Box(TMainBox::COM1).Combo.Text, name);
}

// A program carrying a bundle runs on the bundle's packages: the file boxes name files that are
// not there, and none is read.
TEST_F(MainPresenter, BundledRun) {
  std::array<TBytes, 5> packages;
  const char* order[] = {"rfmodem.tpf", "eeprom.tpf", "server.sff", "tpftune.tpf", "srvftune.sff"};
  for (const TDemoFile& f : DemoPackageFiles())
    for (size_t i = 0; i < 5; ++i)
      if (f.Name == order[i]) packages[i] = f.Bytes;
  const auto bytes = std::make_shared<const std::vector<uint8_t>>(BuildBundle(
      "TallyPilot Pro line 3 fine-tuning", packages, kBundleGoldOpen | kBundleAnalysisOpen));
  setup_.Bundle.Status = TEmbeddedBundle::TStatus::kPresent;
  setup_.Bundle.Bytes = bytes;
  setup_.Choices = BundleChoices(*bytes);
  folder_.WriteIni({"", "", "", "", "SR", "Auto detect\t", "Auto detect\t", "/nowhere/m.tpf",
                    "/nowhere/e.tpf", "/nowhere/s.sff"});
  std::filesystem::remove(folder_.Dir() + "tpftune.tpf");
  std::filesystem::remove(folder_.Dir() + "srvftune.sff");
  Open();
  EXPECT_EQ(Now().Title, "TallyPilot Pro line 3 fine-tuning");
  P().Start();
  WaitFor(TMainMode::OkPrompt);
  P().Start();
  WaitFor(TMainMode::YesNoPrompt);
  P().Exit();
  WaitFor(TMainMode::Ended);
  EXPECT_EQ(Count("Error reading file(s):"), 0);
  EXPECT_EQ(Count("Completed successfully!"), 2);
}

// Closing the window: the settings are written from the run's fields only while the run leaves
// them alone (at a prompt, or after its end); a run that goes on freely is stopped first.
TEST_F(MainPresenter, CloseTakesTheFieldsOnlyWhileTheRunLeavesThemAlone) {
  Open();
  P().Start();
  WaitFor(TMainMode::OkPrompt);
  P().Start();
  WaitFor(TMainMode::YesNoPrompt);
  bool workerWaited = false;
  P().Close([&] { workerWaited = P().Worker() && !P().Worker()->Ended(); });
  EXPECT_TRUE(workerWaited);
  EXPECT_EQ(P().Worker(), nullptr);

  TFakeView otherView;
  TMainPresenter other(otherView, fields_, bench_->VirtualClock(), nullptr);
  otherView.presenter = &other;
  other.Start();
  // Closed as soon as the run goes: no prompt is up, so the worker is stopped first.
  bool workerGone = false;
  other.Close([&] { workerGone = other.Worker() == nullptr; });
  EXPECT_TRUE(workerGone);
}

}  // namespace

namespace {

// Which restore boxes and file rows the set-up view shows: every combination of the golden
// reference and the two restore choices, and a bundled program.
TEST(ChoiceControls, FollowTheGoldenReferenceAndTheRestoreChoices) {
  const struct {
    bool gold, restoreHandheld, restoreServer, bundled;
    TChoiceControls shown;  // handheld box, server box, handheld files, server files
  } cases[] = {
      {false, false, false, false, {false, true, true, false}},
      {false, false, true, false, {false, true, true, true}},
      {false, true, false, false, {false, true, true, false}},  // a hidden box's choice
      {true, false, false, false, {true, false, false, true}},
      {true, true, false, false, {true, false, true, true}},
      {true, false, true, false, {true, false, false, true}},
      {false, false, true, true, {false, false, false, false}},
      {true, true, true, true, {false, false, false, false}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "gold handheld " << c.gold << ", restore handheld "
                                    << c.restoreHandheld << ", restore server "
                                    << c.restoreServer << ", bundled " << c.bundled);
    EXPECT_EQ(ChoiceControls(c.gold, c.restoreHandheld, c.restoreServer, c.bundled), c.shown);
  }
}

}  // namespace
