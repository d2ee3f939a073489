// Writes records into a store, as one station of a line would: records_writer LOCATION PREFIX
// COUNT adds COUNT records with the uids PREFIX-0, PREFIX-1... one transaction each.
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "RecordsTestUtil.h"
#include "records/RecordStore.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  try {
    auto store = OpenRecordStore(argv[1], TStoreOpen::kCreate);
    const int count = std::atoi(argv[3]);
    for (int i = 0; i < count; ++i)
      store->Add(SampleRecord(std::string(argv[2]) + "-" + std::to_string(i), "00000001", i % 7,
                              kRecordCompleted, "2026-12-10T10:00:00.000Z"));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "records_writer: %s\n", e.what());
    return 1;
  }
  return 0;
}
