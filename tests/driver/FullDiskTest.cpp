// A disk that fills up in the middle of a job (a file size limit stands in for it): the device
// whose record can be kept nowhere is not reported done as if it were, the run asks for no
// further handheld, and the job ends with its own exit status and honest counts.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/ConsoleFrontEnd.h"
#include "records/RecordStore.h"
#include "run/Clock.h"

namespace fs = std::filesystem;

namespace {

std::string FileText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(FullDisk, ADeviceWhoseRecordIsKeptNowhereEndsTheJobWithItsOwnStatus) {
  const fs::path dir = fs::temp_directory_path() / ("tptune-full-disk-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  for (const char* f : {"tpftune.tpf", "srvftune.sff"})
    fs::copy_file(std::string(DEMO_PACKAGES_DIR) + "/" + f, dir / f);
  fs::copy_file("/proc/self/exe", dir / "tptune-cli");
  std::ofstream(dir / "no-input").close();
  const std::string location = (dir / "r.db").string();
  { OpenRecordStore(location, TStoreOpen::kCreate); }  // a store that works, for the check

  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    TCliOptions o;
    o.bench = true;
    o.rfModem = std::string(DEMO_PACKAGES_DIR) + "/rfmodem.tpf";
    o.eeprom = std::string(DEMO_PACKAGES_DIR) + "/eeprom.tpf";
    o.serverFirmware = std::string(DEMO_PACKAGES_DIR) + "/server.sff";
    o.answers = {"ok", "yes", "yes"};
    o.records = location;
    o.json = true;
    std::ostringstream out, err;
    const int noInput = ::open((dir / "no-input").c_str(), O_RDONLY);
    // The disk fills up once the job has started (the records location was checked): from
    // then on no file grows beyond 2 kB, so neither a spool file nor the store takes a record.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    TCliIo io{out, err, noInput, false, nullptr, [&saved](Clock& bench, std::function<void()>) -> Clock& {
                rlimit full = saved;
                full.rlim_cur = 2048;
                setrlimit(RLIMIT_FSIZE, &full);
                return bench;
              }};
    const int status = RunCli(o, (dir / "tptune-cli").string(), io);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::ofstream(dir / "out.txt") << out.str();
    std::ofstream(dir / "err.txt") << err.str();
    ::_exit(status);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  const std::string out = FileText(dir / "out.txt");
  ASSERT_TRUE(WIFEXITED(status)) << out;
  EXPECT_EQ(WEXITSTATUS(status), kExitRecordNotKept) << out << FileText(dir / "err.txt");
  // The first handheld's result line says its record was kept nowhere, and why.
  const size_t result = out.find("Completed successfully! Record NOT kept: cannot write ");
  ASSERT_NE(result, std::string::npos) << out;
  EXPECT_NE(out.find("File too large", result), std::string::npos) << out;
  // No further handheld was asked for.
  EXPECT_EQ(out.find("Do you want to fine-tune another TallyPilot?"), std::string::npos) << out;
  EXPECT_EQ(out.find("=== Next TallyPilot ==="), std::string::npos) << out;
  const size_t counts = out.rfind("{\"records_unsaved\"");
  ASSERT_NE(counts, std::string::npos) << out;
  const auto last = nlohmann::json::parse(out.substr(counts));
  EXPECT_EQ(last["records_unsaved"], 1);
  EXPECT_EQ(last["records_waiting"], 0);
  fs::remove_all(dir);
}

}  // namespace
