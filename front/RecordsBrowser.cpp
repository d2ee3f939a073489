#include "front/RecordsBrowser.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "records/Reports.h"
#include "run/Paths.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long a browser that goes waits for a query under way before it leaves it to end alone.
constexpr std::chrono::milliseconds kStopWait{500};

std::string Ppm(const std::optional<double>& v) { return v ? Fixed(*v, 1) : std::string(); }

}  // namespace

// The reading thread with its own store, its queue of queries and the results waiting for the
// view's thread; and a watch that notices a query that does not come back.
class TRecordsBrowser::TWorker : public std::enable_shared_from_this<TWorker> {
 public:
  using TJob = std::function<void(TWorker&)>;
  using TResult = std::function<void(TRecordsBrowser&)>;

  TWorker(std::string location, std::chrono::milliseconds slow, TRecordsView* view)
      : location_(std::move(location)), slow_(slow), view_(view) {}

  void Start() {
    reader_ = std::thread([self = shared_from_this()] { self->Run(); });
    watch_ = std::thread([self = shared_from_this()] { self->Watch(); });
  }

  void Stop() {
    bool busy;
    {
      std::unique_lock l(m_);
      stop_ = true;
      jobs_.clear();
      results_.clear();
      cv_.notify_all();
      // A query about to end is waited for, so that the store is closed when the browser is
      // gone; one that hangs is not.
      busy = !cv_.wait_for(l, kStopWait, [this] { return !busy_; });
    }
    {
      std::lock_guard l(viewM_);
      view_ = nullptr;
    }
    cv_.notify_all();
    watch_.join();
    // A query that hangs is not waited for: the thread ends once it returns.
    if (busy)
      reader_.detach();
    else
      reader_.join();
  }

  void Post(TJob job) {
    {
      std::lock_guard l(m_);
      jobs_.push_back(std::move(job));
    }
    cv_.notify_all();
  }

  // On the reading thread: hands a result to the view's thread. A result proves that the store
  // answers: a "not answering" said before is taken back first, and the rest of the job is timed
  // anew.
  // The job's last result ends its timing at once: nothing is left that could be late.
  void Deliver(TResult result, bool last = false) {
    {
      std::lock_guard l(m_);
      if (stop_) return;
      if (last) busy_ = false;
      if (slowSaid_) {
        slowSaid_ = false;
        results_.push_back([](TRecordsBrowser& b) { b.SetNotAnswering(false); });
      }
      busySince_ = Clock::now();
      ++jobNumber_;
      results_.push_back(std::move(result));
    }
    cv_.notify_all();
    Wake();
  }

  std::vector<TResult> Take() {
    std::lock_guard l(m_);
    std::vector<TResult> taken;
    taken.swap(results_);
    return taken;
  }

  // The store of the reading thread, opened on first use (and again after a failure).
  TRecordStore& Store() {
    if (!store_) store_ = OpenRecordStore(location_, TStoreOpen::kExisting);
    return *store_;
  }
  void DropStore() { store_.reset(); }

  // The latest generation asked for: a reading of an older one is not worth doing.
  std::atomic<int64_t> Latest{0};

 private:
  void Wake() {
    std::lock_guard l(viewM_);
    if (view_) view_->WakeRecords();
  }

  void Run() {
    std::unique_lock l(m_);
    for (;;) {
      cv_.wait(l, [this] { return stop_ || !jobs_.empty(); });
      if (stop_) return;
      TJob job = std::move(jobs_.front());
      jobs_.pop_front();
      busy_ = true;
      busySince_ = Clock::now();
      ++jobNumber_;
      l.unlock();
      cv_.notify_all();  // the watch starts timing this job
      job(*this);
      l.lock();
      busy_ = false;
      cv_.notify_all();
      if (slowSaid_) {
        slowSaid_ = false;
        if (!stop_) {
          results_.push_back([](TRecordsBrowser& b) { b.SetNotAnswering(false); });
          l.unlock();
          Wake();
          l.lock();
        }
      }
    }
  }

  void Watch() {
    std::unique_lock l(m_);
    while (!stop_) {
      if (!busy_ || slowSaid_) {
        cv_.wait(l);
        continue;
      }
      const uint64_t job = jobNumber_;
      const auto due = busySince_ + slow_;
      cv_.wait_until(l, due, [&] { return stop_ || !busy_ || jobNumber_ != job; });
      if (stop_ || !busy_ || jobNumber_ != job || slowSaid_) continue;
      slowSaid_ = true;
      results_.push_back([](TRecordsBrowser& b) { b.SetNotAnswering(true); });
      l.unlock();
      Wake();
      l.lock();
    }
  }

  const std::string location_;
  const std::chrono::milliseconds slow_;
  std::unique_ptr<TRecordStore> store_;  // the reading thread's alone

  std::mutex m_;
  std::condition_variable cv_;
  std::deque<TJob> jobs_;
  std::vector<TResult> results_;
  bool stop_ = false;
  bool busy_ = false;
  bool slowSaid_ = false;
  uint64_t jobNumber_ = 0;
  Clock::time_point busySince_;

