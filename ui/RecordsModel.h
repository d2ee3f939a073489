// The Records window's table: a Qt model over the records browser's pages. A row whose page has
// not come yet is shown empty and asked for; it is drawn once the browser has it.
#pragma once

#include <QAbstractTableModel>
#include <cstdint>

#include "front/RecordsBrowser.h"

class TRecordsModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  static constexpr int kColumnCount = TRecordsBrowser::kColumnCount;
  static constexpr int kPageSize = static_cast<int>(TRecordsBrowser::kPageSize);

  TRecordsModel(TRecordsBrowser& browser, QObject* parent = nullptr);

  // The browser's count changed: every row counts anew.
  void Reset();
  // Rows first..last came from the store.
  void RowsArrived(int64_t first, int64_t last);

  // The record of a row without log and trace; none while its page is read.
  const TTuningRecord* RecordAt(int row) const { return browser_.RowAt(row); }
  // How many rows were read from the store so far (for the benchmark and the tests).
  int64_t RowsRead() const { return browser_.RowsRead(); }

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  TRecordsBrowser& browser_;
};
