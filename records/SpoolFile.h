// One file of the records spool as this platform writes, claims, moves and removes it
// (PosixSpoolFile.cpp, Win32SpoolFile.cpp).
//
// A claim is an exclusive lock on that one file, taken without waiting, which the system drops
// when the claiming program ends however it ends. So two programs never deliver one record at
// once, a record a crashed program had claimed is free again for the next one, and nothing but
// the claimed file itself is ever locked or rewritten.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class TSpoolFile {
 public:
  // Writes bytes into a new file tmpPath, flushes it to the disk, renames it to finalPath and
  // flushes that folder, so that finalPath appears whole or not at all. The new file is claimed
  // from its creation: with keepClaim the claim stays with the returned object (a record of a
  // pass that is not over), otherwise it ends here and the result is null. Throws
  // std::runtime_error ("cannot write PATH: why") when the file is not on the disk; nothing is
  // left behind then.
  static std::unique_ptr<TSpoolFile> Write(const std::string& tmpPath,
                                           const std::string& finalPath, std::string_view bytes,
                                           bool keepClaim);
  // Claims the file at path; null when another program holds it, or it is gone.
  static std::unique_ptr<TSpoolFile> Claim(const std::string& path);

  ~TSpoolFile();  // ends the claim
  TSpoolFile(const TSpoolFile&) = delete;
  TSpoolFile& operator=(const TSpoolFile&) = delete;

  const std::string& Path() const { return path_; }
  // The file's bytes; throws std::runtime_error ("cannot read PATH: why").
  std::string Read() const;
  // Removes the file; false (with why) when it could not be. The claim ends with the object.
  bool Remove(std::string* why = nullptr);
  // Renames the file (within the spool's file system), claim and all; false (with why) when it
  // could not be.
  bool MoveTo(const std::string& path, std::string* why = nullptr);

 private:
  TSpoolFile(std::string path, intptr_t handle) : path_(std::move(path)), handle_(handle) {}
  std::string path_;
  intptr_t handle_;  // the platform's descriptor or handle
};

// The names of the files in folder whose name ends with ending, sorted; none when the folder is
// missing or cannot be read.
std::vector<std::string> SpoolFileNames(const std::string& folder, std::string_view ending);
// Makes folder and those above it; "" when it is there, else why not.
std::string MakeSpoolFolder(const std::string& folder);
// Seconds since the file at path last changed; -1 when it cannot be told.
double SpoolFileAge(const std::string& path);
// The running program's process number, as temporary files are named.
long long SpoolProcessId();
