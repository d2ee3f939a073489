// tptune-mkpkg: writes firmware packages for trying the tuning program on the emulated bench.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "run/Paths.h"
#include "run/Version.h"
#include "tools/DemoPackages.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args = ProgramArguments(argc, argv);
  if (args.size() == 2 && args[1] == "--version") {
    std::printf("%s\n", VersionLine("tptune-mkpkg").c_str());
    return 0;
  }
  if (args.size() != 3 || args[1] != "demo") {
    std::fputs(
        "usage: tptune-mkpkg demo OUTDIR\n"
        "  Writes the demo packages rfmodem.tpf, eeprom.tpf, server.sff, server.hex,\n"
        "  tpftune.tpf and srvftune.sff into OUTDIR (created when missing).\n",
        stderr);
    return 2;
  }
  try {
    for (const std::string& path : WriteDemoPackages(args[2])) std::printf("%s\n", path.c_str());
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tptune-mkpkg: %s\n", error.what());
    return 1;
  }
}
