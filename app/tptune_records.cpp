// tptune-records: production records from the console.
#include <iostream>
#include <string>
#include <vector>

#include "app/RecordsTool.h"
#include "firmware/Packages.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return RunRecordsTool(args, ProgramFileName(argv[0]), std::cout, std::cerr);
}
