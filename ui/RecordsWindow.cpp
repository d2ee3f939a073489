#include "ui/RecordsWindow.h"

#include <QApplication>
#include <QBarCategoryAxis>
#include <QBarSeries>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDateTimeAxis>
#include <QDialog>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLegendMarker>
#include <QLineEdit>
#include <QLineSeries>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>
#include <cmath>

#include <QEventLoop>

#include "front/RecordsChart.h"
#include "records/Reports.h"
#include "ui/RecordsModel.h"

namespace {

const char* const kOutcomes[] = {"any", kRecordCompleted, kRecordFailed, kRecordAborted};

QString FromStd(const std::string& s) { return QString::fromStdString(s); }

void ClearChart(QChart* chart) {
  chart->removeAllSeries();
  for (QAbstractAxis* axis : chart->axes()) {
    chart->removeAxis(axis);
    delete axis;
  }
}

QChartView* NewChartView(const char* name, const QString& title, QWidget* parent) {
  auto* chart = new QChart;
  chart->setTitle(title);
  chart->setAnimationOptions(QChart::NoAnimation);
  chart->legend()->setAlignment(Qt::AlignBottom);
  auto* view = new QChartView(chart, parent);
  view->setObjectName(QString::fromLatin1(name));
  view->setRenderHint(QPainter::Antialiasing);
  view->setMinimumSize(320, 200);
  return view;
}

QList<QPointF> Points(const std::vector<TChartPoint>& points) {
  QList<QPointF> list;
  list.reserve(static_cast<qsizetype>(points.size()));
  for (const TChartPoint& p : points) list.append(QPointF(p.AtMs, p.Value));
  return list;
}

QDateTimeAxis* TimeAxis(QChart* chart) {
  auto* axis = new QDateTimeAxis;
  axis->setTitleText(QStringLiteral("started (UTC)"));
  axis->setTickCount(5);
  chart->addAxis(axis, Qt::AlignBottom);
  return axis;
}

// The time axis over lowX..highX (ms since 1970, UTC) with a little room either side, at least
// a tenth of a second wide, its labels as fine as the range needs.
void SetTimeRange(QDateTimeAxis* axis, double lowX, double highX) {
  const double room = std::max(50.0, (highX - lowX) * 0.02);
  lowX -= room;
  highX += room;
  const double span = highX - lowX;
  axis->setFormat(span < 10e3         ? QStringLiteral("hh:mm:ss.zzz")
                  : span < 2 * 3600e3 ? QStringLiteral("hh:mm:ss")
                  : span < 4 * 86400e3 ? QStringLiteral("MM-dd hh:mm")
                                      : QStringLiteral("yyyy-MM-dd"));
  axis->setRange(QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(lowX), Qt::UTC),
                 QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(highX), Qt::UTC));
}

QValueAxis* ValueAxis(QChart* chart, const QString& title) {
  auto* axis = new QValueAxis;
  axis->setTitleText(title);
  chart->addAxis(axis, Qt::AlignLeft);
  return axis;
}


}  // namespace

TRecordsWindow::TRecordsWindow(TRecordsWindowOptions options, QWidget* parent)
    : QWidget(parent, Qt::Window), options_(std::move(options)) {
  setObjectName(QStringLiteral("RecordsWindow"));
  setWindowTitle(QStringLiteral("Records"));
  threshold_ = options_.DriftSettingsPath.empty() ? kDefaultDriftThreshold
                                                  : ReadDriftThreshold(options_.DriftSettingsPath);
  browser_ = std::make_unique<TRecordsBrowser>(TRecordsBrowserOptions{options_.Location}, static_cast<TRecordsView&>(*this));
  model_ = new TRecordsModel(*browser_, this);
  CreateControls();
  refreshTimer_ = new QTimer(this);
  refreshTimer_->setSingleShot(true);
  refreshTimer_->setInterval(200);
  connect(refreshTimer_, &QTimer::timeout, this, [this] { Reload(); });
  filterTimer_ = new QTimer(this);
  filterTimer_->setSingleShot(true);
  filterTimer_->setInterval(300);
  connect(filterTimer_, &QTimer::timeout, this, [this] { ApplyFilter(); });
  resize(900, 640);
  CountTxt->setText(FromStd(browser_->State().Status));
  RedrawCharts();
}

// The table lets go of the model over the browser, then the browser goes: no wake comes after
// it, and none reaches a window half gone; the widgets that go after it never ask it again.
TRecordsWindow::~TRecordsWindow() {
  HistoryView->setModel(nullptr);
  browser_.reset();
}

