#include "records/StoreSink.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

struct TStoreSink::TJob {
  bool lookup = false;
  TTuningRecord record;  // to write
  std::string mac;       // to look up
  bool done = false;
  std::optional<TTuningRecord> found;
};

TStoreSink::TStoreSink(TStoreSinkOptions options)
    : options_(std::move(options)), thread_([this] { Work(); }) {}

TStoreSink::~TStoreSink() {
  Flush();
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

void TStoreSink::Put(const TTuningRecord& record) {
  auto job = std::make_shared<TJob>();
  job->record = record;
  job->record.Bench = options_.Bench;
  std::unique_lock lock(mutex_);
  jobs_.push_back(job);
  ++pending_;
  cv_.notify_all();
  cv_.wait_for(lock, options_.WritePatience, [&] { return job->done; });
}

std::optional<TTuningRecord> TStoreSink::LatestCompleted(const std::string& mac) {
  auto job = std::make_shared<TJob>();
  job->lookup = true;
  job->mac = mac;
  std::unique_lock lock(mutex_);
  jobs_.push_back(job);
  cv_.notify_all();
  if (!cv_.wait_for(lock, options_.LookupPatience, [&] { return job->done; })) return std::nullopt;
  return job->found;
}

void TStoreSink::SetWrittenHandler(std::function<void()> handler) {
  // Taken while a handler runs too, so that after this returns the old one runs no more (a
  // front end clears it before it goes).
  std::lock_guard lock(handlerMutex_);
  written_ = std::move(handler);
}

std::vector<std::string> TStoreSink::TakeMessages() {
  std::lock_guard lock(mutex_);
  return std::exchange(messages_, {});
}

void TStoreSink::Flush() {
  std::unique_lock lock(mutex_);
  cv_.wait_for(lock, options_.FlushPatience, [&] { return pending_ == 0; });
}

void TStoreSink::Message(const std::string& text) {
  std::lock_guard lock(mutex_);
  messages_.push_back(text);
}

TRecordStore& TStoreSink::Store() {
  if (!store_) store_ = OpenRecordStore(options_.Location, TStoreOpen::kCreate);
  return *store_;
}

void TStoreSink::Work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    cv_.wait(lock, [&] { return stop_ || !jobs_.empty(); });
    if (jobs_.empty()) return;  // stopping, nothing left
    std::shared_ptr<TJob> job = jobs_.front();
    jobs_.pop_front();
    lock.unlock();
    if (job->lookup) {
      try {
        job->found = Store().LatestCompleted(job->mac, options_.Bench);
      } catch (const std::exception&) {
        // No answer is no line; the next write reports what is wrong with the store.
        store_.reset();
      }
    } else {
      Write(job->record);
    }
    lock.lock();
    job->done = true;
    if (!job->lookup) --pending_;
    cv_.notify_all();
  }
}

void TStoreSink::Write(const TTuningRecord& record) {
  std::string reason;
  bool written = false;
  try {
    TRecordStore& store = Store();
    // What waited in the spool goes first, so the records arrive in the order they were made.
    SpoolSend(options_.SpoolPath, [&store](const TTuningRecord& r) { store.Add(r); });
    store.Add(record);
    written = true;
  } catch (const std::exception& e) {
    reason = e.what();
    // The connection may be broken; the next record opens the store anew.
    store_.reset();
  }
  if (written) {
    std::lock_guard lock(handlerMutex_);
    if (written_) written_();
    return;
  }
  try {
    SpoolAppend(options_.SpoolPath, record);
    Message("Record not saved: " + reason + " (kept in " + options_.SpoolPath +
            " until the store can be written)");
  } catch (const std::exception& e) {
    Message("Record not saved: " + reason + "; " + e.what());
  }
}

