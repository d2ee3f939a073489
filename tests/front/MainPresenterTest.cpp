// The main window's behaviour against a fake view that records each rendered state, on the
// emulated bench: the modes a run goes through, what the buttons say and do in each, cancel and
// close.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "front/MainPresenter.h"
#include "tests/front/FakeMainView.h"
#include "run/MainFields.h"
#include "serial/ComPort.h"
#include "sim/Bench.h"
#include "tests/front/ProgramFolder.h"
#include "tuning/SerThread.h"

namespace {

using namespace std::chrono_literals;

// The window's station: the default bench (three handhelds), the server as golden reference with
// its firmware restored after the test (so the question after each handheld is asked), both
// ports found automatically, the demo packages.
class MainPresenter : public ::testing::Test {
 protected:
  MainPresenter() : presenter_(view_, fields_, bench_.VirtualClock(), nullptr) {
    view_.presenter = &presenter_;
    SetUpPortObject(port1_, 0);
    SetUpPortObject(port2_, 1);
    fields_.RestoreSrv = true;
    fields_.ProgDir = folder_.Dir();
    fields_.IniName = folder_.IniName();
    fields_.SerIF1 = &port1_;
    fields_.SerIF2 = &port2_;
    for (TComboModel* combo : {&fields_.COM1Combo, &fields_.COM2Combo}) {
      combo->Add("Auto detect");
      for (const auto& p : bench_.PortNames()) combo->Add(p);
      combo->Select(0);
    }
    fields_.File1Combo.Text = TProgramFolder::Demo("rfmodem.tpf");
    fields_.File2Combo.Text = TProgramFolder::Demo("eeprom.tpf");
    fields_.File3Combo.Text = TProgramFolder::Demo("server.sff");
  }

  void WaitFor(TMainMode mode) {
    view_.PumpUntil([&] { return presenter_.State().Mode == mode; });
    ASSERT_EQ(presenter_.State().Mode, mode);
  }
  const TMainState& Now() const { return presenter_.State(); }

  TProgramFolder folder_;
  TBench bench_;
  TComPort port1_, port2_;
  TMainFields fields_;
  TFakeView view_;
  TMainPresenter presenter_;
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
  ExpectButtons(Now(), {true, false, false, true, "&Start!", true, "&Exit"});

  presenter_.Start();
  EXPECT_EQ(view_.runsStarted, 1);
  ExpectButtons(Now(), {false, false, false, false, "", true, "&Cancel"});
  ASSERT_NE(presenter_.Worker(), nullptr);

  WaitFor(TMainMode::OkPrompt);
  ExpectButtons(Now(), {false, false, true, true, "&Ok", true, "&Cancel"});
  EXPECT_EQ(Now().StatusText.substr(0, 26), "Make sure the server, Tall");
  EXPECT_EQ(Now().Focus, TMainFocus::Start);
  EXPECT_TRUE(presenter_.PromptWaiting());

  presenter_.Start();  // Ok
  ExpectButtons(Now(), {false, true, false, false, "", true, "&Cancel"});
  EXPECT_EQ(Now().Focus, TMainFocus::Log);

  WaitFor(TMainMode::YesNoPrompt);
  ExpectButtons(Now(), {false, false, true, true, "&Yes", true, "&No"});
  EXPECT_EQ(Now().StatusText,
            "Completed successfully!\r\rDo you want to fine-tune another TallyPilot?");
  presenter_.Start();  // Yes: the next handheld
  ExpectButtons(Now(), {false, true, false, false, "", true, "&Cancel"});

  WaitFor(TMainMode::YesNoPrompt);
  presenter_.Exit();  // No: the run ends with the server restore
  ExpectButtons(Now(), {false, true, false, false, "", true, "&Cancel"});
  WaitFor(TMainMode::Ended);
  ExpectButtons(Now(), {false, true, false, true, "&Ok", false, ""});
  EXPECT_TRUE(view_.Logged("=== Next TallyPilot ==="));
  EXPECT_TRUE(view_.Logged("Error log file written"));

  // On the way: the status while a handheld is unplugged, and the progress bar up to its end.
  bool disconnect = false, fullBar = false;
  for (const TMainState& s : view_.states) {
    disconnect = disconnect || (s.Mode == TMainMode::Status &&
                                s.StatusText == "Disconnect the TallyPilot..." && !s.StartShown);
    fullBar = fullBar || (s.ProgressShown && s.Progress == 100);
  }
  EXPECT_TRUE(disconnect);
  EXPECT_TRUE(fullBar);

  presenter_.Start();  // back to set-up
  ExpectButtons(Now(), {true, false, false, true, "&Start", true, "&Exit"});
  // The packages the run loaded head the file boxes' histories the set-up view shows.
  EXPECT_EQ(Now().Box(TMainBox::File1).Combo.Items,
            std::vector<std::string>{TProgramFolder::Demo("rfmodem.tpf")});
  EXPECT_EQ(Now().Box(TMainBox::File3).Combo.Items,
            std::vector<std::string>{TProgramFolder::Demo("server.sff")});
  EXPECT_EQ(presenter_.Worker(), nullptr);
  presenter_.Exit();
  EXPECT_EQ(view_.closed, 1);
}

// Cancel at a prompt and while the run waits for a handheld: the run ends in order and Start
// leads back to set-up; cancelled runs can be followed by another run.
TEST_F(MainPresenter, CancelEndsTheRun) {
  presenter_.Start();
  WaitFor(TMainMode::OkPrompt);
  presenter_.Exit();  // Cancel at the connect prompt; returns once the run has ended
  EXPECT_EQ(Now().Mode, TMainMode::Ended);
  EXPECT_FALSE(Now().ExitShown);
  presenter_.Start();
  EXPECT_EQ(Now().Mode, TMainMode::SetUp);

  presenter_.Start();
  EXPECT_EQ(view_.runsStarted, 2);
  WaitFor(TMainMode::OkPrompt);
  presenter_.Start();
  WaitFor(TMainMode::YesNoPrompt);
  presenter_.Start();  // Yes
  view_.PumpUntil([&] {
    return Now().Mode == TMainMode::Status && !view_.log.empty() &&
           view_.log.back() == "=== Next TallyPilot ===";
  });
  presenter_.Exit();  // Cancel while the status shows
  EXPECT_EQ(Now().Mode, TMainMode::Ended);
  EXPECT_TRUE(view_.Logged("Aborted by user!"));
}

// Closing the window: the settings are written from the run's fields only while the run leaves
// them alone (at a prompt, or after its end); a run that goes on freely is stopped first.
TEST_F(MainPresenter, CloseTakesTheFieldsOnlyWhileTheRunLeavesThemAlone) {
  presenter_.Start();
  WaitFor(TMainMode::OkPrompt);
  presenter_.Start();
  WaitFor(TMainMode::YesNoPrompt);
  bool workerWaited = false;
  presenter_.Close([&] { workerWaited = presenter_.Worker() && !presenter_.Worker()->Ended(); });
  EXPECT_TRUE(workerWaited);
  EXPECT_EQ(presenter_.Worker(), nullptr);

  TFakeView otherView;
  TMainPresenter other(otherView, fields_, bench_.VirtualClock(), nullptr);
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
