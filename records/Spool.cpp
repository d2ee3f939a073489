#include "records/Spool.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "records/RecordStore.h"
#include "records/SpoolFile.h"
#include "run/Paths.h"
#include "run/Sha256.h"

namespace {

constexpr std::string_view kMagic = "TPS1";
constexpr std::string_view kEnding = ".rec";
// A file in tmp/ that nobody holds and that has not changed for this long was left by a
// program that ended while writing it: that record was never reported kept.
constexpr double kStaleTmpSeconds = 60;

uint32_t Crc(std::string_view bytes) {
  uLong crc = crc32(0L, Z_NULL, 0);
  // zlib takes at most UINT_MAX bytes a call; a record is far below.
  return static_cast<uint32_t>(
      crc32(crc, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

bool ReadNumber(std::string_view& text, size_t& value, int base = 10) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (ec != std::errc() || end == text.data()) return false;
  text.remove_prefix(static_cast<size_t>(end - text.data()));
  if (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  return true;
}

std::string PlainRead(const std::string& path) {
  std::ifstream in(FilePath(path), std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Queue names sort in the order records came: the time in microseconds, then the uid.
std::string QueueName(const std::string& uid) {
  const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  char stamp[24];
  std::snprintf(stamp, sizeof stamp, "%017lld", static_cast<long long>(now));
  return std::string(stamp) + "-" + uid + std::string(kEnding);
}

// The uid a spool file is named for ("<stamp>-<uid>.rec" or "<uid>.rec").
std::string UidOfName(const std::string& name) {
  std::string base = name.substr(0, name.size() - kEnding.size());
  const size_t dash = base.rfind('-');
  return dash == std::string::npos ? base : base.substr(dash + 1);
}

// A uid as a file name may carry it: the store's own uids are hex digits; anything else (a
// record made elsewhere) is reduced to what is safe.
std::string SafeUid(const std::string& uid) {
  std::string safe;
  for (char c : uid)
    safe += (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ? c : '_';
  return safe.empty() ? "x" : safe;
}

}  // namespace

std::vector<std::string> SpoolFileNames(const std::string& folder, std::string_view ending) {
  std::vector<std::string> names;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(FilePath(folder), ec), end; !ec && it != end;
       it.increment(ec)) {
    std::string name = PathText(it->path().filename());
    if (name.size() >= ending.size() &&
        name.compare(name.size() - ending.size(), ending.size(), ending) == 0)
      names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string CanonicalLocation(const std::string& location) {
  if (location == ":memory:") return location;
  if (IsServerLocation(location)) {
    std::string shown = ShownLocation(location);
    if (shown.rfind("postgres://", 0) == 0) shown.insert(8, "ql");
    return shown;
  }
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path path = fs::absolute(FilePath(location), ec);
  if (ec) return location;
  fs::path canonical = fs::weakly_canonical(path, ec);
  // A connection string taken for a file name keeps its password out of the spool's name too.
  return ShownLocation(PathText(ec ? path.lexically_normal() : canonical));
}

std::string SpoolFolder(const std::string& location, const std::string& dataDir) {
  std::string dir = dataDir;
  // The folder's name ends with the separator it already uses ('/' when it uses none).
  const size_t last = dir.find_last_of(kPathSeparators);
  const char separator = last != std::string::npos && dir[last] != ':' ? dir[last] : '/';
  if (!dir.empty() && (last == std::string::npos || last + 1 != dir.size())) dir += separator;
  const std::string canonical = CanonicalLocation(location);
  // A name a person recognises (the file's name; the server, port and database), then a digest
  // of the whole, so that locations that read alike still get spools of their own.
  std::string readable;
  if (IsServerLocation(location)) {
    const std::string shown = ShownLocation(location);
    readable = "postgresql-" + shown.substr(shown.find("://") + 3);
  } else {
    const size_t slash = canonical.find_last_of(kPathSeparators);
    readable = slash == std::string::npos ? canonical : canonical.substr(slash + 1);
  }
  std::string name;
  for (char c : readable) {
    const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '-' || c == '_' || c == '@';
    name += safe ? c : '_';
  }
  if (name.size() > 48) name.resize(48);
  return dir + "spool" + separator + name + "-" + Sha256Hex(canonical).substr(0, 12) + separator;
}

std::string EncodeSpoolFile(const TTuningRecord& record) {
  TTuningRecord bare = record;
  bare.Log.clear();
  bare.Trace.clear();
  const std::string meta = RecordToSpoolLine(bare);
  // The trace packed as the store keeps it: packed once, here, and stored as it is.
  const std::string trace = PackTrace(record.Trace);
  const std::string body = meta + record.Log + trace;
  char crc[9];
  std::snprintf(crc, sizeof crc, "%08x", Crc(body));
  return std::string(kMagic) + " " + std::to_string(meta.size()) + " " +
         std::to_string(record.Log.size()) + " " + std::to_string(trace.size()) + " " + crc +
         "\n" + body;
}

TTuningRecord DecodeSpoolFile(std::string_view bytes, bool unpackTrace) {
  const size_t lineEnd = bytes.find('\n');
  if (bytes.substr(0, kMagic.size() + 1) != std::string(kMagic) + " " || lineEnd > 200)
    throw std::runtime_error("not a spooled record");
  std::string_view header = bytes.substr(kMagic.size() + 1, lineEnd - kMagic.size() - 1);
  size_t metaSize = 0, logSize = 0, traceSize = 0, crc = 0;
  if (!ReadNumber(header, metaSize) || !ReadNumber(header, logSize) ||
      !ReadNumber(header, traceSize) || header.size() != 8 || !ReadNumber(header, crc, 16) ||
      !header.empty())
    throw std::runtime_error("its header is damaged");
  const std::string_view body = bytes.substr(lineEnd + 1);
  if (body.size() != metaSize + logSize + traceSize)
    throw std::runtime_error("it is " + std::to_string(body.size()) + " bytes long, not " +
                             std::to_string(metaSize + logSize + traceSize) + " (cut short?)");
  if (Crc(body) != crc) throw std::runtime_error("its check sum does not match");
  TTuningRecord record = RecordFromSpoolLine(std::string(body.substr(0, metaSize)));
  record.Log = body.substr(metaSize, logSize);
  record.Trace = body.substr(metaSize + logSize);
  if (unpackTrace) record.Trace = UnpackTrace(record.Trace);
  return record;
}

TSpool::TSpool(std::string folder, std::string location)
    : folder_(std::move(folder)), location_(std::move(location)) {
  const size_t last = folder_.find_last_of(kPathSeparators);
  separator_ = last != std::string::npos && folder_[last] != ':' ? folder_[last] : '/';
  if (!folder_.empty() && folder_.back() != separator_) folder_ += separator_;
}

TSpool::~TSpool() = default;

std::string TSpool::Sub(const char* name) const { return folder_ + name + separator_; }
std::string TSpool::Queue() const { return Sub("queue"); }
std::string TSpool::Held() const { return Sub("held"); }
std::string TSpool::Damaged() const { return Sub("damaged"); }
std::string TSpool::Rejected() const { return Sub("rejected"); }

std::string TSpool::Prepare() {
  for (const char* part : {"tmp", "queue", "held", "damaged", "rejected"}) {
    const std::string why = MakeSpoolFolder(Sub(part));
    if (!why.empty()) return "cannot make the spool folder " + Sub(part) + ": " + why;
  }
  // Whom the spool belongs to, for a person who finds the folder (written once, never read).
  const std::string note = folder_ + "location";
  if (SpoolFileAge(note) < 0) {
    try {
      TSpoolFile::Write(Sub("tmp") + "location-" + std::to_string(SpoolProcessId()), note,
                        CanonicalLocation(location_) + "\n", false);
    } catch (const std::exception& e) {
      return e.what();
    }
  }
  return {};
}

std::string TSpool::Write(const TTuningRecord& record, const std::string& folder,
                          bool keepClaim) {
  static std::atomic<unsigned> counter{0};
  const std::string uid = SafeUid(record.Uid);
  const std::string bytes = EncodeSpoolFile(record);
  const std::string tmp = Sub("tmp") + uid + "-" + std::to_string(SpoolProcessId()) + "-" +
                          std::to_string(counter++) + ".tmp";
  const std::string name = folder == Held() ? uid + std::string(kEnding) : QueueName(uid);
  try {
    auto file = TSpoolFile::Write(tmp, folder + name, bytes, keepClaim);
    if (keepClaim) held_[record.Uid] = std::move(file);
  } catch (const std::exception&) {
    // A spool whose folders went (or were never made) is made again once.
    if (!Prepare().empty()) throw;
    auto file = TSpoolFile::Write(tmp, folder + name, bytes, keepClaim);
    if (keepClaim) held_[record.Uid] = std::move(file);
  }
  return name;
}

void TSpool::Put(const TTuningRecord& record) {
  Write(record, Queue(), false);
  // The last form is in the queue: the held one goes.
  const auto held = held_.find(record.Uid);
  if (held != held_.end()) {
    held->second->Remove();
    held_.erase(held);
  }
}

void TSpool::PutOpen(const TTuningRecord& record) {
  const auto held = held_.find(record.Uid);
  if (held != held_.end()) {
    held->second->Remove();
    held_.erase(held);
  }
  Write(record, Held(), true);
}

TSpoolState TSpool::State() const {
  TSpoolState state;
  state.Waiting = static_cast<int>(SpoolFileNames(Queue(), kEnding).size());
  state.HeldOpen = static_cast<int>(SpoolFileNames(Held(), kEnding).size());
  state.Damaged = static_cast<int>(SpoolFileNames(Damaged(), kEnding).size());
  state.Rejected = static_cast<int>(SpoolFileNames(Rejected(), kEnding).size());
  return state;
}

std::vector<TTuningRecord> TSpool::Waiting(TSpoolState* state) const {
  std::vector<TTuningRecord> records;
  TSpoolState s = State();
  s.Damaged = 0;
  for (const std::string& name : SpoolFileNames(Queue(), kEnding)) {
    try {
      records.push_back(DecodeSpoolFile(PlainRead(Queue() + name)));
    } catch (const std::exception&) {
      ++s.Damaged;  // damaged, or delivered while we looked
    }
  }
  s.Damaged += static_cast<int>(SpoolFileNames(Damaged(), kEnding).size());
  if (state) *state = s;
  return records;
}

TSpoolDelivery TSpool::Deliver(TRecordStore& store,
                               const std::function<void(const TTuningRecord&)>& each,
                               const std::atomic<bool>* stop) {
  TSpoolDelivery result;
  auto stopped = [stop] { return stop && stop->load(); };

  // What programs that ended while writing left unfinished: never reported kept, so dropped.
  for (const std::string& name : SpoolFileNames(Sub("tmp"), ".tmp")) {
    const std::string path = Sub("tmp") + name;
    if (SpoolFileAge(path) < kStaleTmpSeconds) continue;
    if (auto file = TSpoolFile::Claim(path)) file->Remove();
  }

  // Held records whose program has ended go on as they are, unless their last form is queued.
  const std::vector<std::string> queued = SpoolFileNames(Queue(), kEnding);
  for (const std::string& name : SpoolFileNames(Held(), kEnding)) {
    const std::string uid = UidOfName(name);
    auto file = TSpoolFile::Claim(Held() + name);
    if (!file) continue;  // its pass is still under way (ours, or another program's)
    bool lastFormQueued = false;
    for (const std::string& q : queued) lastFormQueued = lastFormQueued || UidOfName(q) == uid;
    std::string why;
    if (lastFormQueued ? !file->Remove(&why) : !file->MoveTo(Queue() + QueueName(uid), &why))
      result.Notes.push_back(why);
  }

  const std::vector<std::string> names = SpoolFileNames(Queue(), kEnding);
  size_t i = 0;
  for (; i < names.size() && !stopped(); ++i) {
    const std::string& name = names[i];
    auto file = TSpoolFile::Claim(Queue() + name);
    if (!file) continue;  // another program is storing it, or has stored it
    TTuningRecord record;
    try {
      // Its trace stays packed: the store keeps it so.
      record = DecodeSpoolFile(file->Read(), false);
    } catch (const std::exception& e) {
      std::string why;
      if (file->MoveTo(Damaged() + name, &why))
        result.Notes.push_back("Spool file " + Queue() + name + " is damaged (" + e.what() +
                               "); moved to " + Damaged() + name);
      else
        result.Notes.push_back("Spool file " + Queue() + name + " is damaged (" + e.what() +
                               "); " + why);
      continue;
    }
    try {
      store.Add(record);
    } catch (const std::exception& e) {
      if (!RefusedForContent(e)) {
        result.Problem = e.what();
        break;
      }
      // The reason first, then the record: a record in rejected/ always has its reason.
      std::string why;
      try {
        TSpoolFile::Write(Sub("tmp") + name + ".reason.tmp", Rejected() + name + ".reason",
                          ShownLocation(location_) + ": " + e.what() + "\n", false);
      } catch (const std::exception& w) {
        why = w.what();
      }
      if (why.empty() && file->MoveTo(Rejected() + name, &why)) {
        ++result.Rejected;
        result.Notes.push_back("The store refused a record (" + std::string(e.what()) +
                               "); moved to " + Rejected() + name);
      } else {
        result.Notes.push_back("The store refused a record (" + std::string(e.what()) +
                               "); it stays in the spool: " + why);
      }
      continue;
    }
    // Stored: a crash before the removal only makes the next delivery a repeat, which the store
    // takes as done.
    std::string why;
    if (!file->Remove(&why)) result.Notes.push_back(why);
    ++result.Delivered;
    if (each) each(record);
  }
  result.Waiting = State().Waiting;
  return result;
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
