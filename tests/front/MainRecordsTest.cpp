// The main window's production records, against a fake view on the emulated bench: the run hands
// each device's record to the window's sink, the view hears of records written, and the Records
// button opens the window on the store.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "front/FrontEndSetup.h"
#include "front/MainPresenter.h"
#include "records/RecordStore.h"
#include "run/Clock.h"
#include "records/StoreSink.h"
#include "run/MainFields.h"
#include "run/Paths.h"
#include "serial/ComPort.h"
#include "sim/Bench.h"
#include "tests/common/RecordsLot.h"
#include "tests/front/FakeMainView.h"
#include "tests/front/ProgramFolder.h"
#include "tuning/SerThread.h"

namespace {

// The presenter over the emulated bench's ports, with a fake view, the set-up and the sink given.
struct TBenchPresenter {
  TBench bench;
  TComPort port1, port2;
  TMainFields fields;
  TFakeView view;
  std::unique_ptr<TMainPresenter> presenter;

  TBenchPresenter(const TFrontEndSetup& setup, TRecordSink* sink) {
    SetUpPortObject(port1, 0);
    SetUpPortObject(port2, 1);
    fields.SerIF1 = &port1;
    fields.SerIF2 = &port2;
    TMainPresenterOptions o;
    o.Setup = &setup;
    o.EnumPorts = [this] { return bench.PortNames(); };
    presenter = std::make_unique<TMainPresenter>(view, fields, bench.VirtualClock(), sink, o);
    view.presenter = presenter.get();
  }
};

TEST(MainRecords, ARunsRecordsReachTheStoreAndTheView) {
  TProgramFolder folder;
  folder.WriteIni({"", "", "", "", "SR", "Auto detect\t", "Auto detect\t",
                   TProgramFolder::Demo("rfmodem.tpf"), TProgramFolder::Demo("eeprom.tpf"),
                   TProgramFolder::Demo("server.sff")});
  TFrontEndSetup setup;
  setup.Files.ProgDir = folder.Dir();
  setup.Files.IniName = folder.IniName();
  TStoreSinkOptions so;
  so.Location = folder.Dir() + "records.db";
  so.SpoolFolder = folder.Dir() + "spool/";
  so.Bench = true;
  TStoreSink sink(so);

  {
    TBenchPresenter rig(setup, &sink);
    TMainPresenter& p = *rig.presenter;
    TFakeView& view = rig.view;
    p.Activate();
    EXPECT_TRUE(view.states.back().RecordsEnabled);
    EXPECT_EQ(view.states.back().RecordsHint, "");

    p.Start();
    view.PumpUntil([&] { return p.State().Mode == TMainMode::OkPrompt; });
    p.Start();  // Ok
    view.PumpUntil([&] { return p.State().Mode == TMainMode::YesNoPrompt; });
    p.Exit();  // No
    view.PumpUntil([&] { return p.State().Mode == TMainMode::Ended; });
    for (const std::string& line : view.log) EXPECT_EQ(line.find("Record not saved"), std::string::npos);
    // The sink's word that records were written reaches the view on its own thread.
    sink.Flush();
    view.PumpUntil([&] { return view.recordsWritten > 0; });
    EXPECT_GT(view.recordsWritten, 0);

    p.Records();
    ASSERT_EQ(view.recordsOpened.size(), 1u);
    EXPECT_EQ(view.recordsOpened[0].Location, so.Location);
    // (Compared as paths: on Windows the records' places use the system's separator.)
    EXPECT_EQ(std::filesystem::path(view.recordsOpened[0].DriftSettingsPath),
              std::filesystem::path(folder.Dir() + "tptune-drift.ini"));
  }
  sink.Flush();
  std::vector<TTuningRecord> records;
  OpenRecordStore(so.Location, TStoreOpen::kExisting)->Export({}, [&](const TTuningRecord& r) {
    records.push_back(r);
  });
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].Outcome, kRecordCompleted);
  EXPECT_TRUE(records[0].Bench);
  EXPECT_EQ(records[0].Mac, "00A10001");
}

// The line at the start of a run: only when the station's golden server lies outside the band,
// and only for the station's own records; it is worked out off the view's thread after the
// first activation.
TEST(MainRecords, DriftLineAtTheStartOfARun) {
  const struct {
    const char* name;
    int drift;
    bool ownStation;
    bool line;
  } cases[] = {
      {"outside", 5, true, true}, {"on the edge", -3, true, false},
      {"another station's", 5, false, false}, {"inside, below", -4, true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TProgramFolder folder;
    TFrontEndSetup setup;
    setup.Files.ProgDir = folder.Dir();
    setup.Files.IniName = folder.IniName();
    const std::string station = c.ownStation ? StationName() : "elsewhere";
    const std::string db = folder.Dir() + "tptune.db";
    Fill(db, std::vector<TRow>(20, {"00B00001", kRecordCompleted, 1, "2026-12-01T08:00:00.000Z",
                                    station.c_str(), "RFTPSERVER000123", c.drift}));
    TStoreSinkOptions so;
    so.Location = db;
    so.SpoolFolder = db + ".spool/";
    TStoreSink sink(so);
    TBenchPresenter rig(setup, &sink);
    TMainPresenter& p = *rig.presenter;
    TFakeView& view = rig.view;
    p.Activate();
    p.Start();
    ASSERT_FALSE(view.log.empty() && c.line);
    int drifted = 0;
    for (const std::string& l : view.log) drifted += l.find("has drifted") != std::string::npos;
    EXPECT_EQ(drifted, c.line ? 1 : 0);
    if (c.line) {
      EXPECT_EQ(view.log[0].rfind("Golden server #RFTPSERVER000123 has drifted: ", 0), 0u)
          << view.log[0];
    }
    p.Exit();  // Cancel
    EXPECT_EQ(p.State().Mode, TMainMode::Ended);
  }
}

// The operator and work order the program was started with go into every record of its runs,
// as the console's do.
TEST(MainRecords, OperatorAndWorkOrderReachTheRecords) {
  TProgramFolder folder;
  TProgramFiles files;
  files.ProgDir = files.DataDir = folder.Dir();
  files.IniName = folder.IniName();
  TFrontEndSetup setup = ChooseFrontEndSetup({"/x/tptune", false, folder.Dir() + "records.db"},
                                             files, [](const std::string&) { return false; });
  setup.Operator = "Dana";
  setup.WorkOrder = "WO-4711";
  const auto sink = OpenRecordSink(setup);
  ASSERT_TRUE(sink);
  TTuningRecord r = Make(kLot[0], 1);
  sink->Put(r);
  sink->Flush();
  std::vector<TTuningRecord> records;
  OpenRecordStore(setup.RecordsLocation, TStoreOpen::kExisting)
      ->Export({}, [&](const TTuningRecord& x) { records.push_back(x); });
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].Operator, "Dana");
  EXPECT_EQ(records[0].WorkOrder, "WO-4711");
}

// Without a store the Records button is off and says why; clicking it opens nothing.
TEST(MainRecords, NoneKept) {
  TMainFields fields;
  TFakeView view;
  TMainPresenter p(view, fields, RealClock(), nullptr);
  view.presenter = &p;
  EXPECT_FALSE(p.State().RecordsEnabled);
  EXPECT_EQ(p.State().RecordsHint, "No production records are kept");
  p.Records();
  EXPECT_TRUE(view.recordsOpened.empty());
}

}  // namespace
