// The station's journal of production records: every record is on disk here before the
// operator is told how the device ended, and goes on to its store from here, exactly once.
//
// One journal per records location. It is a file of entries appended one at a time and synced
// to disk; each entry is one line with its kind, its length and a CRC-32 of its bytes, and
// begins on a fresh line, so an entry cut short by a crash or a full disk is recognised and
// left out, never joined to the next one. The first entry names the location the journal was
// written for; it is never delivered anywhere else.
//
//   TJournal journal(JournalPath(location, dataDir), location);
//   journal.Append(record);                     // durable from here on
//   auto store = OpenRecordStore(location, TStoreOpen::kWrite);
//   TDeliveryResult result = DeliverJournal(journal, *store);
//
// A store that keeps a record's uid once makes a repeated delivery (after a crash between the
// store's commit and the journal's note of it) a no-op. A record the store refuses for what it
// holds is moved to the rejected file beside the journal with the store's reason, and the rest
// goes on.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "records/TuningRecord.h"

class TRecordStore;

// Where the journal of a records location lies: beside a SQLite file ("tptune.db" gives
// "tptune.db.spool"); for a PostgreSQL location in dataDir, named from the location without its
// password and with a digest of it, so two servers never share a journal.
std::string JournalPath(const std::string& location, const std::string& dataDir);

// The rejected file beside a journal.
std::string RejectedPath(const std::string& journalPath);

// One entry's line (without the line breaks around it) and back; ParseJournalLine returns false
// for a line that is torn or not an entry.
std::string JournalLine(char kind, std::string_view payload);
bool ParseJournalLine(std::string_view line, char& kind, std::string& payload);

// What waits in a journal.
struct TJournalState {
  std::string WrittenFor;  // the location named by its first entry ("" for an empty journal)
  bool Foreign = false;    // written for another location than the one it was opened for
  std::vector<TTuningRecord> Waiting;  // the latest form of each record not yet delivered,
                                       // in the order they were first appended
  int Torn = 0;            // entries cut short or damaged, left out
  int HeldOpen = 0;        // records still held open by the process that made them
};

class TJournal {
 public:
  // location: the store the journal belongs to (its password is never written).
  TJournal(std::string path, std::string location);

  const std::string& Path() const { return path_; }

  // Appends the record and syncs it to disk. An open record belongs to a pass that is not over
  // (a server's record waits for its firmware restore): it is delivered only once the same uid
  // is appended again closed, or once the process that made it has ended. Throws
  // std::runtime_error when the record is not on disk (the text says why).
  void Append(const TTuningRecord& record, bool open = false);
  // Notes that a record reached its store (or was moved to the rejected file).
  void MarkDelivered(const std::string& uid);
  // Puts a record the store refused into the rejected file with the reason, then marks it.
  void Reject(const TTuningRecord& record, const std::string& reason);
  // What waits. With skipHeldOpen, open records of a process still running are not among
  // Waiting (they are counted in HeldOpen).
  TJournalState Read(bool skipHeldOpen = true) const;
  // Leaves out what was delivered and what is torn: the journal keeps only what waits.
  void Compact();

 private:
  TJournalState Parse(const std::string& bytes, bool skipHeldOpen) const;
  std::string path_, location_, shown_;
};

// Delivering a journal to its store.
struct TDeliveryResult {
  int Delivered = 0;     // reached the store (or were there already)
  int Rejected = 0;      // refused for their content, moved to the rejected file
  int Waiting = 0;       // still in the journal
  std::string Problem;   // why delivery stopped early ("" when it did not)
};

// Delivers every waiting record, oldest first; stops at the first failure of the store itself
// (unreachable, locked, read-only) and leaves the rest for later. each (optional) hears of every
// record that reached the store.
TDeliveryResult DeliverJournal(TJournal& journal, TRecordStore& store,
                               const std::function<void(const TTuningRecord&)>& each = {});

// True when the store refused a record for what it holds (a text it cannot keep, a value out of
// range, a constraint), not for its own state: such a record will never go in as it is.
bool RefusedForContent(const std::exception& error);
