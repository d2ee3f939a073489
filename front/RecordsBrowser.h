// The Records window's logic without a toolkit: the filter, the count, the table's pages and
// cells, the column titles, the charts' data, export and a record's whole text. Every query runs
// on a thread of the browser's own with a store of its own, so a store that is slow or does not
// answer at all (a records server that accepts connections and then stays silent) never holds
// up the window; results come back through the view's wake hook and are taken on the view's
// thread by Pump. Each reading carries a generation: an answer for a filter or a reading that
// has been replaced meanwhile is dropped. While a query has taken longer than a short time the
// state says that the store is not answering.
//
// The browser reads only while its window is shown: a refresh asked for while it is hidden is
// remembered and done once it is shown again.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "front/RecordsChart.h"
#include "records/RecordStore.h"

// What the browser asks of the window that shows it.
class TRecordsView {
 public:
  virtual ~TRecordsView() = default;
  // Called on the browser's threads: results are waiting; the view calls Pump on its own thread
  // soon (Qt: a queued call; Win32: a posted message).
  virtual void WakeRecords() = 0;
  // On the view's thread, from Pump: the count, the status or the charts changed (the table's
  // rows all count anew when countChanged).
  virtual void RecordsChanged(bool countChanged, bool chartChanged) = 0;
  // On the view's thread, from Pump: rows first..last (inclusive) can be shown now.
  virtual void RowsArrived(int64_t first, int64_t last) = 0;
  // On the view's thread, from Pump: the whole text of a record asked for with ShowRecord.
  virtual void RecordTextArrived(int64_t id, const std::string& text) = 0;
  // On the view's thread, from Pump: an export asked for with Export has ended.
  virtual void ExportEnded(bool ok, const std::string& error) = 0;
};

struct TRecordsBrowserOptions {
  std::string Location;  // the record store (see OpenRecordStore); it must exist already
  // A query that has not answered after this long makes the state say so.
  std::chrono::milliseconds NotAnsweringAfter{1000};
};

struct TRecordsBrowserState {
  bool Counted = false;  // the count of the filter shown has come
  int64_t Count = 0;     // rows of the table
  // The line under the table: "N records", "Reading the records...", "No records yet (...)",
  // "Records not readable: ...", or that the store is not answering.
  std::string Status;
  bool NotAnswering = false;
  std::shared_ptr<const TRecordsChart> Chart;  // none before the first reading
  TRecordFilter Filter;                        // the filter the count and the charts are of
};

class TRecordsBrowser {
 public:
  enum TColumn {
    kTime,
    kStation,
    kDevice,
    kGolden,
    kBefore,  // the tuned device's effective compensation before tuning, in ppm
    kAfter,   // the new compensation value, in ppm
    kOffset,  // the measured offset, in ppm
    kStored,  // the value stored (steps), empty when none was stored
    kOutcome,
    kColumnCount
  };
  static constexpr int64_t kPageSize = 200;
  static constexpr size_t kPagesKept = 16;

  TRecordsBrowser(TRecordsBrowserOptions options, TRecordsView& view);
  // Waits a moment for a query under way; one that hangs is left to end alone (the reading
  // thread closes its store once the query returns).
  ~TRecordsBrowser();
  TRecordsBrowser(const TRecordsBrowser&) = delete;
  TRecordsBrowser& operator=(const TRecordsBrowser&) = delete;

  // The window was shown or hidden. Shown, a reading missed while hidden is done now.
  void SetShown(bool shown);
  // New records may be there: reads the count, the table and the charts again (once shown).
  void Refresh();
  // Shows what the filter takes (read once shown).
  void SetFilter(const TRecordFilter& filter);
  // The filter last set (the state's Filter is the one the shown figures are of).
  const TRecordFilter& Filter() const { return filter_; }
  const TRecordsBrowserState& State() const { return state_; }
  // True while a reading asked for has not come back.
  bool Busy() const { return generation_ != shownGeneration_ || !chartCome_; }

  // The record of a table row without log and trace; none while its page is read (RowsArrived
  // follows) or when the row is not there.
  const TTuningRecord* RowAt(int64_t row);
  // Rows read for the table so far.
  int64_t RowsRead() const { return rowsRead_; }

  // Asks for the whole text of a record (log and trace included): RecordTextArrived follows.
  void ShowRecord(int64_t id);
  // Writes the records of the filter last set, oldest first with every column, as CSV with a
  // header line or as JSON lines: ExportEnded follows.
  void Export(const std::string& path, bool json);

  // Takes the results that have come, on the view's thread; tells the view what changed.
  void Pump();

  static std::string ColumnTitle(int column);
  static std::string ColumnTip(int column);
  static std::string Cell(const TTuningRecord& record, int column);
  static bool NumberColumn(int column) { return column >= kBefore && column <= kStored; }

  class TWorker;

 private:
  void Read();
  void CountCame(int64_t generation, const TRecordFilter& filter, int64_t count,
                 const std::string& error);
  void ChartCame(int64_t generation, std::shared_ptr<const TRecordsChart> chart,
                 const std::string& error);
  void PageCame(int64_t generation, int64_t page, std::vector<TTuningRecord> rows);
  void SetNotAnswering(bool notAnswering);
  void UpdateStatus();

  TRecordsView& view_;
  std::shared_ptr<TWorker> worker_;
  TRecordFilter filter_;
  TRecordsBrowserState state_;
  bool shown_ = false;
  bool stale_ = true;  // a reading is due once shown
  int64_t generation_ = 0;        // of the latest reading asked for
  int64_t shownGeneration_ = -1;  // of the count shown and the pages kept
  bool chartCome_ = false;
  std::string error_;  // why the last reading failed
  std::map<int64_t, std::vector<TTuningRecord>> pages_;
  std::list<int64_t> used_;  // pages kept, the latest used last
  std::set<int64_t> asked_;  // pages asked for and not come yet
  int64_t rowsRead_ = 0;
};

// Texts of the table, shared with the window's labels.
std::string RecordDeviceText(const TTuningRecord& record);
std::string RecordGoldenText(const TTuningRecord& record);
