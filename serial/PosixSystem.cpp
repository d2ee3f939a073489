// The POSIX side of the serial component's platform services: the terminal binding and the port
// list, errno numbers and texts, and priority classes as nice values.
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "serial/PosixPorts.h"
#include "serial/SystemBinding.h"
#include "serial/SystemErrors.h"

const int kErrPortNotFound = ENOENT;
const int kErrPortInUse = EBUSY;
const int kErrDeviceGone = EIO;
const int kErrInvalidArgument = EINVAL;
const int kErrBadBuffer = EFAULT;
const int kErrNoDevice = EBADF;

std::string PlatformErrorText(int errorNumber) {
  char buffer[256] = {};
  // strerror_r comes in two flavours; both are handled without knowing which one this is.
  struct Pick {
    static const char* Text(int result, const char* buf) { return result == 0 ? buf : nullptr; }
    static const char* Text(const char* result, const char*) { return result; }
  };
  const char* text = Pick::Text(strerror_r(errorNumber, buffer, sizeof buffer), buffer);
  if (text == nullptr || *text == '\0') return "Unknown error " + std::to_string(errorNumber);
  return text;
}

std::unique_ptr<TPortBinding> CreateSystemBinding() { return CreatePosixBinding(); }

void EnumSystemPorts(std::vector<std::string>& names) { EnumPosixPorts(names); }

// A USB adapter is listed under its stable /dev/serial/by-id name, which already names it.
std::map<std::string, std::string> SystemPortAdapters() { return {}; }

// Process priority classes on a system with nice values. Linux keeps a nice value per thread,
// and the thread that opens a port is the one that then does its transfers, so the class is
// applied to the opening thread and the value it had is restored on Close:
//   pcIdle -> nice 19, pcNormal -> nice 0, pcHigh -> nice -10, pcRealTime -> nice -20;
//   pcDefault leaves the priority untouched.
// Raising the priority (a lower nice value) needs a privilege that an ordinary user lacks. As
// with process priority classes, where asking for real-time without the right quietly yields
// less, a refusal is not an error: the port opens at the priority the thread already has. The
// same holds for the restore on Close (an ordinary user cannot come back from pcIdle).
namespace {

int NiceValueOf(TPriorityClass value) {
  switch (value) {
    case pcIdle: return 19;
    case pcHigh: return -10;
    case pcRealTime: return -20;
    case pcNormal:
    case pcDefault: break;
  }
  return 0;
}

}  // namespace

void ApplyPriorityClass(TPriorityClass value, TSavedPriority& saved) noexcept {
  if (value == pcDefault) return;
  const long tid = syscall(SYS_gettid);
  errno = 0;
  const int current = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
  if (current == -1 && errno != 0) return;
  saved.value = current;
  saved.who = tid;
  saved.saved = true;
  // A refused change (EACCES/EPERM) keeps the present priority; see above.
  setpriority(PRIO_PROCESS, static_cast<id_t>(tid), NiceValueOf(value));
}

void RestorePriorityClass(TSavedPriority& saved) noexcept {
  if (!saved.saved) return;
  setpriority(PRIO_PROCESS, static_cast<id_t>(saved.who), saved.value);
  saved.saved = false;
}
