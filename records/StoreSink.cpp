#include "records/StoreSink.h"

#include <filesystem>
#include <stdexcept>

#include "run/Paths.h"

struct TStoreSink::TLookup {
  std::string mac;
  bool done = false, answered = false, abandoned = false;
  std::optional<TTuningRecord> found;
};

TStoreSink::TStoreSink(TStoreSinkOptions options)
    : options_(std::move(options)),
      spool_(options_.SpoolFolder, options_.Location),
      requested_(1),  // what waits in the spool already goes out first
      delivery_([this] { Deliver(); }),
      lookup_([this] { LookUp(); }) {}

TStoreSink::~TStoreSink() {
  // Whatever has not reached the store stays in the spool for the next run; a store that does
  // not answer is not waited for.
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
    abandon_ = true;
    for (auto& job : lookups_) job->abandoned = true;
  }
  cv_.notify_all();
  delivery_.join();
  lookup_.join();
}

TTuningRecord TStoreSink::Stamped(const TTuningRecord& record) const {
  TTuningRecord r = record;
  r.Bench = options_.Bench;
  if (r.Operator.empty()) r.Operator = options_.Operator;
  if (r.WorkOrder.empty()) r.WorkOrder = options_.WorkOrder;
  return r;
}

void TStoreSink::Put(const TTuningRecord& record) {
  const TTuningRecord r = Stamped(record);
  Remember(r);
  std::string spoolProblem;
  try {
    spool_.Put(r);
  } catch (const std::exception& e) {
    spoolProblem = e.what();
  }
  std::unique_lock lock(mutex_);
  ++requested_;
  fresh_ = true;
  cv_.notify_all();
  if (spoolProblem.empty()) return;

  // Not on the disk: the store itself is the last place that can keep it, and the pass waits
  // for it (a bounded time), since the operator must not be told of a record kept nowhere.
  auto direct = std::make_shared<TDirect>();
  direct->record = r;
  direct_.push_back(direct);
  cv_.wait_for(lock, options_.DirectPatience, [&] { return direct->done; });
  if (direct->done && direct->stored) {
    messages_.push_back("Record not written to the spool: " + spoolProblem +
                        "; it went straight to the store");
    return;
  }
  // Given up: a delivery that is still under way may yet store it, which does no harm.
  for (auto it = direct_.begin(); it != direct_.end(); ++it)
    if (*it == direct) {
      direct_.erase(it);
      break;
    }
  ++unsaved_;
  throw ERecordNotKept(spoolProblem + "; the store did not take it either (" +
                       (direct->done ? direct->problem : std::string("it did not answer in time")) +
                       ")");
}

void TStoreSink::PutOpen(const TTuningRecord& record) {
  try {
    spool_.PutOpen(Stamped(record));
  } catch (const std::exception& e) {
    // Its last form is put again when the pass is over.
    Message("Record not written to the spool: " + std::string(e.what()));
  }
}

void TStoreSink::Remember(const TTuningRecord& record) {
  if (record.Outcome != kRecordCompleted || record.DeviceKind != "handheld" || record.Mac.empty())
    return;
  TTuningRecord brief = record;
  brief.Log.clear();
  brief.Trace.clear();
  std::lock_guard lock(mutex_);
  recent_[record.Mac] = std::move(brief);
}

std::optional<TTuningRecord> TStoreSink::LatestCompleted(const std::string& mac) {
  return LookUpTuned(mac).Record;
}

TTunedBefore TStoreSink::LookUpTuned(const std::string& mac) {
  auto job = std::make_shared<TLookup>();
  job->mac = mac;
  std::unique_lock lock(mutex_);
  lookups_.push_back(job);
  cv_.notify_all();
  cv_.wait_for(lock, options_.LookupPatience, [&] { return job->done; });
  job->abandoned = true;
  TTunedBefore result{job->done && job->answered, job->found};
  // A record of this run that the store has not got yet counts as well.
  const auto recent = recent_.find(NormaliseMac(mac));
  if (recent != recent_.end() &&
      (!result.Record || result.Record->EndedAt <= recent->second.EndedAt))
    result.Record = recent->second;
  return result;
}

