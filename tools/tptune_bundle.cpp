// tptune-bundle: makes a copy of a tuning program that carries its firmware packages, a window
// title and fixed choices in an embedded bundle.
#include <charconv>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "run/Paths.h"
#include "run/Version.h"
#include "tools/FileBytes.h"
#include "tools/PackageBuilder.h"

namespace {

const char kUsage[] =
    "usage: tptune-bundle PROGRAM OUT TITLE FLAGS RFMODEM EEPROM SERVER TPTEST SRVTEST\n"
    "  Writes a copy of PROGRAM to OUT with a firmware bundle appended (replacing one it\n"
    "  already carries): the window TITLE, the five package files and the FLAGS byte\n"
    "  (decimal or 0x hex): bit 0 golden reference is the handheld, bit 1 the operator\n"
    "  chooses the golden reference, bit 2 analysis only, bit 3 the operator chooses it.\n";

bool ParseFlags(const std::string& text, uint8_t& flags) {
  int base = 10;
  const char* first = text.data();
  const char* last = text.data() + text.size();
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    first += 2;
  }
  unsigned value = 0;
  const auto result = std::from_chars(first, last, value, base);
  if (result.ec != std::errc() || result.ptr != last || value > 0xFF) return false;
  flags = static_cast<uint8_t>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args = ProgramArguments(argc, argv);
  if (args.size() == 2 && args[1] == "--version") {
    std::printf("%s\n", VersionLine("tptune-bundle").c_str());
    return 0;
  }
  if (args.size() != 10) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string &program = args[1], &out = args[2], &title = args[3];
  uint8_t flags = 0;
  if (!ParseFlags(args[4], flags)) {
    std::fprintf(stderr, "tptune-bundle: FLAGS must be a number from 0 to 255, not \"%s\"\n",
                 args[4].c_str());
    return 2;
  }
  try {
    std::array<TBytes, 5> packages;
    for (int i = 0; i < 5; ++i) packages[static_cast<size_t>(i)] = ReadFileBytes(args[static_cast<size_t>(5 + i)]);
    const TBytes programBytes = ReadFileBytes(program);
    const TBytes bundle = BuildBundle(title, packages, flags);
    WriteFileBytes(out, AttachBundle(programBytes, bundle), FileMode(program));
    std::printf("%s: bundle of %zu bytes appended\n", out.c_str(), bundle.size());
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tptune-bundle: %s\n", error.what());
    return 1;
  }
}
