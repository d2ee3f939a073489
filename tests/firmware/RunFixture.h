// A run record for firmware tests: the window's fields, a bridge that records log lines and
// runs front-end work directly, and a scratch directory for package files.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "run/DirectBridge.h"
#include "run/RunRecord.h"

class TRecordingBridge : public TDirectBridge {
 public:
  std::vector<ByteText> Lines;

  void ShowLogLine(const ByteText& text) override { Lines.push_back(text); }
};

struct TRunFixture {
  TMainFields Main;
  TRecordingBridge Bridge;
  std::unique_ptr<TRunRecord> Run = std::make_unique<TRunRecord>(Main, Bridge, RealClock());
};

// A directory removed with its contents at the end of the test.
class TScratchDir {
 public:
  TScratchDir() {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
      path_ = std::filesystem::temp_directory_path() /
              ("tptune-fw-" + std::to_string(random()) + std::to_string(random()));
      if (std::filesystem::create_directory(path_)) return;
    }
    throw std::runtime_error("no scratch directory");
  }
  ~TScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TScratchDir(const TScratchDir&) = delete;
  TScratchDir& operator=(const TScratchDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  // The directory with its trailing separator, as ProgDir holds it.
  std::string Dir() const { return (path_ / "").string(); }
  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
    const std::string file = (path_ / name).string();
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return file;
  }

 private:
  std::filesystem::path path_;
};