void TStoreSink::LookUp() {
  std::unique_lock lock(mutex_);
  for (;;) {
    cv_.wait(lock, [&] { return stop_ || !lookups_.empty(); });
    if (stop_) return;
    std::shared_ptr<TLookup> job = lookups_.front();
    lookups_.pop_front();
    if (job->abandoned) continue;  // its pass went on without the answer
    lock.unlock();
    bool answered = false;
    std::optional<TTuningRecord> found;
    try {
      if (!reader_)
        reader_ = OpenRecordStore(options_.Location, TStoreOpen::kExisting, &abandon_);
      found = reader_->LatestCompleted(job->mac, options_.Bench);
      answered = true;
    } catch (const std::exception&) {
      reader_.reset();
      // A records file not made yet holds no record of anything.
      std::error_code ec;
      answered = !IsServerLocation(options_.Location) &&
                 !std::filesystem::exists(FilePath(options_.Location), ec) && !ec;
    }
    lock.lock();
    job->found = std::move(found);
    job->answered = answered;
    job->done = true;
    cv_.notify_all();
  }
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

void TStoreSink::Flush() { WaitDelivered(options_.FlushPatience); }

bool TStoreSink::WaitDelivered(std::chrono::milliseconds patience) {
  std::unique_lock lock(mutex_);
  const uint64_t round = ++requested_;
  cv_.notify_all();
  cv_.wait_for(lock, patience, [&] { return delivered_ >= round; });
  return delivered_ >= round && waiting_ == 0 && direct_.empty();
}

int TStoreSink::Waiting() { return spool_.State().Waiting; }

int TStoreSink::Unsaved() {
  std::lock_guard lock(mutex_);
  return unsaved_;
}

void TStoreSink::Message(const std::string& text) {
  std::lock_guard lock(mutex_);
  messages_.push_back(text);
}

void TStoreSink::Deliver() {
  std::unique_lock lock(mutex_);
  for (;;) {
    // A new record or a waiter asks for a round; records that wait are tried again now and then.
    cv_.wait_for(lock, options_.RetryInterval,
                 [&] { return stop_ || requested_ > delivered_; });
    if (stop_) return;
    if (requested_ == delivered_ && waiting_ == 0 && direct_.empty()) continue;
    const uint64_t round = requested_;
    const bool fresh = std::exchange(fresh_, false);
    lock.unlock();
    DeliverOnce(fresh);
    lock.lock();
    delivered_ = round;
    cv_.notify_all();
  }
}

void TStoreSink::DeliverOnce(bool fresh) {
  auto written = [this](const TTuningRecord&) {
    std::lock_guard lock(handlerMutex_);
    if (written_) written_();
  };
  TSpoolDelivery result;
  try {
    // Nothing to deliver: the store is not opened (nor made) for nothing.
    bool direct = false;
    {
      std::lock_guard lock(mutex_);
      direct = !direct_.empty();
    }
    const TSpoolState state = spool_.State();
    if (!direct && state.Waiting == 0 && state.HeldOpen == 0) {
      result.Waiting = 0;
    } else {
      if (!store_) store_ = OpenRecordStore(options_.Location, TStoreOpen::kCreate, &abandon_);
      for (;;) {
        std::shared_ptr<TDirect> next;
        {
          std::lock_guard lock(mutex_);
          if (direct_.empty()) break;
          next = direct_.front();
        }
        store_->Add(next->record);  // a failure is told below, to every record that waits
        written(next->record);
        std::lock_guard lock(mutex_);
        next->done = next->stored = true;
        if (!direct_.empty() && direct_.front() == next) direct_.pop_front();
        cv_.notify_all();
      }
      result = spool_.Deliver(*store_, written, &abandon_);
    }
  } catch (const std::exception& e) {
    result.Problem = e.what();
    result.Waiting = spool_.State().Waiting;
    // The records that Put waits for are not stored: it hears why at once.
    std::lock_guard lock(mutex_);
    for (const auto& d : direct_) {
      d->done = true;
      d->problem = e.what();
    }
    direct_.clear();
    cv_.notify_all();
  }
  // The connection may be broken; the next round opens the store anew.
  if (!result.Problem.empty()) store_.reset();

  std::lock_guard lock(mutex_);
  waiting_ = result.Waiting;
  for (const std::string& note : result.Notes) messages_.push_back(note);
  // One line for each round of new records that could not go on; rounds that only try again
  // say nothing new (the end of the run counts what still waits).
  if (!result.Problem.empty() && fresh && waiting_ > 0) {
    const int waiting = waiting_;
    messages_.push_back("Record not yet stored: " + result.Problem + " (" +
                        std::to_string(waiting) + (waiting == 1 ? " record waits" : " records wait") +
                        " in " + spool_.Folder() + ")");
  }
}

namespace {

std::string RecordsBase(const std::string& iniName, bool bench) {
  std::string base = iniName;
  if (base.size() >= 4 && base.compare(base.size() - 4, 4, ".INI") == 0)
    base.resize(base.size() - 4);
  for (const char* ending : {"-cli", "-records"}) {
    const std::string e = ending;
    const size_t slash = base.find_last_of(kPathSeparators);
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

std::string DataFolder(const std::string& iniName) {
  const size_t slash = iniName.find_last_of(kPathSeparators);
  return slash == std::string::npos ? std::string() : iniName.substr(0, slash + 1);
}

std::string DefaultDriftSettingsPath(const std::string& iniName) {
  return RecordsBase(iniName, false) + "-drift.ini";
}

