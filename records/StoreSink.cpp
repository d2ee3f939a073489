#include "records/StoreSink.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "run/Paths.h"

struct TStoreSink::TLookup {
  std::string mac;
  bool done = false, answered = false, abandoned = false;
  std::optional<TTuningRecord> found;
};

TStoreSink::TStoreSink(TStoreSinkOptions options)
    : options_(std::move(options)),
      journal_(options_.SpoolPath, options_.Location),
      requested_(1),  // what an earlier run left in the journal goes out first
      delivery_([this] { Deliver(); }),
      lookup_([this] { LookUp(); }) {}

TStoreSink::~TStoreSink() {
  // Whatever has not reached the store stays in the journal for the next run.
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
    for (auto& job : lookups_) job->abandoned = true;
  }
  cv_.notify_all();
  delivery_.join();
  lookup_.join();
}

void TStoreSink::Put(const TTuningRecord& record) {
  TTuningRecord r = record;
  r.Bench = options_.Bench;
  if (r.Operator.empty()) r.Operator = options_.Operator;
  if (r.WorkOrder.empty()) r.WorkOrder = options_.WorkOrder;
  Remember(r);
  try {
    journal_.Append(r);
  } catch (const std::exception& e) {
    std::lock_guard lock(mutex_);
    direct_.push_back(r);
    messages_.push_back("Record not written to the spool: " + std::string(e.what()) +
                        "; it is sent straight to the store");
  }
  std::lock_guard lock(mutex_);
  ++requested_;
  fresh_ = true;
  cv_.notify_all();
}

void TStoreSink::PutOpen(const TTuningRecord& record) {
  TTuningRecord r = record;
  r.Bench = options_.Bench;
  if (r.Operator.empty()) r.Operator = options_.Operator;
  if (r.WorkOrder.empty()) r.WorkOrder = options_.WorkOrder;
  try {
    journal_.Append(r, true);
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
      if (!reader_) reader_ = OpenRecordStore(options_.Location, TStoreOpen::kExisting);
      found = reader_->LatestCompleted(job->mac, options_.Bench);
      answered = true;
    } catch (const std::exception&) {
      reader_.reset();
      // A records file not made yet holds no record of anything.
      answered = !IsServerLocation(options_.Location) && ::access(options_.Location.c_str(), F_OK) != 0 &&
                 errno == ENOENT;
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

int TStoreSink::Waiting() {
  // Those of the journal only: a record that could not be written there is not waiting
  // anywhere the next run would find it (its own message said so).
  try {
    return static_cast<int>(journal_.Read(false).Waiting.size());
  } catch (const std::exception&) {
    std::lock_guard lock(mutex_);
    return waiting_;
  }
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
  std::deque<TTuningRecord> direct;
  {
    std::lock_guard lock(mutex_);
    direct.swap(direct_);
  }
  auto written = [this](const TTuningRecord&) {
    std::lock_guard lock(handlerMutex_);
    if (written_) written_();
  };
  TDeliveryResult result;
  try {
    const TJournalState state = journal_.Read();
    // Nothing to deliver: the store is not opened (nor made) for nothing.
    if (direct.empty() && state.Waiting.empty() && !state.Foreign) {
      result.Waiting = state.HeldOpen;
    } else {
      if (!store_) store_ = OpenRecordStore(options_.Location, TStoreOpen::kCreate);
      while (!direct.empty()) {
        store_->Add(direct.front());
        written(direct.front());
        direct.pop_front();
      }
      result = DeliverJournal(journal_, *store_, written);
    }
  } catch (const std::exception& e) {
    result.Problem = e.what();
    try {
      result.Waiting = static_cast<int>(journal_.Read().Waiting.size());
    } catch (const std::exception&) {
    }
  }
  // The connection may be broken; the next round opens the store anew.
  if (!result.Problem.empty()) store_.reset();

  std::lock_guard lock(mutex_);
  for (auto it = direct.rbegin(); it != direct.rend(); ++it) direct_.push_front(*it);
  waiting_ = result.Waiting;
  if (result.Rejected > 0)
    messages_.push_back(std::to_string(result.Rejected) +
                        (result.Rejected == 1 ? " record was" : " records were") +
                        " refused by the store and moved to " + RejectedPath(journal_.Path()));
  // One line for each round of new records that could not go on; rounds that only try again
  // say nothing new (the end of the run counts what still waits).
  if (!result.Problem.empty() && fresh && !direct_.empty())
    messages_.push_back("Record not saved: " + result.Problem + "; the spool could not be " +
                        "written either, so the record is kept only until the program ends");
  if (!result.Problem.empty() && fresh && waiting_ > 0) {
    const int waiting = waiting_;
    messages_.push_back("Record not yet stored: " + result.Problem + " (" +
                        std::to_string(waiting) + (waiting == 1 ? " record waits" : " records wait") +
                        " in " + journal_.Path() + ")");
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

