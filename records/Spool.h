// The station's spool of production records: every record is on the disk here before the
// operator is told how the device ended, and goes on to its store from here, exactly once.
//
// One spool per records location, in the user's data folder (never beside a store the user may
// not write), named from the location as it may be shown and a digest of its canonical form: a
// SQLite file by its real path, a server without its password. It is a folder with one file per
// record, built as mail queues are, so that any number of programs share it and nothing shared
// is ever rewritten:
//
//   tmp/       a record being written (a crash leaves it here, unfinished, never delivered)
//   queue/     records ready for their store, oldest first by name; written whole to tmp/,
//              flushed, renamed here, and the folder flushed
//   held/      records of a pass that is not over (a tuned server's waits for its firmware
//              restore), claimed by the program that makes them; one whose program has ended
//              goes on as it is
//   damaged/   files that fail their check, moved aside and named in the log
//   rejected/  records the store refused for what they hold, each with a ".reason" file
//
// Delivery claims one file at a time (a lock on that file alone), stores it and removes it; a
// store that keeps a record's uid once makes a repeated delivery (after a crash between the
// store's commit and the removal) a no-op. Any program may deliver what another left.
//
//   TSpool spool(SpoolFolder(location, dataDir), location);
//   spool.Put(record);                                   // on the disk from here on
//   auto store = OpenRecordStore(location, TStoreOpen::kWrite);
//   TSpoolDelivery result = DeliverSpool(spool, *store);
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "records/TuningRecord.h"

class TRecordStore;
class TSpoolFile;

// The location as the spool is keyed by it: a SQLite file's absolute path with its folders'
// links resolved, a server's URL without its password.
std::string CanonicalLocation(const std::string& location);
// The spool folder of a records location in dataDir (ending in the platform's separator).
std::string SpoolFolder(const std::string& location, const std::string& dataDir);

// A record as its spool file holds it, and back: a header line with the sizes and a CRC-32, the
// record without its log and trace as JSON, its log, then its trace packed as the store keeps it
// (PackTrace). DecodeSpoolFile throws std::runtime_error (why) for bytes that are not such a
// file, whole; without unpackTrace the trace stays packed (for the store).
std::string EncodeSpoolFile(const TTuningRecord& record);
TTuningRecord DecodeSpoolFile(std::string_view bytes, bool unpackTrace = true);

// What waits in a spool.
struct TSpoolState {
  int Waiting = 0;   // records in the queue, and held records whose program has ended
  int HeldOpen = 0;  // records of passes still under way in running programs
  int Damaged = 0;   // files in damaged/
  int Rejected = 0;  // records in rejected/
};

// A spool delivered: what it came to.
struct TSpoolDelivery {
  int Delivered = 0;             // reached the store (or were there already)
  int Rejected = 0;              // refused for what they hold, moved to rejected/
  int Waiting = 0;               // still waiting (including those other programs were storing)
  std::vector<std::string> Notes;  // a line for each file moved aside
  std::string Problem;           // why delivery stopped early ("" when it did not)
};

class TSpool {
 public:
  // folder: see SpoolFolder; location: the store it belongs to (its password is never written).
  TSpool(std::string folder, std::string location);
  ~TSpool();
  TSpool(const TSpool&) = delete;
  TSpool& operator=(const TSpool&) = delete;

  const std::string& Folder() const { return folder_; }
  const std::string& Location() const { return location_; }

  // Makes the spool's folders; "" when records can be written there, else why not.
  std::string Prepare();
  // Puts the record into the queue, on the disk when this returns. A record held open under
  // the same uid by this object is replaced. Throws std::runtime_error (why) when the record
  // is not on the disk.
  void Put(const TTuningRecord& record);
  // Keeps a record whose pass is not over in held/, claimed by this object until Put gives its
  // last form (or the object, or the program, ends). Throws as Put does.
  void PutOpen(const TTuningRecord& record);

  // How many records wait, cheaply (names only, nothing read).
  TSpoolState State() const;
  // The records that wait, oldest first (those held by running programs left out); files that
  // cannot be read are counted in the state's Damaged, not moved.
  std::vector<TTuningRecord> Waiting(TSpoolState* state = nullptr) const;

  // Delivers every waiting record to store, oldest first; stops at the first failure of the
  // store itself (unreachable, locked, read-only) and leaves the rest for later. each hears of
  // every record that reached the store; stop (optional) ends the round early, between records.
  TSpoolDelivery Deliver(TRecordStore& store,
                         const std::function<void(const TTuningRecord&)>& each = {},
                         const std::atomic<bool>* stop = nullptr);

  // The spool's parts (their names end with the separator).
  std::string Queue() const;
  std::string Held() const;
  std::string Damaged() const;
  std::string Rejected() const;

 private:
  std::string Write(const TTuningRecord& record, const std::string& folder, bool keepClaim);
  std::string Sub(const char* name) const;
  void ReleaseHeld();

  std::string folder_, location_;
  char separator_;
  // The held files of this object's open records, by uid.
  std::map<std::string, std::unique_ptr<TSpoolFile>> held_;
};

// True when the store refused a record for what it holds (a text it cannot keep, a value out of
// range, a constraint), not for its own state: such a record will never go in as it is.
bool RefusedForContent(const std::exception& error);
