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
#include <fstream>
#include <sstream>

#include "records/Reports.h"
#include "ui/RecordsModel.h"

namespace {

// A chart shows at most this many points a series; more devices are thinned evenly (every
// n-th), which keeps the shape and the time range and keeps redrawing quick.
constexpr size_t kMostPoints = 1500;

const char* const kOutcomes[] = {"any", kRecordCompleted, kRecordFailed, kRecordAborted};

QString FromStd(const std::string& s) { return QString::fromStdString(s); }

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

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

// Every n-th of the points so that at most kMostPoints remain, the last always kept.
QList<QPointF> Thinned(const std::vector<QPointF>& points) {
  QList<QPointF> shown;
  const size_t step = (points.size() + kMostPoints - 1) / kMostPoints;
  if (points.empty()) return shown;
  shown.reserve(static_cast<qsizetype>(points.size() / std::max<size_t>(step, 1) + 1));
  for (size_t i = (points.size() - 1) % std::max<size_t>(step, 1); i < points.size();
       i += std::max<size_t>(step, 1))
    shown.append(points[i]);
  return shown;
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

QString Number(double value, int decimals) { return FromStd(Fixed(value, decimals)); }

}  // namespace

std::optional<int64_t> RecordTimeMs(const std::string& t) {
  // YYYY-MM-DDTHH:MM:SS.mmmZ, or a leading part of it.
  auto digits = [&](size_t at, size_t n, int& value) {
    if (at + n > t.size()) return false;
    value = 0;
    for (size_t i = at; i < at + n; ++i) {
      if (t[i] < '0' || t[i] > '9') return false;
      value = value * 10 + (t[i] - '0');
    }
    return true;
  };
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
  if (!digits(0, 4, y) || t.size() < 10 || t[4] != '-' || !digits(5, 2, mo) || t[7] != '-' ||
      !digits(8, 2, d) || mo < 1 || mo > 12 || d < 1 || d > 31)
    return std::nullopt;
  if (t.size() >= 16 && digits(11, 2, h) && digits(14, 2, mi)) {
    if (t.size() >= 19) digits(17, 2, s);
    if (t.size() >= 23 && t[19] == '.') digits(20, 3, ms);
  }
  const int64_t days = DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
  return ((days * 24 + h) * 60 + mi) * 60000 + s * 1000 + ms;
}

TRecordsWindow::TRecordsWindow(TRecordsWindowOptions options, QWidget* parent)
    : QWidget(parent, Qt::Window), options_(std::move(options)) {
  setObjectName(QStringLiteral("RecordsWindow"));
  setWindowTitle(QStringLiteral("Records"));
  threshold_ = options_.DriftSettingsPath.empty() ? kDefaultDriftThreshold
                                                  : ReadDriftThreshold(options_.DriftSettingsPath);
  model_ = new TRecordsModel(this);
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
  Reload();
}

TRecordsWindow::~TRecordsWindow() = default;

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

bool TRecordsWindow::OpenStore() {
  if (store_) return true;
  try {
    store_ = OpenRecordStore(options_.Location, TStoreOpen::kExisting);
  } catch (const std::exception& e) {
    CountTxt->setText(QStringLiteral("No records yet (") + FromStd(e.what()) +
                      QStringLiteral(")"));
    return false;
  }
  model_->SetStore(store_.get());
  return true;
}

void TRecordsWindow::Refresh() {
  // A closed window does not read the store during a run; it is read again once shown.
  if (isHidden()) {
    stale_ = true;
    return;
  }
  if (!refreshTimer_->isActive()) refreshTimer_->start();
}

void TRecordsWindow::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  if (stale_) {
    stale_ = false;
    Refresh();
  }
}

void TRecordsWindow::Reload() {
  refreshTimer_->stop();
  stale_ = false;
  if (!OpenStore()) {
    model_->SetStore(nullptr);
    drift_.clear();
    RedrawCharts();
    return;
  }
  model_->SetFilter(filter_);
  CountTxt->setText(QString::number(model_->rowCount()) + QStringLiteral(" records"));
  RedrawCharts();
}

