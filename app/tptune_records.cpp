// tptune-records: production records from the console.
#include <iostream>
#include <string>
#include <vector>

#include "app/RecordsTool.h"
#include "app/StandardOutput.h"
#include "firmware/Packages.h"
#include "run/Paths.h"
#include "run/Version.h"

int main(int argc, char** argv) {
  // File names and texts to look for in UTF-8, whatever the system's code page.
  std::vector<std::string> args = ProgramArguments(argc, argv);
  if (!args.empty()) args.erase(args.begin());
  if (args.size() == 1 && args[0] == "--version") {
    std::cout << VersionLine("tptune-records") << '\n';
    return 0;
  }
  UseBinaryStandardOutput();
  return RunRecordsTool(args, ProgramFileName(argv[0]), std::cout, std::cerr);
}
