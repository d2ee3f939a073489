// The console program on POSIX systems: SIGTERM (as sent by timeout and service managers) is
// handled like Ctrl-C.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

class Signals : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("tptune-signals-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

// SIGTERM (as sent by timeout and service managers) cancels like Ctrl-C: the program ends with
// status 1 and still writes its trace and the bench report.
TEST_F(Signals, SigtermCancelsAndTheFilesAreStillWritten) {
  const std::string demo = DEMO_PACKAGES_DIR;
  const std::string report = (dir_ / "report.json").string();
  const std::string trace = (dir_ / "run.ERR").string();
  int toChild[2], fromChild[2];
  ASSERT_EQ(pipe(toChild), 0);
  ASSERT_EQ(pipe(fromChild), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    dup2(toChild[0], 0);
    dup2(fromChild[1], 1);
    close(toChild[1]);
    close(fromChild[0]);
    const std::string rf = demo + "/rfmodem.tpf", ee = demo + "/eeprom.tpf",
                      srv = demo + "/server.sff";
    execl(TPTUNE_CLI, TPTUNE_CLI, "--bench", "--restore-server", "--rf-modem", rf.c_str(),
          "--eeprom", ee.c_str(), "--server-firmware", srv.c_str(), "--trace", trace.c_str(),
          "--bench-report", report.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(toChild[0]);
  close(fromChild[1]);
  // Standard input stays open: the program waits at the connect prompt until the signal.
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (out.find("[answer] ") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fromChild[0], POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char chunk[512];
    const ssize_t n = read(fromChild[0], chunk, sizeof chunk);
    if (n <= 0) break;
    out.append(chunk, static_cast<size_t>(n));
  }
  ASSERT_NE(out.find("Press Ok to continue."), std::string::npos) << out;
  kill(child, SIGTERM);
  int status = 0;
  for (int i = 0; i < 200 && waitpid(child, &status, WNOHANG) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (waitpid(child, &status, WNOHANG) == 0 && !WIFEXITED(status)) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    FAIL() << "the program did not end after SIGTERM";
  }
  close(toChild[1]);
  close(fromChild[0]);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_TRUE(fs::exists(trace));
  EXPECT_GT(fs::file_size(report), 0u);
}

}  // namespace