namespace {

std::string RecordsBase(const std::string& iniName, bool bench) {
  std::string base = iniName;
  if (base.size() >= 4 && base.compare(base.size() - 4, 4, ".INI") == 0)
    base.resize(base.size() - 4);
  for (const char* ending : {"-cli", "-records"}) {
    const std::string e = ending;
    const size_t slash = base.find_last_of('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    if (base.size() - nameStart > e.size() && base.compare(base.size() - e.size(), e.size(), e) == 0)
      base.resize(base.size() - e.size());
  }
  return bench ? base + "-bench" : base;
}

}  // namespace

std::string DefaultRecordsLocation(const std::string& iniName, bool bench) {
  return RecordsBase(iniName, bench) + ".db";
}

std::string DefaultSpoolPath(const std::string& iniName, bool bench) {
  return RecordsBase(iniName, bench) + ".spool";
}

std::string DefaultDriftSettingsPath(const std::string& iniName) {
  return RecordsBase(iniName, false) + "-drift.ini";
}

// ---- The spool file ----

namespace {

class TLockedFile {
 public:
  TLockedFile(const std::string& path, int flags) {
    fd_ = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd_ < 0) return;
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~TLockedFile() {
    if (fd_ >= 0) ::close(fd_);  // closing drops the lock
  }
  TLockedFile(const TLockedFile&) = delete;
  TLockedFile& operator=(const TLockedFile&) = delete;
  int Fd() const { return fd_; }

 private:
  int fd_ = -1;
};

void WriteAll(int fd, const std::string& bytes, const std::string& path) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      throw std::runtime_error("the spool file " + path + " cannot be written: " +
                               std::strerror(errno));
    done += static_cast<size_t>(n);
  }
}

std::string ReadAll(int fd) {
  std::string bytes;
  char chunk[65536];
  ::lseek(fd, 0, SEEK_SET);
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    bytes.append(chunk, static_cast<size_t>(n));
  }
  return bytes;
}

std::vector<std::string> Lines(const std::string& bytes) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    if (end > start) lines.push_back(bytes.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace

void SpoolAppend(const std::string& path, const TTuningRecord& record) {
  TLockedFile file(path, O_WRONLY | O_APPEND | O_CREAT);
  if (file.Fd() < 0)
    throw std::runtime_error("the spool file " + path + " cannot be opened: " +
                             std::strerror(errno));
  WriteAll(file.Fd(), RecordToSpoolLine(record) + "\n", path);
  if (::fsync(file.Fd()) != 0)
    throw std::runtime_error("the spool file " + path + " cannot be written: " +
                             std::strerror(errno));
}

int SpoolSend(const std::string& path, const std::function<void(const TTuningRecord&)>& send) {
  TLockedFile file(path, O_RDWR);
  if (file.Fd() < 0) {
    if (errno == ENOENT) return 0;
    throw std::runtime_error("the spool file " + path + " cannot be opened: " +
                             std::strerror(errno));
  }
  const std::vector<std::string> lines = Lines(ReadAll(file.Fd()));
  if (lines.empty()) return 0;
  std::vector<std::string> kept;
  int sent = 0;
  std::exception_ptr refused;
  for (const std::string& line : lines) {
    if (refused) {
      kept.push_back(line);
      continue;
    }
    TTuningRecord record;
    try {
      record = RecordFromSpoolLine(line);
    } catch (const std::exception&) {
      // Not a record (a line cut short by a crash, say): kept for a person to look at.
      kept.push_back(line);
      continue;
    }
    try {
      send(record);
      ++sent;
    } catch (...) {
      refused = std::current_exception();
      kept.push_back(line);
    }
  }
  if (sent > 0) {
    std::string rest;
    for (const std::string& line : kept) rest += line + "\n";
    if (::ftruncate(file.Fd(), 0) != 0)
      throw std::runtime_error("the spool file " + path + " cannot be written: " +
                               std::strerror(errno));
    ::lseek(file.Fd(), 0, SEEK_SET);
    WriteAll(file.Fd(), rest, path);
    ::fsync(file.Fd());
  }
  if (refused) std::rethrow_exception(refused);
  return sent;
}

int SpoolCount(const std::string& path) {
  TLockedFile file(path, O_RDONLY);
  if (file.Fd() < 0) return 0;
  int n = 0;
  for (const std::string& line : Lines(ReadAll(file.Fd()))) {
    try {
      RecordFromSpoolLine(line);
      ++n;
    } catch (const std::exception&) {
    }
  }
  return n;
}
