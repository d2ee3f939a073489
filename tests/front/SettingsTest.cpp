// The settings file's lines and numbers, without a window.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "front/Settings.h"

namespace fs = std::filesystem;

namespace {

TEST(SettingsFile, Integers) {
  const std::optional<int32_t> invalid;
  const struct {
    const char* text;
    std::optional<int32_t> value;
  } cases[] = {
      {"192", 192},
      {"  -17", -17},  // leading blanks and sign
      {"+8", 8},
      {"$1F", 31},
      {"0XaB", 171},  // 0x hex, either case
      {"-$10", -16},
      {"$FFFFFFFF", -1},  // hex uses all 32 bits
      {"-2147483648", INT32_MIN},
      {"2147483647", INT32_MAX},
      {"2147483648", invalid},  // decimal overflow
      {"$100000000", invalid},  // hex overflow
      {"", invalid},
      {"   ", invalid},
      {"-", invalid},
      {"$", invalid},
      {"12 ", invalid},   // trailing blank
      {"\t12", invalid},  // a tab is no blank
      {"12px", invalid},
      {"1A", invalid},  // hex digit in decimal
      {"1.5", invalid},
      {"1,024", invalid},  // thousands separator
  };
  for (const auto& c : cases) EXPECT_EQ(ParseSettingsInt(c.text), c.value) << '"' << c.text << '"';
}

TEST(SettingsFile, Lines) {
  using Lines = std::vector<std::string>;
  const Lines ten = {"1", "2", "3", "4", "BA", "a\tb", "c\td", "x", "y", "z"};
  const struct {
    const char* name;
    std::string text;
    Lines lines;
  } cases[] = {
      {"CR LF", "1\r\n2\r\n3\r\n4\r\nBA\r\na\tb\r\nc\td\r\nx\r\ny\r\nz\r\n", ten},
      {"last line without end", "1\r\n2\r\n3\r\n4\r\nBA\r\na\tb\r\nc\td\r\nx\r\ny\r\nz", ten},
      {"LF and lone CR", "1\n2\r3\r\n4\nBA\na\tb\nc\td\nx\ny\nz\n", ten},
      {"four lines", "1\r\n2\r\n3\r\n4\r\n", {"1", "2", "3", "4", "", "", "", "", "", ""}},
      {"empty lines keep their place", "\r\n\r\n\r\n\r\nS\r\n",
       {"", "", "", "", "S", "", "", "", "", ""}},
      {"lines after the tenth are ignored",
       "1\r\n2\r\n3\r\n4\r\nBA\r\na\tb\r\nc\td\r\nx\r\ny\r\nz\r\nextra\r\n", ten},
      {"empty file", "", Lines(10)},
  };
  for (const auto& c : cases) {
    const TSettingsLines got = SplitSettingsLines(c.text);
    EXPECT_EQ(Lines(got.begin(), got.end()), c.lines) << c.name;
  }
}

class SettingsFileOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("tptune-settings-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

// Written and read back, every value comes back; the file has CR LF line ends and the letters
// in their fixed order.
TEST_F(SettingsFileOnDisk, RoundTrip) {
  const std::string name = (dir_ / "t.INI").string();
  TSettings s;
  s.Left = -8;
  s.Top = 40;
  s.Width = 500;
  s.Height = 420;
  s.GoldTP = true;
  s.RestoreSrv = true;
  s.AnalysisOnly = true;
  s.COM1Choice = "Auto detect";
  s.LastPort1 = "/dev/ttyUSB1";
  s.COM2Choice = "/dev/ttyS0";
  s.History1 = "/a/m\xC3\xB6" "dem.tpf\t/b/x.TPF";
  s.History3 = "/srv.sff";
  ASSERT_TRUE(WriteSettingsFile(name, FormatSettings(s)));

  std::ifstream f(name, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  EXPECT_EQ(bytes, "-8\r\n40\r\n500\r\n420\r\nBRA\r\nAuto detect\t/dev/ttyUSB1\r\n"
                   "/dev/ttyS0\t\r\n/a/m\xC3\xB6" "dem.tpf\t/b/x.TPF\r\n\r\n/srv.sff\r\n");

  TSettingsLines lines;
  ASSERT_TRUE(ReadSettingsFile(name, lines));
  const TSettings back = ParseSettings(lines);
  EXPECT_EQ(back.Left, s.Left);
  EXPECT_EQ(back.Height, s.Height);
  EXPECT_TRUE(back.GoldTP && back.RestoreSrv && !back.RestoreTP && back.AnalysisOnly);
  EXPECT_EQ(back.LastPort1, s.LastPort1);
  EXPECT_EQ(back.COM2Choice, s.COM2Choice);
  EXPECT_EQ(back.LastPort2, "");
  EXPECT_EQ(back.History1, s.History1);
  EXPECT_EQ(back.History3, s.History3);
}

TEST_F(SettingsFileOnDisk, MissingAndUnwritableFiles) {
  TSettingsLines lines;
  lines[4] = "untouched";
  EXPECT_FALSE(ReadSettingsFile((dir_ / "none.INI").string(), lines));
  EXPECT_EQ(lines[4], "untouched");
  // A directory in the file's place gives no choices (POSIX opens it and reads nothing,
  // Windows does not open it) and cannot be written; neither raises.
  fs::create_directory(dir_ / "busy.INI");
  TSettingsLines fromDirectory;
  ReadSettingsFile((dir_ / "busy.INI").string(), fromDirectory);
  EXPECT_EQ(fromDirectory, TSettingsLines{});
  EXPECT_FALSE(WriteSettingsFile((dir_ / "busy.INI").string(), FormatSettings(TSettings{})));
}

// A user's data folder named beyond ASCII (C:\Users\Jörg Müller\AppData\Local\tptune on
// Windows): the program's names are UTF-8, and the settings file is written and read where that
// name points, not in a folder of the ANSI code page's reading of the same bytes.
TEST_F(SettingsFileOnDisk, FolderNamedBeyondAscii) {
  const fs::path folder = dir_ / fs::path(u8"J\u00f6rg M\u00fcller");
  fs::create_directories(folder);
  const std::string name = dir_.string() + "/J\xC3\xB6rg M\xC3\xBCller/t.INI";
  TSettings s;
  s.Width = 512;
  ASSERT_TRUE(WriteSettingsFile(name, FormatSettings(s)));
  EXPECT_TRUE(fs::is_regular_file(folder / "t.INI"));
  TSettingsLines lines;
  ASSERT_TRUE(ReadSettingsFile(name, lines));
  EXPECT_EQ(ParseSettings(lines).Width, 512);
}

}  // namespace
