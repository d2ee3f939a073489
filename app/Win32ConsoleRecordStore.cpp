#include <ostream>

#include "app/ConsoleRecordStore.h"

std::unique_ptr<TRecordSink> OpenConsoleRecordStore(const std::string& location,
                                                    const std::string&, bool, std::ostream& err) {
  // Only a store asked for by name is worth a word; by default the Windows build keeps none.
  if (!location.empty())
    err << "tptune-cli: production records are not kept by the Windows build; --records "
        << location << " is ignored\n";
  return nullptr;
}