void TRecordsWindow::WakeRecords() {
  // From the browser's threads: the results are taken on the window's thread.
  QMetaObject::invokeMethod(this, [this] { browser_->Pump(); }, Qt::QueuedConnection);
}

void TRecordsWindow::RecordsChanged(bool countChanged, bool chartChanged) {
  if (countChanged) model_->Reset();
  CountTxt->setText(FromStd(browser_->State().Status));
  if (chartChanged) RedrawCharts();
}

void TRecordsWindow::RowsArrived(int64_t first, int64_t last) { model_->RowsArrived(first, last); }

void TRecordsWindow::CreateControls() {
  auto* top = new QVBoxLayout(this);

  auto* filters = new QHBoxLayout;
  auto edit = [this, filters](const char* name, const char* label, const char* hint, int width) {
    auto* l = new QLabel(QString::fromLatin1(label), this);
    auto* e = new QLineEdit(this);
    e->setObjectName(QString::fromLatin1(name));
    e->setPlaceholderText(QString::fromLatin1(hint));
    e->setClearButtonEnabled(true);
    e->setMaximumWidth(width);
    l->setBuddy(e);
    filters->addWidget(l);
    filters->addWidget(e);
    connect(e, &QLineEdit::textChanged, this, [this] { filterTimer_->start(); });
    connect(e, &QLineEdit::returnPressed, this, [this] { ApplyFilter(); });
    return e;
  };
  FromEdit = edit("FromEdit", "&From", "2026-12-01", 150);
  ToEdit = edit("ToEdit", "&To", "2026-12-31", 150);
  auto* outcomeLabel = new QLabel(QStringLiteral("O&utcome"), this);
  OutcomeCombo = new QComboBox(this);
  OutcomeCombo->setObjectName(QStringLiteral("OutcomeCombo"));
  for (const char* o : kOutcomes) OutcomeCombo->addItem(QString::fromLatin1(o));
  outcomeLabel->setBuddy(OutcomeCombo);
  filters->addWidget(outcomeLabel);
  filters->addWidget(OutcomeCombo);
  connect(OutcomeCombo, &QComboBox::currentIndexChanged, this, [this] { ApplyFilter(); });
  MacEdit = edit("MacEdit", "&MAC", "00A10001", 110);
  StationEdit = edit("StationEdit", "St&ation", "host name", 140);
  filters->addStretch(1);
  top->addLayout(filters);

  WarningTxt = new QLabel(this);
  WarningTxt->setObjectName(QStringLiteral("WarningTxt"));
  WarningTxt->setWordWrap(true);
  WarningTxt->setStyleSheet(QStringLiteral(
      "QLabel { color: white; background: #b00020; padding: 4px; font-weight: bold; }"));
  WarningTxt->hide();
  top->addWidget(WarningTxt);

  Tabs = new QTabWidget(this);
  Tabs->setObjectName(QStringLiteral("Tabs"));
  top->addWidget(Tabs, 1);

  // History
  auto* history = new QWidget(Tabs);
  auto* historyLayout = new QVBoxLayout(history);
  HistoryView = new QTableView(history);
  HistoryView->setObjectName(QStringLiteral("HistoryView"));
  HistoryView->setModel(model_);
  HistoryView->setSelectionBehavior(QAbstractItemView::SelectRows);
  HistoryView->setSelectionMode(QAbstractItemView::SingleSelection);
  HistoryView->setEditTriggers(QAbstractItemView::NoEditTriggers);
  HistoryView->setAlternatingRowColors(true);
  HistoryView->verticalHeader()->hide();
  // Fixed row heights and column widths: the view never asks every row for its size.
  HistoryView->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  HistoryView->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
  HistoryView->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  HistoryView->horizontalHeader()->setStretchLastSection(true);
  const int widths[] = {140, 90, 150, 140, 80, 80, 85, 60, 110};
  for (int c = 0; c < TRecordsModel::kColumnCount; ++c) HistoryView->setColumnWidth(c, widths[c]);
  connect(HistoryView, &QTableView::doubleClicked, this,
          [this](const QModelIndex& index) { ShowRecord(index.row()); });
  historyLayout->addWidget(HistoryView, 1);
  auto* historyButtons = new QHBoxLayout;
  CountTxt = new QLabel(history);
  CountTxt->setObjectName(QStringLiteral("CountTxt"));
  historyButtons->addWidget(CountTxt, 1);
  ExportBut = new QPushButton(QStringLiteral("&Export..."), history);
  ExportBut->setObjectName(QStringLiteral("ExportBut"));
  connect(ExportBut, &QPushButton::clicked, this, [this] { DoExport(); });
  historyButtons->addWidget(ExportBut);
  historyLayout->addLayout(historyButtons);
  Tabs->addTab(history, QStringLiteral("&History"));

  // Lot statistics
  auto* lot = new QWidget(Tabs);
  auto* lotLayout = new QVBoxLayout(lot);
  auto* histogramRow = new QHBoxLayout;
  HistogramView = NewChartView("HistogramView", QStringLiteral("Measured offset"), lot);
  HistogramView->chart()->legend()->hide();
  histogramRow->addWidget(HistogramView, 1);
  StatsTxt = new QLabel(lot);
  StatsTxt->setObjectName(QStringLiteral("StatsTxt"));
  StatsTxt->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  StatsTxt->setTextInteractionFlags(Qt::TextSelectableByMouse);
  StatsTxt->setMinimumWidth(190);
  histogramRow->addWidget(StatsTxt);
  lotLayout->addLayout(histogramRow, 1);
  TrendView = NewChartView("TrendView", QStringLiteral("Measured offset over time"), lot);
  lotLayout->addWidget(TrendView, 1);
  Tabs->addTab(lot, QStringLiteral("&Lot statistics"));

  // Golden drift
  auto* driftTab = new QWidget(Tabs);
  auto* driftLayout = new QVBoxLayout(driftTab);
  DriftView = NewChartView("DriftView", QStringLiteral("Golden reference drift"), driftTab);
  driftLayout->addWidget(DriftView, 1);
  auto* driftRow = new QHBoxLayout;
  auto* thresholdLabel = new QLabel(QStringLiteral("&Band +/-"), driftTab);
  ThresholdSpin = new QDoubleSpinBox(driftTab);
  ThresholdSpin->setObjectName(QStringLiteral("ThresholdSpin"));
  ThresholdSpin->setRange(0.5, 100);
  ThresholdSpin->setSingleStep(0.5);
  ThresholdSpin->setDecimals(1);
  ThresholdSpin->setSuffix(QStringLiteral(" steps"));
  ThresholdSpin->setValue(threshold_);
  thresholdLabel->setBuddy(ThresholdSpin);
  connect(ThresholdSpin, &QDoubleSpinBox::valueChanged, this,
          [this](double v) { SetThreshold(v); });
  driftRow->addWidget(thresholdLabel);
  driftRow->addWidget(ThresholdSpin);
  DriftTxt = new QLabel(driftTab);
  DriftTxt->setObjectName(QStringLiteral("DriftTxt"));
  DriftTxt->setWordWrap(true);
  driftRow->addWidget(DriftTxt, 1);
  driftLayout->addLayout(driftRow);
  Tabs->addTab(driftTab, QStringLiteral("&Golden drift"));
}

