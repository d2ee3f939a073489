// Server package decoding (Intel HEX and SFF forms) and the server version text. Input: the
// package file.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "firmware/Decode.h"
#include "firmware/Packages.h"
#include "firmware/Versions.h"
#include "fuzz/FuzzRun.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TRunRecord& run = TFuzzRun::Get().Run;
  run.Reply.clear();
  const TPackageRecord record = MakePackageRecord({data, size});

  const TDecodeStatus status = DecodeSFF(run, &record, 1, kDescServer);
  const auto& image = run.SrvImage[1];
  if (status == TDecodeStatus::Ok) {
    Require(run.Reply.empty());
    BuildSrvFileVer(run);
    Require(run.SrvFileVer.empty() || run.SrvFileVer.starts_with(" to V"));
  } else {
    Require(status == TDecodeStatus::BadFormat);
    Require(std::all_of(image.begin() + kSrvFirstWord, image.end(),
                        [](uint16_t w) { return w == kSrvNoData; }));
  }
  return 0;
}
