// Finding the bundle in a program file, walking its records, reading its choices and loading
// a run's packages from it. Input: a program file (or a bare bundle).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "firmware/Packages.h"
#include "fuzz/FuzzRun.h"

namespace {

void UseBundle(std::span<const uint8_t> bundle) {
  if (bundle.empty()) return;
  const auto layout = WalkBundle(bundle);
  const TBundleChoices choices = BundleChoices(bundle);
  if (choices.title) Require(choices.title->size() + 5 <= bundle.size());

  TFuzzRun& fuzz = TFuzzRun::Get();
  fuzz.Main.EmbPkg = std::make_shared<const std::vector<uint8_t>>(bundle.begin(), bundle.end());
  fuzz.Run.Outcome = kOutcomeOk;
  fuzz.Run.ErrLog.clear();
  LoadPackages(fuzz.Run);
  Require((fuzz.Run.Outcome == kOutcomeOk) == layout.has_value());
  if (layout) {
    size_t total = 0;
    for (int k = 1; k < kBundleRecordCount; ++k) {
      Require(fuzz.Run.FwBlob[k] != nullptr && fuzz.Run.FwBlob[k]->size() >= 4);
      total += fuzz.Run.FwBlob[k]->size();
    }
    Require(total + layout->Records[0].size() < bundle.size());
  }
  fuzz.Main.EmbPkg.reset();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> file(data, size);
  const TReadAt readAt = [file](uint64_t offset, uint8_t* buffer, size_t count) {
    if (offset > file.size() || count > file.size() - offset) return false;
    std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(offset), count, buffer);
    return true;
  };
  const TBundleLocation location = LocateBundle(size, readAt);
  if (location.HeaderReadable) {
    Require(location.Start <= size);
    UseBundle(file.subspan(location.Start));
  }
  UseBundle(file);
  return 0;
}
