// Running programs from tests: a command's exit status and standard output, and the dynamic
// loader this system starts programs with. RunCommand and the platform facts come from each
// platform's own file (PosixCommands.cpp, Win32Commands.cpp).
#pragma once

#include <fstream>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

struct TCommandResult {
  int Status = -1;  // the exit status, or -1 when the program did not exit normally
  std::string Output;
};

// Runs the words as one command (standard error is left alone). The first word is the program.
TCommandResult RunCommand(const std::vector<std::string>& words);

// The name a program file is given to run here: with ".exe" on Windows.
std::string ProgramFile(const std::string& name);

// Whether programs here are started through a dynamic loader that can also be run by hand.
bool HasDynamicLoader();

// The program interpreter named by this test program's own ELF file (64-bit little-endian, as
// the test host's programs are); empty when there is none.
inline std::string DynamicLoaderPath() {
  std::ifstream self("/proc/self/exe", std::ios::binary);
  std::vector<char> elf((std::istreambuf_iterator<char>(self)), std::istreambuf_iterator<char>());
  auto u16 = [&](size_t at) { return static_cast<uint16_t>(static_cast<uint8_t>(elf[at]) | (static_cast<uint8_t>(elf[at + 1]) << 8)); };
  auto u64 = [&](size_t at) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(elf[at + static_cast<size_t>(i)]);
    return v;
  };
  if (elf.size() < 64 || elf[4] != 2 || elf[5] != 1) return {};
  const uint64_t phoff = u64(0x20);
  const uint16_t entry = u16(0x36), count = u16(0x38);
  for (uint16_t i = 0; i < count; ++i) {
    const size_t at = phoff + static_cast<size_t>(i) * entry;
    if (at + 56 > elf.size()) break;
    constexpr uint32_t kInterp = 3;
    if (u16(at) == kInterp && u16(at + 2) == 0) {
      const uint64_t offset = u64(at + 8), size = u64(at + 32);
      if (offset + size > elf.size() || size == 0) return {};
      return std::string(elf.begin() + static_cast<long>(offset), elf.begin() + static_cast<long>(offset + size - 1));
    }
  }
  return {};
}
