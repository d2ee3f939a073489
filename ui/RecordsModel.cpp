#include "ui/RecordsModel.h"

#include <QBrush>
#include <QColor>
#include <algorithm>

TRecordsModel::TRecordsModel(TRecordsBrowser& browser, QObject* parent)
    : QAbstractTableModel(parent), browser_(browser) {}

void TRecordsModel::Reset() {
  beginResetModel();
  endResetModel();
}

void TRecordsModel::RowsArrived(int64_t first, int64_t last) {
  if (first >= rowCount()) return;
  last = std::min<int64_t>(last, rowCount() - 1);
  emit dataChanged(index(static_cast<int>(first), 0), index(static_cast<int>(last), kColumnCount - 1));
}

int TRecordsModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(std::min<int64_t>(browser_.State().Count, INT32_MAX));
}

int TRecordsModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QVariant TRecordsModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  if (role == Qt::TextAlignmentRole)
    return QVariant::fromValue(Qt::Alignment(
        (TRecordsBrowser::NumberColumn(index.column()) ? Qt::AlignRight : Qt::AlignLeft) |
        Qt::AlignVCenter));
  if (role != Qt::DisplayRole && role != Qt::ForegroundRole) return {};
  const TTuningRecord* r = RecordAt(index.row());
  if (!r) return {};
  if (role == Qt::ForegroundRole) {
    if (r->Outcome == kRecordFailed) return QBrush(QColor(0xb0, 0x00, 0x20));
    if (r->Outcome == kRecordAborted) return QBrush(Qt::gray);
    return {};
  }
  return QString::fromStdString(TRecordsBrowser::Cell(*r, index.column()));
}

QVariant TRecordsModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= kColumnCount) return {};
  if (role == Qt::DisplayRole) return QString::fromStdString(TRecordsBrowser::ColumnTitle(section));
  if (role == Qt::ToolTipRole) return QString::fromStdString(TRecordsBrowser::ColumnTip(section));
  return {};
}
