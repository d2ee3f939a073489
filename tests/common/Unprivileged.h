// Test help for permission checks: a stand-in device node that an ordinary user may not open,
// and a way to look at it as such a user even when the tests run as root (where file modes
// refuse nothing).
#pragma once

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

namespace unprivileged {

// The group a stand-in node gets: "dialout" when the system has it and the tests run as root
// (who may give a file any group), else the user's own group.
inline gid_t NodeGroup() {
  if (geteuid() == 0)
    if (const group* g = getgrnam("dialout")) return g->gr_gid;
  return getegid();
}

inline std::string GroupName(gid_t gid) {
  const group* g = getgrgid(gid);
  return g ? g->gr_name : std::to_string(gid);
}

// A file standing in for a serial device node at path, owned by the user running the tests, in
// NodeGroup(), with mode (0060: only the group may read and write it, so neither its owner
// without root's rights nor an outsider may open it).
inline void MakeNode(const std::filesystem::path& path, mode_t mode) {
  std::ofstream(path).put('\0');
  if (chown(path.c_str(), static_cast<uid_t>(-1), NodeGroup()) != 0) throw std::runtime_error("chown");
  if (chmod(path.c_str(), mode) != 0) throw std::runtime_error("chmod");
  // The folders on the way must let the other user through.
  chmod(path.parent_path().c_str(), 0755);
}

// Runs work in a child process; as root the child first becomes the user and group "nobody"
// (65534) without supplementary groups. Returns what work returned, or a text starting with
// "child:" when the child could not run it.
inline std::string Run(const std::function<std::string()>& work) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return "child: no pipe";
  const pid_t pid = fork();
  if (pid == 0) {
    close(pipeFds[0]);
    std::string result;
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
      result = "child: cannot give up root";
    else
      result = work();
    const char* p = result.data();
    size_t left = result.size();
    while (left > 0) {
      const ssize_t n = write(pipeFds[1], p, left);
      if (n <= 0) break;
      p += n;
      left -= static_cast<size_t>(n);
    }
    _exit(0);
  }
  close(pipeFds[1]);
  std::string result;
  char chunk[512];
  for (ssize_t n; (n = read(pipeFds[0], chunk, sizeof chunk)) > 0;) result.append(chunk, static_cast<size_t>(n));
  close(pipeFds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child: ended abnormally";
  return result;
}

}  // namespace unprivileged
