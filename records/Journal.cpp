#include "records/Journal.h"

#include <zlib.h>

#include <charconv>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "records/JournalFile.h"
#include "records/RecordStore.h"
#include "run/Paths.h"
#include "run/Sha256.h"

using nlohmann::json;

namespace {

constexpr std::string_view kMagic = "TPJ1 ";
// Entry kinds: the location the journal belongs to, a record, a record delivered.
constexpr char kLocationEntry = 'L', kRecordEntry = 'R', kDeliveredEntry = 'D';

uint32_t Crc(std::string_view bytes) {
  uLong crc = crc32(0L, Z_NULL, 0);
  // zlib takes at most UINT_MAX bytes a call; a record is far below.
  return static_cast<uint32_t>(
      crc32(crc, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

// Each entry begins on a line of its own: the line break before it ends whatever a crash left
// half written, so the torn piece stays a line of its own that fails its check.
std::string Framed(char kind, std::string_view payload) {
  return "\n" + JournalLine(kind, payload) + "\n";
}

// Appends entries to a file under its exclusive lock, synced to disk when asked.
void AppendEntries(const std::string& path, const std::string& bytes, bool sync) {
  TJournalFile file(path, TJournalFile::EAccess::Append);
  if (!file.IsOpen()) throw std::runtime_error(file.OpenError());
  file.Append(bytes);
  if (sync) file.Sync();
}

// Hands each line of the journal's bytes that is not empty to visit, in order, until visit
// returns false.
template <class TVisit>
void ForEachLine(const std::string& bytes, TVisit visit) {
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    const std::string_view line(bytes.data() + start, end - start);
    start = end + 1;
    if (!line.empty() && !visit(line)) return;
  }
}

// The location named by the journal's first entry ("" when there is none).
std::string WrittenFor(const std::string& bytes) {
  std::string location;
  ForEachLine(bytes, [&](std::string_view line) {
    char kind = 0;
    std::string payload;
    if (ParseJournalLine(line, kind, payload) && kind == kLocationEntry) location = payload;
    return false;
  });
  return location;
}

}  // namespace

std::string JournalPath(const std::string& location, const std::string& dataDir) {
  std::string dir = dataDir;
  // The folder's name ends with the separator it already uses ('/' when it uses none).
  const size_t last = dir.find_last_of(kPathSeparators);
  const char separator = last != std::string::npos && dir[last] != ':' ? dir[last] : '/';
  if (!dir.empty() && (last == std::string::npos || last + 1 != dir.size())) dir += separator;
  // A private in-memory store has no file to lie beside.
  if (location == ":memory:") return dir + "memory.spool";
  if (!IsServerLocation(location)) return location + ".spool";
  // A file name from the location as it may be shown (without the password), with characters
  // that are not safe in a file name replaced, and a digest of it, so that two locations that
  // read alike still get journals of their own.
  const std::string shown = ShownLocation(location);
  std::string name;
  for (char c : shown.substr(shown.find("://") + 3)) {
    const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '-' || c == '_' || c == '@';
    name += safe ? c : '_';
  }
  if (name.size() > 80) name.resize(80);
  return dir + "postgresql-" + name + "-" + Sha256Hex(shown).substr(0, 8) + ".spool";
}

std::string RejectedPath(const std::string& journalPath) { return journalPath + ".rejected"; }

std::string JournalLine(char kind, std::string_view payload) {
  char crc[9];
  std::snprintf(crc, sizeof crc, "%08x", Crc(payload));
  std::string line(kMagic);
  line += kind;
  line += ' ';
  line += std::to_string(payload.size());
  line += ' ';
  line += crc;
  line += ' ';
  line += payload;
  return line;
}

bool ParseJournalLine(std::string_view line, char& kind, std::string& payload) {
  if (line.substr(0, kMagic.size()) != kMagic || line.size() < kMagic.size() + 2) return false;
  line.remove_prefix(kMagic.size());
  kind = line[0];
  if (line[1] != ' ') return false;
  line.remove_prefix(2);
  size_t length = 0;
  const auto [end, ec] = std::from_chars(line.data(), line.data() + line.size(), length);
  if (ec != std::errc() || end == line.data() + line.size() || *end != ' ') return false;
  line.remove_prefix(static_cast<size_t>(end - line.data()) + 1);
  if (line.size() < 9 || line[8] != ' ') return false;
  uint32_t crc = 0;
  const auto [crcEnd, crcEc] = std::from_chars(line.data(), line.data() + 8, crc, 16);
  if (crcEc != std::errc() || crcEnd != line.data() + 8) return false;
  line.remove_prefix(9);
  if (line.size() != length || Crc(line) != crc) return false;
  payload.assign(line);
  return true;
}

TJournal::TJournal(std::string path, std::string location)
    : path_(std::move(path)), location_(std::move(location)), shown_(ShownLocation(location_)) {}

void TJournal::Append(const TTuningRecord& record, bool open) {
  json entry = json::parse(RecordToSpoolLine(record));
  entry["journal_open"] = open;
  entry["journal_pid"] = ThisProcessId();
  const std::string bytes = Framed(kRecordEntry, entry.dump());

  TJournalFile file(path_, TJournalFile::EAccess::Append);
  if (!file.IsOpen()) throw std::runtime_error(file.OpenError());
  if (file.Size() == 0) {
    file.Append(Framed(kLocationEntry, shown_));
  } else {
    // A journal that names another store is not added to: its records would go nowhere.
    const std::string writtenFor = WrittenFor(file.Read(4096));
    if (writtenFor != shown_)
      throw std::runtime_error(path_ + " holds records for " +
                               (writtenFor.empty() ? std::string("no known store") : writtenFor) +
                               ", not for " + shown_);
  }
  file.Append(bytes);
  file.Sync();
}

void TJournal::MarkDelivered(const std::string& uid) {
  // Not synced: a note lost in a crash only makes the next delivery a repeat, which the store
  // takes as done.
  AppendEntries(path_, Framed(kDeliveredEntry, uid), false);
}

void TJournal::Reject(const TTuningRecord& record, const std::string& reason) {
  json entry = json::parse(RecordToSpoolLine(record));
  entry["rejected_by"] = shown_;
  entry["rejected_because"] = json(reason).dump(-1, ' ', false, json::error_handler_t::replace);
  entry["rejected_at"] = IsoTimeNow();
  AppendEntries(RejectedPath(path_), Framed(kRecordEntry, entry.dump()), true);
  MarkDelivered(record.Uid);
}

TJournalState TJournal::Read(bool skipHeldOpen) const {
  TJournalFile file(path_, TJournalFile::EAccess::Read);
  if (!file.IsOpen()) {
    if (file.Missing()) return {};
    throw std::runtime_error(file.OpenError());
  }
  return Parse(file.Read(), skipHeldOpen);
}

namespace {

// The entries of a journal's bytes: the location, and for each record its latest entry (kept as
// its line, decoded only when wanted) and whether it was delivered.
struct TEntries {
  std::string writtenFor;
  struct TSlot {
    std::string_view line;     // the latest record entry of the uid
    std::string_view payload;
    bool delivered = false;
  };
  std::vector<TSlot> slots;
  int torn = 0;
};

TEntries Scan(const std::string& bytes) {
  TEntries e;
  std::map<std::string, size_t, std::less<>> byUid;
  bool first = true;
  ForEachLine(bytes, [&](std::string_view line) {
    char kind = 0;
    std::string payload;
    if (!ParseJournalLine(line, kind, payload)) {
      ++e.torn;
      return true;
    }
    const std::string_view view = line.substr(line.size() - payload.size());
    if (kind == kLocationEntry && first) {
      e.writtenFor = payload;
    } else if (kind == kRecordEntry) {
      // The uid without decoding the whole record (it comes first, as written).
      const size_t key = view.find("\"uid\":\"");
      const size_t uidEnd = key == std::string_view::npos ? key : view.find('"', key + 7);
      if (uidEnd == std::string_view::npos) {
        ++e.torn;
        return true;
      }
      const std::string uid(view.substr(key + 7, uidEnd - key - 7));
      const auto found = byUid.find(uid);
      if (found == byUid.end()) {
        byUid.emplace(uid, e.slots.size());
        e.slots.push_back({line, view, false});
      } else if (!e.slots[found->second].delivered) {
        // A later form of the same record (the server's, after its restore) replaces the
        // earlier one where it stood.
        e.slots[found->second].line = line;
        e.slots[found->second].payload = view;
      }
    } else if (kind == kDeliveredEntry) {
      const auto found = byUid.find(payload);
      if (found != byUid.end()) e.slots[found->second].delivered = true;
    }
    first = false;
    return true;
  });
  return e;
}

}  // namespace

TJournalState TJournal::Parse(const std::string& bytes, bool skipHeldOpen) const {
  TJournalState state;
  const TEntries entries = Scan(bytes);
  state.WrittenFor = entries.writtenFor;
  state.Torn = entries.torn;
  state.Foreign = !state.WrittenFor.empty() && state.WrittenFor != shown_;
  for (const TEntries::TSlot& slot : entries.slots) {
    if (slot.delivered) continue;
    try {
      const std::string payload(slot.payload);
      const json j = json::parse(payload);
      if (j.value("journal_open", false) && skipHeldOpen &&
          ProcessRunning(j.value("journal_pid", int64_t{0}))) {
        ++state.HeldOpen;
        continue;
      }
      state.Waiting.push_back(RecordFromSpoolLine(payload));
    } catch (const std::exception&) {
      ++state.Torn;
    }
  }
  return state;
}

void TJournal::Compact() {
  TJournalFile file(path_, TJournalFile::EAccess::Rewrite);
  if (!file.IsOpen()) return;
  // Under the exclusive lock nobody appends: what is read is the whole journal.
  const std::string bytes = file.Read();
  const TEntries entries = Scan(bytes);
  if (!entries.writtenFor.empty() && entries.writtenFor != shown_) return;
  std::string kept;
  bool dropped = entries.torn > 0;
  for (const TEntries::TSlot& slot : entries.slots) {
    if (slot.delivered) {
      dropped = true;
      continue;
    }
    kept += "\n" + std::string(slot.line) + "\n";
  }
  if (!dropped) return;
  if (kept.empty()) {
    file.Empty();
    return;
  }
  // What still waits goes into a new file that replaces the journal whole, so a crash leaves
  // either the old journal or the new one.
  file.ReplaceWith(Framed(kLocationEntry, shown_) + kept);
}

bool RefusedForContent(const std::exception& error) {
  const auto* e = dynamic_cast<const ERecordError*>(&error);
  if (!e) return false;
  // PostgreSQL: data exceptions (an invalid byte sequence, a value out of range), integrity
  // constraints, program limits (a value too large).
  const std::string& state = e->SqlState();
  if (state.size() == 5)
    return state.rfind("22", 0) == 0 || state.rfind("23", 0) == 0 || state.rfind("54", 0) == 0;
  // SQLite: a constraint, a value too big, a type mismatch (primary codes 19, 18, 20).
  const int primary = e->Code() & 0xFF;
  return primary == 19 || primary == 18 || primary == 20;
}

TDeliveryResult DeliverJournal(TJournal& journal, TRecordStore& store,
                               const std::function<void(const TTuningRecord&)>& each) {
  TDeliveryResult result;
  const TJournalState state = journal.Read();
  if (state.Foreign) {
    result.Problem = journal.Path() + " holds records for " + state.WrittenFor +
                     "; they are not delivered to another store";
    result.Waiting = static_cast<int>(state.Waiting.size());
    return result;
  }
  size_t i = 0;
  for (; i < state.Waiting.size(); ++i) {
    const TTuningRecord& record = state.Waiting[i];
    try {
      store.Add(record);
    } catch (const std::exception& e) {
      if (!RefusedForContent(e)) {
        result.Problem = e.what();
        break;
      }
      journal.Reject(record, e.what());
      ++result.Rejected;
      continue;
    }
    // Stored: a crash before this note only makes the next delivery a repeat, which the store
    // takes as done.
    journal.MarkDelivered(record.Uid);
    ++result.Delivered;
    if (each) each(record);
  }
  result.Waiting = static_cast<int>(state.Waiting.size() - i) + state.HeldOpen;
  if (result.Delivered + result.Rejected > 0 || state.Torn > 0) journal.Compact();
  return result;
}
