// The journal's file, as this platform opens, locks, reads and writes it (PosixJournalFile.cpp,
// Win32JournalFile.cpp): an open file with a lock on it for as long as the object lives, so the
// programs of one station that append to one journal, read it or compact it take turns. POSIX
// locks the journal itself; Windows, which cannot put a new file in place of one that others
// hold open, locks a file of its own beside it (the journal's name with ".lock").
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class TJournalFile {
 public:
  enum class EAccess {
    Append,   // read and append, made when missing; exclusive lock
    Read,     // read only; shared lock
    Rewrite,  // read and rewrite an existing file; exclusive lock
  };
  // Opens the file and waits for its lock. The compaction replaces a journal by a new file:
  // whoever waited for the lock on the old one opens the new one, so nothing is added to a file
  // that is gone.
  TJournalFile(const std::string& path, EAccess access);
  ~TJournalFile();
  TJournalFile(const TJournalFile&) = delete;
  TJournalFile& operator=(const TJournalFile&) = delete;

  bool IsOpen() const;
  // Not open because the file is not there.
  bool Missing() const { return missing_; }
  // "cannot open PATH: why" when not open.
  const std::string& OpenError() const { return error_; }

  // The file's size in bytes; throws "cannot read PATH: why".
  uint64_t Size() const;
  // Up to limit bytes from the start of the file.
  std::string Read(size_t limit = SIZE_MAX) const;
  // Appends bytes at the end; throws "cannot write PATH: why".
  void Append(std::string_view bytes);
  // Flushes what was written to the disk; throws "cannot sync PATH: why".
  void Sync();
  // Empties the file and flushes that to the disk; false when that failed.
  bool Empty();
  // Puts a new file with these bytes in place of the journal, so that a crash leaves either the
  // old journal or the new one whole; false (and the journal as it was) when that could not be
  // done. The lock is held until the object goes; nothing else may be done with it after.
  bool ReplaceWith(const std::string& bytes);

 private:
  std::string path_;
  bool missing_ = false;
  std::string error_;
  intptr_t handle_ = -1;  // the platform's file descriptor or handle; -1 when not open
  intptr_t lock_ = -1;    // the lock file's handle, where the platform locks one
};

// The running program's process id, as journal entries name their writer.
int64_t ThisProcessId();
// Whether a process with this id is running (the writer of an entry held open).
bool ProcessRunning(int64_t pid);