void TRecordsWindow::Refresh() {
  // Several calls in a short time give one reading; a hidden window reads once shown.
  if (!refreshTimer_->isActive()) refreshTimer_->start();
}

void TRecordsWindow::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  browser_->SetShown(true);
}

void TRecordsWindow::hideEvent(QHideEvent* e) {
  QWidget::hideEvent(e);
  browser_->SetShown(false);
}

void TRecordsWindow::Reload() {
  refreshTimer_->stop();
  browser_->Refresh();
}

void TRecordsWindow::ApplyFilter() {
  filterTimer_->stop();
  TRecordFilter f;
  f.From = FromEdit->text().trimmed().toStdString();
  f.To = ToEdit->text().trimmed().toStdString();
  if (OutcomeCombo->currentIndex() > 0) f.Outcome = kOutcomes[OutcomeCombo->currentIndex()];
  f.Mac = MacEdit->text().trimmed().toStdString();
  f.Station = StationEdit->text().trimmed().toStdString();
  browser_->SetFilter(f);
}

void TRecordsWindow::RedrawCharts() {
  QChart* histogram = HistogramView->chart();
  QChart* trend = TrendView->chart();
  ClearChart(histogram);
  ClearChart(trend);
  static const TRecordsChart kNone = BuildRecordsChart({}, {});
  const TRecordsChart& c = browser_->State().Chart ? *browser_->State().Chart : kNone;

  const TRecordsChartScales scales =
      ChartScales(c, threshold_, static_cast<double>(QDateTime::currentMSecsSinceEpoch()));

  // Histogram of the measured offset.
  auto* set = new QBarSet(QStringLiteral("devices"));
  QStringList categories;
  for (size_t i = 0; i < c.Bins.size(); ++i) {
    *set << static_cast<double>(c.Bins[i].Count);
    categories << FromStd(c.BinLabels[i]);
  }
  auto* bars = new QBarSeries;
  bars->append(set);
  bars->setBarWidth(0.9);
  histogram->addSeries(bars);
  auto* binAxis = new QBarCategoryAxis;
  binAxis->append(categories);
  binAxis->setTitleText(QStringLiteral("offset (ppm)"));
  binAxis->setLabelsAngle(categories.size() > 12 ? -90 : 0);
  binAxis->setTruncateLabels(false);
  histogram->addAxis(binAxis, Qt::AlignBottom);
  bars->attachAxis(binAxis);
  QValueAxis* countAxis = ValueAxis(histogram, QStringLiteral("devices"));
  countAxis->setTickType(QValueAxis::TicksDynamic);
  countAxis->setTickAnchor(0);
  countAxis->setTickInterval(scales.CountTick);
  countAxis->setRange(0, scales.CountTop);
  countAxis->setLabelFormat(QStringLiteral("%.0f"));
  bars->attachAxis(countAxis);
  StatsTxt->setText(FromStd(c.StatsText));

  // The offset over time, failures marked. A failure without a measured offset has no place on
  // the offset scale: it is marked along the chart's lower edge, at its time, in a series of its
  // own, so that it neither reads as a device at 0 ppm nor widens the scale.
  // Points without lines: a line series with its points shown draws them all in one item,
  // where a scatter series makes an item of each.
  auto points = [](const char* name, const QColor& color, qreal size, const QList<QPointF>& at) {
    auto* series = new QLineSeries;
    series->setName(QString::fromLatin1(name));
    series->setPen(Qt::NoPen);
    series->setColor(color);
    series->setPointsVisible(true);
    series->setMarkerSize(size);
    series->replace(at);
    return series;
  };
  QLineSeries* done = points("completed", QColor(0x20, 0x60, 0xb0), 5, Points(c.Completed));
  QLineSeries* bad = points("failed", QColor(0xb0, 0x00, 0x20), 8, Points(c.Failed));
  trend->addSeries(done);
  trend->addSeries(bad);
  QLineSeries* unmeasured = nullptr;
  QDateTimeAxis* timeAxis = TimeAxis(trend);
  QValueAxis* offsetAxis = ValueAxis(trend, QStringLiteral("offset (ppm)"));
  SetTimeRange(timeAxis, scales.TrendTime.Low, scales.TrendTime.High);
  offsetAxis->setRange(scales.TrendOffset.Low, scales.TrendOffset.High);
  offsetAxis->applyNiceNumbers();
  if (!c.FailedUnmeasured.empty()) {
    QList<QPointF> edge;
    for (double x : c.FailedUnmeasured) edge.append(QPointF(x, offsetAxis->min()));
    unmeasured = points("failed, no offset", QColor(0xe0, 0x70, 0x00), 8, edge);
    trend->addSeries(unmeasured);
  }
  for (QAbstractSeries* s : {static_cast<QAbstractSeries*>(done), static_cast<QAbstractSeries*>(bad),
                             static_cast<QAbstractSeries*>(unmeasured)}) {
    if (!s) continue;
    s->attachAxis(timeAxis);
    s->attachAxis(offsetAxis);
  }
  trend->setTitle(FromStd(c.TrendTitle));
  DrawDrift();
}

