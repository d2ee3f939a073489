// Access to serial device nodes on POSIX systems.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "serial/PortAccess.h"

TPortAccess PortAccess(const std::string& deviceName) {
  TPortAccess access;
  struct stat info {};
  if (stat(deviceName.c_str(), &info) != 0) return access;
  access.Node = true;
  // The kernel's own check for the effective user and all of its groups (ACLs included).
  access.MayOpen = faccessat(AT_FDCWD, deviceName.c_str(), R_OK | W_OK, AT_EACCESS) == 0;
  access.GroupMayOpen = (info.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
  std::vector<char> buffer(16384);
  group entry{};
  group* found = nullptr;
  if (getgrgid_r(info.st_gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
    access.Group = found->gr_name;
  else
    access.Group = std::to_string(info.st_gid);
  return access;
}

bool IsPermissionError(int errorCode) { return errorCode == EACCES || errorCode == EPERM; }

std::string CurrentUserName() {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found)
    return found->pw_name;
  return {};
}

std::string PermissionHint(const std::string& deviceName, const TPortAccess& access,
                           const std::string& user) {
  const std::string who = user.empty() ? "$USER" : user;
  std::string hint = "Hint: no permission to open " + deviceName + ". ";
  if (!access.Node)
    return hint + "Ask for access to it, or join the group that owns it (ls -l " + deviceName +
           " shows it).";
  if (!access.GroupMayOpen || access.Group == "root")
    return hint + "Its group \"" + access.Group +
           "\" may not open it either; a udev rule can give it one (example: 99-tptune.rules, with the tool).";
  return hint + "It belongs to group \"" + access.Group + "\"; add the user to it with: sudo usermod -aG " +
         access.Group + " " + who + " (then log out and in again).";
}

std::string PortAccessMark(const TPortAccess& access) {
  if (access.MayOpen) return {};
  return "no permission (group " + access.Group + ")";
}
