// Whether the user may open a serial device, and what to do about it when not: on Linux the
// device nodes of serial adapters belong to a group (usually "dialout") whose members may open
// them, and a new user is not yet in it.
#pragma once

#include <string>

struct TPortAccess {
  bool Node = false;          // the name is a device node (or another file) that could be looked at
  bool MayOpen = true;        // the user may open it for reading and writing (true when unknown)
  std::string Group;          // the node's group: its name, or its number when it has none
  bool GroupMayOpen = false;  // the node's group may read and write it
};

// Looks at the node behind deviceName without opening it. A name that is no file (a port of
// the emulated bench) gives Node false and MayOpen true.
TPortAccess PortAccess(const std::string& deviceName);

// True for the error numbers of a refused open: EACCES and EPERM.
bool IsPermissionError(int errorCode);

// The user the program runs as ("" when unknown).
std::string CurrentUserName();

// The hint for a port the user may not open, naming the group of its node and the command that
// adds the user to it; one line.
std::string PermissionHint(const std::string& deviceName, const TPortAccess& access,
                           const std::string& user);

// The mark of a port the user may not open, for port lists ("" when it may be opened).
std::string PortAccessMark(const TPortAccess& access);