void TRecordsWindow::DrawDrift() {
  QChart* chart = DriftView->chart();
  ClearChart(chart);
  const auto& shown = browser_->State().Chart;
  static const TRecordsChart kNone = BuildRecordsChart({}, {});
  const TRecordsChartScales scales = ChartScales(
      shown ? *shown : kNone, threshold_, static_cast<double>(QDateTime::currentMSecsSinceEpoch()));
  warnings_ = scales.Warnings;
  QDateTimeAxis* timeAxis = TimeAxis(chart);
  QValueAxis* stepsAxis = ValueAxis(chart, QStringLiteral("rolling median (steps)"));
  if (shown)
    for (const TRecordsChart::TDrift& s : shown->Drift) {
      if (s.Median.empty()) continue;
      auto* line = new QLineSeries;
      line->setName(QStringLiteral("#") + FromStd(s.Server));
      line->replace(Points(s.Median));
      chart->addSeries(line);
      line->attachAxis(timeAxis);
      line->attachAxis(stepsAxis);
    }
  const double lowX = scales.DriftTime.Low, highX = scales.DriftTime.High;
  // The band: +/- the threshold over the whole time range.
  for (double edge : {threshold_, -threshold_}) {
    auto* band = new QLineSeries;
    band->setName(edge > 0 ? QStringLiteral("band +/-%1 steps").arg(FromStd(Fixed(threshold_, 1)))
                           : QString());
    QPen pen(QColor(0xb0, 0x00, 0x20));
    pen.setStyle(Qt::DashLine);
    pen.setWidth(2);
    band->setPen(pen);
    // Beyond the axis' room on both sides; the chart clips it there.
    band->append(lowX - (highX - lowX) - 1000, edge);
    band->append(highX + (highX - lowX) + 1000, edge);
    chart->addSeries(band);
    band->attachAxis(timeAxis);
    band->attachAxis(stepsAxis);
  }
  // The lower edge needs no second entry in the legend.
  const auto markers = chart->legend()->markers(chart->series().back());
  for (auto* m : markers) m->setVisible(false);
  SetTimeRange(timeAxis, lowX, highX);
  stepsAxis->setRange(-scales.DriftSteps, scales.DriftSteps);

  DriftTxt->setText(shown ? FromStd(shown->DriftText) : QString());
  QStringList warnings;
  for (const std::string& line : scales.WarningLines) warnings << FromStd(line);
  WarningTxt->setText(warnings.join(QLatin1Char('\n')));
  WarningTxt->setVisible(!warnings_.empty());
}

