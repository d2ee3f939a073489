// Handheld package decoding (TPF and binary forms) and the version texts of the images it
// yields. Input: the handheld's hardware version byte, then the package file.
#include <cstddef>
#include <cstdint>

#include "firmware/Decode.h"
#include "firmware/Packages.h"
#include "firmware/Versions.h"
#include "fuzz/FuzzRun.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  TRunRecord& run = TFuzzRun::Get().Run;
  run.TPHwVer = data[0];
  run.Reply.clear();
  const int k = 1 + (data[0] & 1);  // RF modem and EEPROM images have their own version rules
  const TPackageRecord record = MakePackageRecord({data + 1, size - 1});

  const TDecodeStatus status = DecodeTPF(run, &record, k, kDescRfModem);
  if (status == TDecodeStatus::Ok) {
    Require(run.Reply.empty());
    Require(run.TPImageLen[k] >= 64 && run.TPImageLen[k] < kTPImageSize);
    Require(run.TPImage[k][0] == run.TPHwVer);
    if (k == 1) BuildModemVer(run); else BuildEepromVer(run);
    Require((k == 1 ? run.ModemVer : run.EepromVer).starts_with(" to V"));
  } else {
    Require(!run.Reply.empty());
  }
  return 0;
}
