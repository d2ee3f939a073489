// The program folder of the front-end tests: a temporary folder with the test firmwares under
// their fixed names (as beside a program), the settings file in it, and the demo production
// packages the build makes.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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
  std::string ErrName() const { return (dir_ / "tptune.ERR").string(); }

  // The settings file from lines each ended by CR LF, or verbatim.
  void WriteIni(const std::vector<std::string>& lines) const {
    std::string text;
    for (const std::string& l : lines) text += l + "\r\n";
    WriteIniBytes(text);
  }
  void WriteIniBytes(const std::string& bytes) const {
    std::ofstream(IniName(), std::ios::binary) << bytes;
  }
  std::string IniBytes() const { return Read(IniName()); }
  // The settings file's lines, each of which must end with CR LF.
  std::vector<std::string> IniLines() const {
    const std::string text = IniBytes();
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
      lines.push_back(text.substr(start, end - start));
    EXPECT_EQ(start, text.size()) << "a line without CR LF at the end";
    return lines;
  }
  // A file's bytes; empty when there is none.
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // A demo package the build made ("rfmodem.tpf", "eeprom.tpf", "server.sff").
  static std::string Demo(const std::string& name) {
    return std::string(DEMO_PACKAGES_DIR) + "/" + name;
  }

 private:
  std::filesystem::path dir_;
};