void TRecordsWindow::ApplyFilter() {
  filterTimer_->stop();
  TRecordFilter f;
  f.From = FromEdit->text().trimmed().toStdString();
  f.To = ToEdit->text().trimmed().toStdString();
  if (OutcomeCombo->currentIndex() > 0) f.Outcome = kOutcomes[OutcomeCombo->currentIndex()];
  f.Mac = MacEdit->text().trimmed().toStdString();
  f.Station = StationEdit->text().trimmed().toStdString();
  filter_ = f;
  Reload();
}

void TRecordsWindow::RedrawCharts() {
  QChart* histogram = HistogramView->chart();
  QChart* trend = TrendView->chart();
  ClearChart(histogram);
  ClearChart(trend);
  TStatsAccumulator accumulator;
  std::vector<QPointF> completed, failed;
  std::vector<double> failedUnmeasured;  // times of failures that ended before a measurement
  TDriftRule rule;
  if (store_) {
    try {
      // One pass over the chart columns: the drift follows the time range and the station
      // only (its own rule chooses the records), the statistics and the trend every filter.
      TRecordFilter base = filter_;
      base.Outcome.clear();
      base.Mac.clear();
      const std::string mac = NormaliseMac(filter_.Mac);
      store_->Points(base, [&](const TRecordPoint& p) {
        rule.Add(p);
        if (!filter_.Outcome.empty() && p.Outcome != filter_.Outcome) return;
        if (!filter_.Mac.empty() && p.Mac != (mac.empty() ? filter_.Mac : mac)) return;
        accumulator.Add(p);
        const auto at = RecordTimeMs(p.StartedAt);
        if (!at) return;
        if (p.Outcome == kRecordCompleted && p.OffsetSteps)
          completed.emplace_back(static_cast<double>(*at), StepsToPpm(*p.OffsetSteps));
        else if (p.Outcome == kRecordFailed && p.OffsetSteps)
          failed.emplace_back(static_cast<double>(*at), StepsToPpm(*p.OffsetSteps));
        else if (p.Outcome == kRecordFailed)
          failedUnmeasured.push_back(static_cast<double>(*at));
      });
    } catch (const std::exception& e) {
      CountTxt->setText(QStringLiteral("Records not readable: ") + FromStd(e.what()));
    }
  }
  drift_ = rule.Series();
  const TRecordStats stats = accumulator.Result();

  // Histogram of the measured offset.
  const std::vector<THistogramBin> bins = OffsetHistogram(stats);
  auto* set = new QBarSet(QStringLiteral("devices"));
  QStringList categories;
  double most = 1;
  for (const THistogramBin& b : bins) {
    *set << static_cast<double>(b.Count);
    most = std::max(most, static_cast<double>(b.Count));
    QString label = Number(StepsToPpm(b.LowSteps), 1);
    if (b.HighSteps > b.LowSteps) label += QStringLiteral("..") + Number(StepsToPpm(b.HighSteps), 1);
    categories << label;
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
  // Whole devices on the count axis: a tick every 1, 2, 5, 10, 20, … devices, at most eight of
  // them, and the top a whole number of ticks above the highest bar.
  double tick = 1;
  for (int k = 0; most / tick > 8; ++k) tick *= (k % 3 == 1) ? 2.5 : 2;
  countAxis->setTickType(QValueAxis::TicksDynamic);
  countAxis->setTickAnchor(0);
  countAxis->setTickInterval(tick);
  countAxis->setRange(0, std::ceil(most * 1.05 / tick) * tick);
  countAxis->setLabelFormat(QStringLiteral("%.0f"));
  bars->attachAxis(countAxis);

  QString text = QStringLiteral("Count: %1\nCompleted: %2\nFailed: %3\nAborted: %4\nYield: %5 %\n")
                     .arg(stats.Count)
                     .arg(stats.Completed)
                     .arg(stats.Failed)
                     .arg(stats.Aborted)
                     .arg(Number(100.0 * stats.Yield(), 1));
  if (stats.Measured > 0)
    text += QStringLiteral("\nMeasured: %1\nMean: %2 ppm\nStd. deviation: %3 ppm\nMin: %4 ppm\nMax: %5 ppm")
                .arg(stats.Measured)
                .arg(Number(stats.MeanPpm, 2), Number(stats.StdDevPpm, 2), Number(stats.MinPpm, 2),
                     Number(stats.MaxPpm, 2));
  else
    text += QStringLiteral("\nNo measured offset");
  StatsTxt->setText(text);

  // The offset over time, failures marked. A failure without a measured offset has no place on
  // the offset scale: it is marked along the chart's lower edge, at its time, in a series of its
  // own, so that it neither reads as a device at 0 ppm nor widens the scale.
  const size_t devices = completed.size() + failed.size() + failedUnmeasured.size();
  // Points without lines: a line series with its points shown draws them all in one item,
  // where a scatter series makes an item of each.
  auto points = [](const char* name, const QColor& color, qreal size, const std::vector<QPointF>& at) {
    auto* series = new QLineSeries;
    series->setName(QString::fromLatin1(name));
    series->setPen(Qt::NoPen);
    series->setColor(color);
    series->setPointsVisible(true);
    series->setMarkerSize(size);
    series->replace(Thinned(at));
    return series;
  };
  QLineSeries* done = points("completed", QColor(0x20, 0x60, 0xb0), 5, completed);
  QLineSeries* bad = points("failed", QColor(0xb0, 0x00, 0x20), 8, failed);
  trend->addSeries(done);
  trend->addSeries(bad);
  QLineSeries* unmeasured = nullptr;
  QDateTimeAxis* timeAxis = TimeAxis(trend);
  QValueAxis* offsetAxis = ValueAxis(trend, QStringLiteral("offset (ppm)"));
  double lowX = 0, highX = 1, lowY = -1, highY = 1;
  bool anyX = false, anyY = false;
  auto seeX = [&](double x) {
    if (!anyX) lowX = highX = x;
    anyX = true;
    lowX = std::min(lowX, x), highX = std::max(highX, x);
  };
  for (const auto* points : {&completed, &failed})
    for (const QPointF& p : *points) {
      seeX(p.x());
      if (!anyY) lowY = highY = p.y();
      anyY = true;
      lowY = std::min(lowY, p.y()), highY = std::max(highY, p.y());
    }
  for (double x : failedUnmeasured) seeX(x);
  SetTimeRange(timeAxis, lowX, highX);
  offsetAxis->setRange(std::floor(lowY) - 0.5, std::ceil(highY) + 0.5);
  offsetAxis->applyNiceNumbers();
  if (!failedUnmeasured.empty()) {
    std::vector<QPointF> edge;
    edge.reserve(failedUnmeasured.size());
    for (double x : failedUnmeasured) edge.emplace_back(x, offsetAxis->min());
    unmeasured = points("failed, no offset", QColor(0xe0, 0x70, 0x00), 8, edge);
    trend->addSeries(unmeasured);
  }
  for (QAbstractSeries* s : {static_cast<QAbstractSeries*>(done), static_cast<QAbstractSeries*>(bad),
                             static_cast<QAbstractSeries*>(unmeasured)}) {
    if (!s) continue;
    s->attachAxis(timeAxis);
    s->attachAxis(offsetAxis);
  }
  trend->setTitle(devices > kMostPoints
                      ? QStringLiteral("Measured offset over time (%1 devices, one in %2 shown)")
                            .arg(devices)
                            .arg((devices + kMostPoints - 1) / kMostPoints)
                      : QStringLiteral("Measured offset over time (%1 devices)").arg(devices));
  DrawDrift();
}

void TRecordsWindow::DrawDrift() {
  QChart* chart = DriftView->chart();
  ClearChart(chart);
  warnings_ = DriftWarnings(drift_, threshold_);
  QDateTimeAxis* timeAxis = TimeAxis(chart);
  QValueAxis* stepsAxis = ValueAxis(chart, QStringLiteral("rolling median (steps)"));
  double lowX = 0, highX = 0, extreme = threshold_ + 1;
  bool any = false;
  QStringList lines;
  for (const TDriftSeries& s : drift_) {
    std::vector<QPointF> points;
    points.reserve(s.Points.size());
    for (const TDriftPoint& p : s.Points)
      if (const auto at = RecordTimeMs(p.At)) {
        points.emplace_back(static_cast<double>(*at), p.MedianSteps);
        extreme = std::max(extreme, std::fabs(p.MedianSteps) + 1);
      }
    if (!points.empty()) {
      if (!any) lowX = points.front().x(), highX = points.back().x();
      any = true;
      lowX = std::min(lowX, points.front().x());
      highX = std::max(highX, points.back().x());
      auto* line = new QLineSeries;
      line->setName(QStringLiteral("#") + FromStd(s.Server));
      line->replace(Thinned(points));
      chart->addSeries(line);
      line->attachAxis(timeAxis);
      line->attachAxis(stepsAxis);
    }
    const auto latest = s.Latest();
    lines << (latest ? QStringLiteral("#%1: %2 handhelds, latest median %3 steps = %4 ppm")
                           .arg(FromStd(s.Server))
                           .arg(s.Devices)
                           .arg(Number(*latest, 1), Number(StepsToPpm(*latest), 2))
                     : QStringLiteral("#%1: %2 handhelds, fewer than %3: no median yet")
                           .arg(FromStd(s.Server))
                           .arg(s.Devices)
                           .arg(kDriftWindow));
  }
  if (!any) {
    lowX = static_cast<double>(QDateTime::currentMSecsSinceEpoch()) - 86400000.0;
    highX = lowX + 86400000.0;
  }
  // The band: +/- the threshold over the whole time range.
  for (double edge : {threshold_, -threshold_}) {
    auto* band = new QLineSeries;
    band->setName(edge > 0 ? QStringLiteral("band +/-%1 steps").arg(Number(threshold_, 1))
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
  stepsAxis->setRange(-std::ceil(extreme), std::ceil(extreme));

  if (drift_.empty()) lines << QStringLiteral("No handheld tuned against a golden server.");
  DriftTxt->setText(QStringLiteral("Rolling median of %1 handhelds of (new - factory "
                                   "compensation) per golden server.\n")
                        .arg(kDriftWindow) +
                    lines.join(QLatin1Char('\n')));
  QStringList warnings;
  for (const TDriftWarning& w : warnings_) warnings << FromStd(DriftWarningLine(w, threshold_));
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
  auto fail = [error](const QString& why) {
    if (error) *error = why;
    return false;
  };
  if (!OpenStore()) return fail(QStringLiteral("no records to export"));
  std::ofstream out(path.toStdString(), std::ios::binary | std::ios::trunc);
  if (!out) return fail(QStringLiteral("cannot write ") + path);
  try {
    if (!json) out << CsvHeader();
    store_->Export(filter_, [&](const TTuningRecord& r) { out << (json ? JsonLine(r) : CsvLine(r)); });
  } catch (const std::exception& e) {
    return fail(FromStd(e.what()));
  }
  out.flush();
  if (!out) return fail(QStringLiteral("cannot write ") + path);
  return true;
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
  const TTuningRecord* listed = model_->RecordAt(row);
  if (!listed || !store_) return;
  std::optional<TTuningRecord> whole;
  try {
    whole = store_->Get(listed->Id);
  } catch (const std::exception&) {
  }
  if (!whole) return;
  std::ostringstream text;
  WriteRecordText(text, *whole);
  auto* dialog = new QDialog(this);
  dialog->setObjectName(QStringLiteral("RecordDlg"));
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setWindowTitle(QStringLiteral("Record %1").arg(whole->Id));
  auto* layout = new QVBoxLayout(dialog);
  auto* view = new QPlainTextEdit(dialog);
  view->setObjectName(QStringLiteral("RecordText"));
  view->setReadOnly(true);
  view->setLineWrapMode(QPlainTextEdit::NoWrap);
  view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  view->setPlainText(QString::fromUtf8(text.str().data(), static_cast<qsizetype>(text.str().size())));
  layout->addWidget(view);
  dialog->resize(720, 560);
  dialog->show();
}
