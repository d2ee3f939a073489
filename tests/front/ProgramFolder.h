// The program folder of the front-end tests: a temporary folder with the test firmwares under
// their fixed names (as beside a program), the settings file's name in it, and the demo
// production packages the build makes.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

class TProgramFolder {
 public:
  TProgramFolder() {
    dir_ = std::filesystem::temp_directory_path() /
           ("tptune-front-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    for (const char* f : {"tpftune.tpf", "srvftune.sff"})
      std::filesystem::copy_file(Demo(f), dir_ / f);
  }
  ~TProgramFolder() { std::filesystem::remove_all(dir_); }
  TProgramFolder(const TProgramFolder&) = delete;
  TProgramFolder& operator=(const TProgramFolder&) = delete;

  std::string Dir() const { return dir_.string() + "/"; }
  std::string IniName() const { return (dir_ / "tptune.INI").string(); }
  // A demo package the build made ("rfmodem.tpf", "eeprom.tpf", "server.sff").
  static std::string Demo(const std::string& name) {
    return std::string(DEMO_PACKAGES_DIR) + "/" + name;
  }

 private:
  std::filesystem::path dir_;
};