void TRecordsWindow::SetThreshold(double steps) {
  if (!ValidDriftThreshold(steps) || steps == threshold_) return;
  threshold_ = steps;
  if (ThresholdSpin->value() != steps) ThresholdSpin->setValue(steps);
  if (!options_.DriftSettingsPath.empty()) WriteDriftThreshold(options_.DriftSettingsPath, steps);
  DrawDrift();
}

bool TRecordsWindow::ExportTo(const QString& path, bool json, QString* error) {
  if (exporting_) {
    if (error) *error = QStringLiteral("an export is under way");
    return false;
  }
  exporting_ = true;
  ExportBut->setEnabled(false);
  browser_->Export(path.toStdString(), json);
  // The window goes on answering while the browser's thread writes the file.
  QEventLoop wait;
  while (exporting_) wait.processEvents(QEventLoop::WaitForMoreEvents);
  ExportBut->setEnabled(true);
  if (!exportOk_ && error) *error = FromStd(exportError_);
  return exportOk_;
}

void TRecordsWindow::ExportEnded(bool ok, const std::string& error) {
  exportOk_ = ok;
  exportError_ = error;
  exporting_ = false;
}

void TRecordsWindow::DoExport() {
  QFileDialog dialog(this, QStringLiteral("Export records"));
  dialog.setObjectName(QStringLiteral("ExportDlg"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  const QStringList filters = {QStringLiteral("CSV (*.csv)"), QStringLiteral("JSON lines (*.json)")};
  dialog.setNameFilters(filters);
  dialog.setDefaultSuffix(QStringLiteral("csv"));
  connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog, filters](const QString& f) {
    dialog.setDefaultSuffix(f == filters[1] ? QStringLiteral("json") : QStringLiteral("csv"));
  });
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  const QString path = dialog.selectedFiles().first();
  const bool json = dialog.selectedNameFilter() == filters[1] ||
                    path.endsWith(QStringLiteral(".json"), Qt::CaseInsensitive);
  QString error;
  if (!ExportTo(path, json, &error))
    QMessageBox::warning(this, QStringLiteral("Export records"), error);
}

void TRecordsWindow::ShowRecord(int row) {
  if (const TTuningRecord* listed = model_->RecordAt(row)) browser_->ShowRecord(listed->Id);
}

void TRecordsWindow::RecordTextArrived(int64_t id, const std::string& text) {
  auto* dialog = new QDialog(this);
  dialog->setObjectName(QStringLiteral("RecordDlg"));
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setWindowTitle(QStringLiteral("Record %1").arg(id));
  auto* layout = new QVBoxLayout(dialog);
  auto* view = new QPlainTextEdit(dialog);
  view->setObjectName(QStringLiteral("RecordText"));
  view->setReadOnly(true);
  view->setLineWrapMode(QPlainTextEdit::NoWrap);
  view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  view->setPlainText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
  layout->addWidget(view);
  dialog->resize(720, 560);
  dialog->show();
}
