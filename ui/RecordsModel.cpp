#include "ui/RecordsModel.h"

#include <QBrush>
#include <QColor>
#include <algorithm>

#include "records/Reports.h"

namespace {

QString Ppm(const std::optional<double>& v) {
  return v ? QString::fromStdString(Fixed(*v, 1)) : QString();
}

}  // namespace

QString RecordDeviceText(const TTuningRecord& r) {
  if (r.DeviceKind == "server") return QStringLiteral("server #") + QString::fromStdString(r.DeviceIdentity);
  return r.Mac.empty() ? QStringLiteral("handheld ?") : QStringLiteral("0x") + QString::fromStdString(r.Mac);
}

QString RecordGoldenText(const TTuningRecord& r) {
  if (r.Golden == "server") return QString::fromStdString(r.ServerIdentity);
  return QStringLiteral("(handheld)");
}

TRecordsModel::TRecordsModel(QObject* parent) : QAbstractTableModel(parent) {}

void TRecordsModel::SetStore(TRecordStore* store) {
  store_ = store;
  Reload();
}

void TRecordsModel::SetFilter(const TRecordFilter& filter) {
  filter_ = filter;
  Reload();
}

void TRecordsModel::Reload() {
  beginResetModel();
  pages_.clear();
  used_.clear();
  count_ = 0;
  if (store_) {
    try {
      count_ = store_->Count(filter_);
    } catch (const std::exception&) {
      count_ = 0;
    }
  }
  endResetModel();
}

const std::vector<TTuningRecord>* TRecordsModel::PageOf(int64_t page) const {
  if (auto it = pages_.find(page); it != pages_.end()) {
    used_.remove(page);
    used_.push_back(page);
    return &it->second;
  }
  if (!store_) return nullptr;
  std::vector<TTuningRecord> rows;
  rows.reserve(kPageSize);
  try {
    store_->Page(filter_, page * kPageSize, kPageSize,
                 [&](const TTuningRecord& r) { rows.push_back(r); });
  } catch (const std::exception&) {
    return nullptr;
  }
  rowsRead_ += static_cast<int64_t>(rows.size());
  if (used_.size() >= kPagesKept) {
    pages_.erase(used_.front());
    used_.pop_front();
  }
  used_.push_back(page);
  return &(pages_[page] = std::move(rows));
}

const TTuningRecord* TRecordsModel::RecordAt(int row) const {
  if (row < 0 || row >= count_) return nullptr;
  const auto* page = PageOf(row / kPageSize);
  const size_t at = static_cast<size_t>(row % kPageSize);
  return page && at < page->size() ? &(*page)[at] : nullptr;
}

int TRecordsModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(std::min<int64_t>(count_, INT32_MAX));
}

int TRecordsModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QVariant TRecordsModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  if (role != Qt::DisplayRole && role != Qt::ForegroundRole && role != Qt::TextAlignmentRole)
    return {};
  if (role == Qt::TextAlignmentRole) {
    const bool number = index.column() >= kBefore && index.column() <= kStored;
    return QVariant::fromValue(Qt::Alignment(
        (number ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter));
  }
  const TTuningRecord* r = RecordAt(index.row());
  if (!r) return {};
  if (role == Qt::ForegroundRole) {
    if (r->Outcome == kRecordFailed) return QBrush(QColor(0xb0, 0x00, 0x20));
    if (r->Outcome == kRecordAborted) return QBrush(Qt::gray);
    return {};
  }
  switch (index.column()) {
    case kTime: {
      // "2026-12-10T13:22:49.123Z" shown as "2026-12-10 13:22:49" (UTC).
      QString t = QString::fromStdString(r->StartedAt.substr(0, 19));
      return t.replace(QLatin1Char('T'), QLatin1Char(' '));
    }
    case kStation:
      return QString::fromStdString(r->Station);
    case kDevice:
      return RecordDeviceText(*r) + (r->Bench ? QStringLiteral(" [bench]") : QString());
    case kGolden:
      return RecordGoldenText(*r);
    case kBefore:
      return r->EffectiveComp ? Ppm(StepsToPpm(*r->EffectiveComp)) : QString();
    case kAfter:
      return Ppm(r->NewCompPpm);
    case kOffset:
      return Ppm(r->OffsetPpm);
    case kStored:
      return r->Stored && r->NewCompSteps ? QString::number(*r->NewCompSteps) : QString();
    case kOutcome:
      return QString::fromStdString(r->Outcome) +
             (r->AnalysisOnly ? QStringLiteral(" (analysis)") : QString());
    default:
      return {};
  }
}

QVariant TRecordsModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal) return {};
  static const char* const kTitles[] = {"Time (UTC)",  "Station",     "Device",
                                        "Golden server", "Before (ppm)", "After (ppm)",
                                        "Offset (ppm)", "Stored",      "Outcome"};
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
  static_assert(std::size(kTitles) == kColumnCount && std::size(kTips) == kColumnCount);
  if (section < 0 || section >= kColumnCount) return {};
  if (role == Qt::DisplayRole) return QString::fromLatin1(kTitles[section]);
  if (role == Qt::ToolTipRole) return QString::fromLatin1(kTips[section]);
  return {};
}
