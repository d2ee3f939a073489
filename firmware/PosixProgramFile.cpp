// The program's own file on Linux.
#include <link.h>

#include <filesystem>

#include "firmware/Packages.h"
#include "run/Paths.h"

std::string ProgramFileName(const char* argv0) {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  const std::string given = argv0 != nullptr ? argv0 : "";
  if (error) return given;
  // The first object the loader reports is the program; its interpreter entry names the loader.
  std::string interpreter;
  ::dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& header = info->dlpi_phdr[i];
          if (header.p_type == PT_INTERP)
            *static_cast<std::string*>(data) =
                reinterpret_cast<const char*>(info->dlpi_addr + header.p_vaddr);
        }
        return 1;
      },
      &interpreter);
  if (!interpreter.empty() && !given.empty() &&
      std::filesystem::equivalent(FilePath(interpreter), self, error))
    return PathText(std::filesystem::absolute(FilePath(given), error));
  return PathText(self);
}