  std::mutex viewM_;
  TRecordsView* view_;

  std::thread reader_, watch_;
};

std::string RecordDeviceText(const TTuningRecord& r) {
  if (r.DeviceKind == "server") return "server #" + r.DeviceIdentity;
  return r.Mac.empty() ? std::string("handheld ?") : "0x" + r.Mac;
}

std::string RecordGoldenText(const TTuningRecord& r) {
  return r.Golden == "server" ? r.ServerIdentity : std::string("(handheld)");
}

TRecordsBrowser::TRecordsBrowser(TRecordsBrowserOptions options, TRecordsView& view) : view_(view) {
  worker_ = std::make_shared<TWorker>(std::move(options.Location), options.NotAnsweringAfter, &view);
  worker_->Start();
  UpdateStatus();
}

TRecordsBrowser::~TRecordsBrowser() { worker_->Stop(); }

void TRecordsBrowser::SetShown(bool shown) {
  shown_ = shown;
  if (shown_ && stale_) Read();
}

void TRecordsBrowser::Refresh() {
  stale_ = true;
  if (shown_) Read();
}

void TRecordsBrowser::SetFilter(const TRecordFilter& filter) {
  filter_ = filter;
  Refresh();
}

void TRecordsBrowser::Read() {
  stale_ = false;
  const int64_t generation = ++generation_;
  chartCome_ = false;
  worker_->Latest = generation;
  const TRecordFilter filter = filter_;
  worker_->Post([generation, filter](TWorker& w) {
    if (w.Latest.load() != generation) return;  // a newer reading is on its way
    int64_t count = 0;
    try {
      count = w.Store().Count(filter);
    } catch (const std::exception& e) {
      w.DropStore();
      const std::string why = e.what();
      w.Deliver([generation, filter, why](TRecordsBrowser& b) {
        b.CountCame(generation, filter, 0, "No records yet (" + why + ")");
      });
      w.Deliver([generation](TRecordsBrowser& b) {
        b.ChartCame(generation, std::make_shared<TRecordsChart>(BuildRecordsChart({}, {})), {});
      }, true);
      return;
    }
    w.Deliver([generation, filter, count](TRecordsBrowser& b) { b.CountCame(generation, filter, count, {}); });
    if (w.Latest.load() != generation) return;
    // One pass over the chart columns: the drift follows the time range and the station only
    // (its own rule chooses the records), the statistics and the trend every filter.
    std::vector<TRecordPoint> points;
    std::string error;
    try {
      TRecordFilter base = filter;
      base.Outcome.clear();
      base.Mac.clear();
      w.Store().Points(base, [&](const TRecordPoint& p) { points.push_back(p); });
    } catch (const std::exception& e) {
      w.DropStore();
      points.clear();
      error = std::string("Records not readable: ") + e.what();
    }
    auto chart = std::make_shared<TRecordsChart>(BuildRecordsChart(points, filter));
    w.Deliver([generation, chart, error](TRecordsBrowser& b) { b.ChartCame(generation, chart, error); },
              true);
  });
  UpdateStatus();
}

void TRecordsBrowser::CountCame(int64_t generation, const TRecordFilter& filter, int64_t count,
                                const std::string& error) {
  if (generation != generation_) return;  // the filter or the records changed meanwhile
  shownGeneration_ = generation;
  pages_.clear();
  used_.clear();
  asked_.clear();
  state_.Counted = error.empty();
  state_.Count = count;
  state_.Filter = filter;
  error_ = error;
  UpdateStatus();
  view_.RecordsChanged(true, false);
}

void TRecordsBrowser::ChartCame(int64_t generation, std::shared_ptr<const TRecordsChart> chart,
                                const std::string& error) {
  if (generation != generation_) return;
  chartCome_ = true;
  state_.Chart = std::move(chart);
  if (!error.empty()) error_ = error;
  UpdateStatus();
  view_.RecordsChanged(false, true);
}

void TRecordsBrowser::SetNotAnswering(bool notAnswering) {
  state_.NotAnswering = notAnswering;
  UpdateStatus();
  view_.RecordsChanged(false, false);
}

void TRecordsBrowser::UpdateStatus() {
  if (state_.NotAnswering)
    state_.Status = "The record store is not answering; still waiting for it";
  else if (!error_.empty())
    state_.Status = error_;
  else if (shownGeneration_ < 0)
    state_.Status = "Reading the records...";
  else
    state_.Status = std::to_string(state_.Count) + " records";
}

