// The Records window's table: a Qt model over the record store that reads the rows it shows a
// page at a time (list columns only, never logs or traces), so that a store of any size opens at
// once and scrolls smoothly. It counts the filter's records once and keeps a few pages at hand.
#pragma once

#include <QAbstractTableModel>
#include <cstdint>
#include <list>
#include <map>
#include <vector>

#include "records/RecordStore.h"

class TRecordsModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum TColumn {
    kTime,
    kStation,
    kDevice,
    kGolden,
    kBefore,   // the tuned device's effective compensation before tuning, in ppm
    kAfter,    // the new compensation value, in ppm
    kOffset,   // the measured offset, in ppm
    kStored,   // the value stored (steps), empty when none was stored
    kOutcome,
    kColumnCount
  };
  static constexpr int kPageSize = 200;
  static constexpr size_t kPagesKept = 16;

  explicit TRecordsModel(QObject* parent = nullptr);

  // The store to read (none: an empty table) and the records to show. Both count the records
  // anew and drop the pages read.
  void SetStore(TRecordStore* store);
  void SetFilter(const TRecordFilter& filter);
  const TRecordFilter& Filter() const { return filter_; }
  // New records may have arrived: counts again and drops the pages read.
  void Reload();

  // The record of a row without log and trace (none when the store cannot give it).
  const TTuningRecord* RecordAt(int row) const;
  // How many rows were read from the store so far (for the benchmark and the tests).
  int64_t RowsRead() const { return rowsRead_; }

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  const std::vector<TTuningRecord>* PageOf(int64_t page) const;

  TRecordStore* store_ = nullptr;
  TRecordFilter filter_;
  int64_t count_ = 0;
  // Pages read, the latest used last.
  mutable std::map<int64_t, std::vector<TTuningRecord>> pages_;
  mutable std::list<int64_t> used_;
  mutable int64_t rowsRead_ = 0;
};

// Texts of the table, shared with the window's labels.
QString RecordDeviceText(const TTuningRecord& record);
QString RecordGoldenText(const TTuningRecord& record);
