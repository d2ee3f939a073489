// A small program for the bundle tests: it shows that it runs, and what its own file carries.
#include <cstdio>

#include "firmware/Packages.h"

int main(int, char** argv) {
  const TEmbeddedBundle bundle = ReadEmbeddedBundle(ProgramFileName(argv[0]));
  switch (bundle.Status) {
    case TEmbeddedBundle::TStatus::kNone:
      std::puts("no bundle");
      break;
    case TEmbeddedBundle::TStatus::kHeaderUnreadable:
      std::puts("header unreadable");
      break;
    case TEmbeddedBundle::TStatus::kPresent: {
      const TBundleChoices choices = BundleChoices(*bundle.Bytes);
      std::printf("bundle: %s\n", choices.title ? choices.title->c_str() : "(no title)");
      break;
    }
  }
  return 0;
}