const TTuningRecord* TRecordsBrowser::RowAt(int64_t row) {
  if (shownGeneration_ < 0 || row < 0 || row >= state_.Count) return nullptr;
  const int64_t page = row / kPageSize;
  const size_t at = static_cast<size_t>(row % kPageSize);
  if (auto it = pages_.find(page); it != pages_.end()) {
    used_.remove(page);
    used_.push_back(page);
    return at < it->second.size() ? &it->second[at] : nullptr;
  }
  if (asked_.insert(page).second) {
    const int64_t generation = shownGeneration_;
    const TRecordFilter filter = state_.Filter;
    worker_->Post([generation, filter, page](TWorker& w) {
      if (w.Latest.load() != generation) return;
      auto rows = std::make_shared<std::vector<TTuningRecord>>();
      rows->reserve(kPageSize);
      try {
        w.Store().Page(filter, page * kPageSize, kPageSize,
                       [&](const TTuningRecord& r) { rows->push_back(r); });
      } catch (const std::exception&) {
        w.DropStore();
        rows->clear();
      }
      w.Deliver([generation, page, rows](TRecordsBrowser& b) { b.PageCame(generation, page, std::move(*rows)); },
                true);
    });
  }
  return nullptr;
}

void TRecordsBrowser::PageCame(int64_t generation, int64_t page, std::vector<TTuningRecord> rows) {
  if (generation != shownGeneration_) return;
  asked_.erase(page);
  if (rows.empty()) return;  // not readable: asked again when shown again
  rowsRead_ += static_cast<int64_t>(rows.size());
  const int64_t first = page * kPageSize;
  const int64_t last = first + static_cast<int64_t>(rows.size()) - 1;
  if (used_.size() >= kPagesKept) {
    pages_.erase(used_.front());
    used_.pop_front();
  }
  used_.push_back(page);
  pages_[page] = std::move(rows);
  view_.RowsArrived(first, last);
}

void TRecordsBrowser::ShowRecord(int64_t id) {
  worker_->Post([id](TWorker& w) {
    std::optional<TTuningRecord> whole;
    try {
      whole = w.Store().Get(id);
    } catch (const std::exception&) {
      w.DropStore();
    }
    if (!whole) return;
    std::ostringstream text;
    WriteRecordText(text, *whole);
    w.Deliver([id, text = text.str()](TRecordsBrowser& b) { b.view_.RecordTextArrived(id, text); }, true);
  });
}

void TRecordsBrowser::Export(const std::string& path, bool json) {
  // What the filter boxes say, even when its table is still being read.
  const TRecordFilter filter = filter_;
  worker_->Post([filter, path, json](TWorker& w) {
    std::string error;
    std::ofstream out(FilePath(path), std::ios::binary | std::ios::trunc);
    if (!out) {
      error = "cannot write " + path;
    } else {
      try {
        if (!json) out << CsvHeader();
        w.Store().Export(filter, [&](const TTuningRecord& r) { out << (json ? JsonLine(r) : CsvLine(r)); });
        out.flush();
        if (!out) error = "cannot write " + path;
      } catch (const std::exception& e) {
        w.DropStore();
        error = e.what();
      }
    }
    w.Deliver([error](TRecordsBrowser& b) { b.view_.ExportEnded(error.empty(), error); }, true);
  });
}

void TRecordsBrowser::Pump() {
  for (auto& result : worker_->Take()) result(*this);
}

std::string TRecordsBrowser::ColumnTitle(int column) {
  static const char* const kTitles[] = {"Time (UTC)",    "Station",      "Device",
                                        "Golden server", "Before (ppm)", "After (ppm)",
                                        "Offset (ppm)",  "Stored",       "Outcome"};
  static_assert(std::size(kTitles) == kColumnCount);
  return column >= 0 && column < kColumnCount ? kTitles[column] : "";
}

std::string TRecordsBrowser::ColumnTip(int column) {
  static const char* const kTips[] = {
      "When the attempt started",
      "The station (host name) it was made on",
      "The tuned device: a handheld's MAC or a server's identity",
      "The identity of the golden server, when the server was the reference",
      "The device's effective compensation before tuning",
      "The new compensation value",
      "The measured offset: new value less the previous effective one",
      "The value stored in the device (steps)",
      "completed, failed or aborted"};
  static_assert(std::size(kTips) == kColumnCount);
  return column >= 0 && column < kColumnCount ? kTips[column] : "";
}

std::string TRecordsBrowser::Cell(const TTuningRecord& r, int column) {
  switch (column) {
    case kTime: {
      // "2026-12-10T13:22:49.123Z" shown as "2026-12-10 13:22:49" (UTC).
      std::string t = r.StartedAt.substr(0, 19);
      if (t.size() > 10 && t[10] == 'T') t[10] = ' ';
      return t;
    }
    case kStation:
      return r.Station;
    case kDevice:
      return RecordDeviceText(r) + (r.Bench ? " [bench]" : "");
    case kGolden:
      return RecordGoldenText(r);
    case kBefore:
      return r.EffectiveComp ? Ppm(StepsToPpm(*r.EffectiveComp)) : std::string();
    case kAfter:
      return Ppm(r.NewCompPpm);
    case kOffset:
      return Ppm(r.OffsetPpm);
    case kStored:
      return r.Stored && r.NewCompSteps ? std::to_string(*r.NewCompSteps) : std::string();
    case kOutcome:
      return r.Outcome + (r.AnalysisOnly ? " (analysis)" : "");
    default:
      return {};
  }
}
