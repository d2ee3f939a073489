#include "RecordsTestUtil.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

std::unique_ptr<TPgServer> server;

class TStopServer : public ::testing::Environment {
 public:
  void TearDown() override { server.reset(); }
};
const auto* const kStopServer = ::testing::AddGlobalTestEnvironment(new TStopServer);

}  // namespace

TPgServer& SharedPgServer() {
  if (!server) server = std::make_unique<TPgServer>();
  return *server;
}

TScratchDir::TScratchDir() {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path dir = fs::temp_directory_path() / ("tptune-records-" + std::to_string(random()));
    std::error_code ec;
    if (fs::create_directory(dir, ec)) {
      dir_ = dir.string();
      return;
    }
  }
  throw std::runtime_error("no scratch folder");
}

TScratchDir::~TScratchDir() {
  std::error_code ec;
  // A test may have made files read-only.
  for (const auto& e : fs::recursive_directory_iterator(dir_, ec))
    fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
  fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(dir_, ec);
}

TTuningRecord SampleRecord(const std::string& uid, const std::string& mac, int offsetSteps,
                           const std::string& outcome, const std::string& startedAt) {
  TTuningRecord r;
  r.Uid = uid;
  r.StartedAt = startedAt;
  r.EndedAt = startedAt.substr(0, 17) + "59.999Z";
  r.Station = "bench-7";
  r.ProgramVersion = "0.1";
  r.Golden = "server";
  r.DonglePort = "/dev/ttyUSB0";
  r.DongleIdentity = "TPDONGLE00000001";
  r.DongleHwVersion = "1.0";
  r.ServerPort = "/dev/ttyUSB1";
  r.ServerIdentity = "SRV0000000000042";
  r.ServerHwVersion = "2.1";
  r.ServerFirmware = "V2.1.6a";
  r.DeviceKind = "handheld";
  r.DeviceIdentity = mac;
  r.Mac = mac;
  r.HandheldHwVersion = "1.2";
  r.RfModemVersion = "3.4";
  r.FactoryComp = 12;
  r.PcToolComp = std::nullopt;
  r.EffectiveComp = 12;
  r.GoldenComp = -3;
  r.Cycles = {{0, 10, 180, 30, 2, 4}, {8, 12, -75, 0, -1, 1}};
  r.OffsetSteps = offsetSteps;
  r.OffsetKhz = offsetSteps * 0.45;
  r.OffsetPpm = offsetSteps / 1.92955;
  r.NewCompSteps = 12 + offsetSteps;
  r.NewCompKhz = (12 + offsetSteps) * 0.45;
  r.NewCompPpm = (12 + offsetSteps) / 1.92955;
  r.Stored = true;
  r.Restored = {{"rf_modem", "V1.2", true}, {"eeprom", "V3.0", outcome == kRecordCompleted}};
  for (size_t i = 0; i < r.PackageSha256.size(); ++i)
    r.PackageSha256[i] = std::string(64, static_cast<char>('a' + i));
  r.RunId = "run-" + uid;
  r.Attempt = 2;
  r.Operator = "Jo Tuner";
  r.WorkOrder = "WO-2026-117/lot 4";
  r.Limits = R"({"cycles":[{"afc_spread":"pass","cycle":1,"packets":"pass"}],"min_packets":8})";
  r.Outcome = outcome;
  if (outcome == kRecordFailed) r.FailureReason = "Measurements inconsistent!";
  r.Log = "TallyPilot HW1.2\nSaid \"hello\", then, well\n";
  r.Trace = std::string(">TallyPilot HW1.2\r1<0\r1>-1\r") + std::string(1, '\0') + "\xff\r";
  return r;
}

std::vector<std::string> Uids(TRecordStore& store, const TRecordFilter& filter) {
  std::vector<std::string> uids;
  store.List(filter, [&](const TTuningRecord& r) { uids.push_back(r.Uid); });
  return uids;
}
