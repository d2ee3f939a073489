// Port permissions on Windows: a COM port has no device node with a group to join, and the
// system refuses a port in use with the same error as a forbidden one, so there is no hint to give
// and no port to mark.
#include "serial/PortAccess.h"

TPortAccess PortAccess(const std::string&) { return {}; }

bool IsPermissionError(int) { return false; }

std::string CurrentUserName() { return {}; }

std::string PermissionHint(const std::string&, const TPortAccess&, const std::string&) { return {}; }

std::string PortAccessMark(const TPortAccess&) { return {}; }
