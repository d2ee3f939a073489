#include "ui/MainWindow.h"

#include <QApplication>
#include <QBrush>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QStringDecoder>
#include <algorithm>
#include <chrono>
#include <exception>

#include "firmware/Packages.h"
#include "front/FrontEndSetup.h"
#include "front/MainLayout.h"
#include "front/MainPresenter.h"
#include "records/Drift.h"
#include "records/RecordSink.h"
#include "records/RecordStore.h"
#include "records/StoreSink.h"
#include "run/Paths.h"
#include "run/Clock.h"
#include "run/Combo.h"
#include "tuning/SerThread.h"
#include "ui/RecordsWindow.h"
#include "front/Settings.h"

namespace {

const char kCaption[] = "TallyPilot Pro automatic fine-tuning tool";
const char kAutoDetect[] = "Auto detect";
const char kRecords[] = "&Records...";
const char kRestore[] = "Restore firmware after test";

const char kTPFilter[] =
    "TPF packages (*.TPF)|*.TPF|Binary files (*.BIN)|*.BIN|Any file (*.*)|*.*";
const char kSrvFilter[] = "SFF packages (*.SFF)|*.SFF|HEX files (*.HEX)|*.HEX|Any file (*.*)|*.*";

QString FromStd(const std::string& s) { return QString::fromStdString(s); }
std::string ToStd(const QString& s) { return s.toStdString(); }

// Texts from the run may hold any byte (device replies); they are shown as UTF-8 when they are
// valid UTF-8 (file names are), else byte for byte. A carriage return, alone or before a line
// feed, is a line break.
QString DisplayText(const ByteText& text) {
  QStringDecoder utf8(QStringDecoder::Utf8);
  QString s = utf8(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
  if (utf8.hasError()) s = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
  s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return s;
}

int HintWidth(QWidget* w) { return w->sizeHint().width(); }

}  // namespace

QStringList DialogNameFilters(const QString& filter) {
  const QStringList parts = filter.split(QLatin1Char('|'));
  QStringList result;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString description = parts[i];
    const qsizetype paren = description.lastIndexOf(QLatin1String(" ("));
    if (paren >= 0) description.truncate(paren);
    QStringList patterns;
    for (const QString& p : parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
      if (p == QLatin1String("*.*") || p == QLatin1String("*")) {
        patterns << QStringLiteral("*");
        continue;
      }
      for (const QString& variant : {p, p.toUpper(), p.toLower()})
        if (!patterns.contains(variant)) patterns << variant;
    }
    result << description + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) +
                  QLatin1Char(')');
  }
  return result;
}

// ---- The presenter's view ----

class TMain::TWindowView final : public TMainView {
 public:
  explicit TWindowView(TMain& window) : w_(window) {}

  void Render(const TMainState& state) override { w_.Render(state); }
  void AppendLog(const ByteText& line) override {
    w_.LogMemo->appendPlainText(DisplayText(line));
    w_.ScrollLogToEnd();
  }
  void RunStarting() override {
    w_.LogMemo->clear();
    w_.LogGoldenDrift();
    // The run reads the boxes' choices from the run's copies; from here on they do not change
    // on the window's side until the run has ended.
    for (QComboBox* c : {w_.COM1Combo, w_.COM2Combo, w_.File1Combo, w_.File2Combo, w_.File3Combo})
      w_.PullCombo(c);
  }
  void FilesChanged() override { w_.PushFileCombos(); }
  void CloseWindow() override { w_.close(); }
  // A queued call; a window destroyed meanwhile drops it with itself.
  void Wake() override {
    QMetaObject::invokeMethod(&w_, [this] { w_.presenter_->ServeWorker(); }, Qt::QueuedConnection);
  }
  // Events are processed here directly rather than through QEventLoop::exec, which refuses to
  // start while the application is quitting and would leave the worker blocked in a call.
  void PumpUntil(const std::function<bool()>& done) override {
    QEventLoop loop;
    while (!done()) loop.processEvents(QEventLoop::WaitForMoreEvents);
  }

 private:
  TMain& w_;
};

// ---- Creation ----

TMain::TMain(TMainOptions options, QWidget* parent)
    : QWidget(parent), options_(std::move(options)) {
  // The running program's file is found as the console finds it, so a window started through
  // the dynamic loader does not take the loader's name.
  programPath_ = options_.ProgramPath.isEmpty()
                     ? ProgramFileName(QCoreApplication::arguments().value(0).toLocal8Bit().constData())
                     : ToStd(options_.ProgramPath);
  setObjectName(QStringLiteral("Main"));


  SetUpPortObject(serIF1_, 0);
  SetUpPortObject(serIF2_, 1);
  fields_.SerIF1 = &serIF1_;
  fields_.SerIF2 = &serIF2_;

  setWindowTitle(QString::fromLatin1(kCaption));
  QFont f = font();
  f.setPointSize(8);
  setFont(f);
  CreateControls();
  view_ = std::make_unique<TWindowView>(*this);
  presenter_ = std::make_unique<TMainPresenter>(
      *view_, fields_, options_.RunClock ? *options_.RunClock : RealClock(), options_.Records);
  if (!options_.Records || options_.Records->Location().empty()) {
    RecordsBut->setEnabled(false);
    RecordsBut->setToolTip(QStringLiteral("No production records are kept"));
  } else {
    // A record written on the sink's thread refreshes an open Records window on this one.
    options_.Records->SetWrittenHandler([this] {
      QMetaObject::invokeMethod(
          this,
          [this] {
            if (recordsWindow_) recordsWindow_->Refresh();
            CheckGoldenDrift();
          },
          Qt::QueuedConnection);
    });
  }
  move(kMainDesignX, kMainDesignY);
  resize(kMainClientSize.W, kMainClientSize.H);
  DoCreat();
}

TMain::~TMain() {
  // A window destroyed without being closed still must not leave a worker behind that calls
  // into it, nor a record sink that tells it of records.
  if (options_.Records) options_.Records->SetWrittenHandler(nullptr);
  presenter_->Stop();
}

void TMain::DoCreat() { firstActivate_ = true; }

// Every control where the layout table puts it for the texts' widths in this font; resizing
// moves them by their anchors.
void TMain::PlaceControls() {
  auto named = [this](std::string_view name) {
    return findChild<QWidget*>(QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size())));
  };
  const std::vector<TPlace> layout = MainLayout([&](std::string_view name) {
    QWidget* w = named(name);
    return w ? HintWidth(w) : 0;
  });
  for (const TPlace& p : layout) {
    QWidget* w = named(p.Name);
    const TSize parent = p.Parent.empty() ? kMainClientSize : kMainGroupSize;
    anchored_.push_back({w, p.Rect, p.Anchors, parent});
    w->setGeometry(p.Rect.X, p.Rect.Y, p.Rect.W, p.Rect.H);
  }
}

void TMain::CreateControls() {
  auto label = [](QWidget* parent, const char* name, const char* text, Qt::Alignment align) {
    auto* l = new QLabel(QString::fromLatin1(text), parent);
    l->setObjectName(QString::fromLatin1(name));
    l->setAlignment(align);
    return l;
  };
  auto button = [](QWidget* parent, const char* name, const char* text) {
    auto* b = new QPushButton(QString::fromLatin1(text), parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setAutoDefault(false);
    return b;
  };
  auto check = [](QWidget* parent, const char* name, const char* text) {
    auto* c = new QCheckBox(QString::fromLatin1(text), parent);
    c->setObjectName(QString::fromLatin1(name));
    return c;
  };
  auto combo = [](QWidget* parent, const char* name, bool editable) {
    auto* c = new QComboBox(parent);
    c->setObjectName(QString::fromLatin1(name));
    c->setEditable(editable);
    // Entries stay in insertion order; typed names enter the history only through a run.
    c->setInsertPolicy(QComboBox::NoInsert);
    c->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    c->setMinimumContentsLength(4);
    return c;
  };
  const Qt::Alignment right = Qt::AlignRight | Qt::AlignVCenter;

  // Status and prompt text, in a fixed-pitch font small enough (8 point at most) for the
  // prompts' longest line, 57 characters, to fit the design width; longer lines wrap.
  StatTxt = label(this, "StatTxt", "", Qt::AlignLeft | Qt::AlignTop);
  QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  for (int points = 8; points >= 6; --points) {
    mono.setPointSize(points);
    if (QFontMetrics(mono).horizontalAdvance(QString(57, QLatin1Char('M'))) <= 337) break;
  }
  StatTxt->setFont(mono);
  StatTxt->setTextFormat(Qt::PlainText);
  StatTxt->setWordWrap(true);
  StatTxt->hide();

  GoldTxt = label(this, "GoldTxt", "&Golden reference", right);
  TPradio = new QRadioButton(QStringLiteral("&TallyPilot"), this);
  TPradio->setObjectName(QStringLiteral("TPradio"));
  SRVradio = new QRadioButton(QStringLiteral("&Server"), this);
  SRVradio->setObjectName(QStringLiteral("SRVradio"));
  GoldTxt->setBuddy(TPradio);

  // The analysis-only box has its box on the right of its text.
  AnaChk = check(this, "AnaChk", "&Analysis only, do not change compensation setting");
  AnaChk->setLayoutDirection(Qt::RightToLeft);

  TPGroup = new QGroupBox(QStringLiteral("TallyPilot "), this);
  TPGroup->setObjectName(QStringLiteral("TPGroup"));
  SrvGroup = new QGroupBox(QStringLiteral("Server "), this);
  SrvGroup->setObjectName(QStringLiteral("SrvGroup"));

  StartBut = button(this, "StartBut", kCaptionStartFirst);
  RecordsBut = button(this, "RecordsBut", kRecords);
  ExitBut = button(this, "ExitBut", kCaptionExit);

  LogMemo = new QPlainTextEdit(this);
  LogMemo->setObjectName(QStringLiteral("LogMemo"));
  LogMemo->setReadOnly(true);
  LogMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  LogMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  LogMemo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  LogMemo->hide();

  PrcBar = new QProgressBar(this);
  PrcBar->setObjectName(QStringLiteral("PrcBar"));
  PrcBar->setRange(0, 100);
  PrcBar->setTextVisible(false);
  PrcBar->hide();

  // The two groups: labels in a right-aligned column, then the boxes.
  COM1Txt = label(TPGroup, "COM1Txt", "COM port", right);
  // The port boxes take a typed network port name besides the listed ports.
  COM1Combo = combo(TPGroup, "COM1Combo", true);
  Upd1But = button(TPGroup, "Upd1But", "upd");
  TPchk = check(TPGroup, "TPchk", kRestore);
  File1Txt = label(TPGroup, "File1Txt", "RF modem firmware", right);
  File1Combo = combo(TPGroup, "File1Combo", true);
  Browse1But = button(TPGroup, "Browse1But", "...");
  File2Txt = label(TPGroup, "File2Txt", "EEPROM firmware", right);
  File2Combo = combo(TPGroup, "File2Combo", true);
  Browse2But = button(TPGroup, "Browse2But", "...");
  COM2Txt = label(SrvGroup, "COM2Txt", "COM port", right);
  COM2Combo = combo(SrvGroup, "COM2Combo", true);
  Upd2But = button(SrvGroup, "Upd2But", "upd");
  SrvChk = check(SrvGroup, "SrvChk", kRestore);
  File3Txt = label(SrvGroup, "File3Txt", "Server firmware", right);
  File3Combo = combo(SrvGroup, "File3Combo", true);
  Browse3But = button(SrvGroup, "Browse3But", "...");
  PlaceControls();

  // Tab order: the choices from top to bottom, inside each group as at design, then the
  // buttons and the log.
  const std::vector<QWidget*> order = {
      TPradio,    SRVradio,   AnaChk,     COM1Combo, TPchk,     File1Combo,
      File2Combo, Browse1But, Browse2But, Upd1But,   COM2Combo, SrvChk,
      File3Combo, Browse3But, Upd2But,    StartBut,  RecordsBut, ExitBut,   LogMemo};
  for (size_t i = 0; i + 1 < order.size(); ++i) setTabOrder(order[i], order[i + 1]);

  connect(TPradio, &QRadioButton::toggled, this, [this](bool on) {
    if (on) DoGoldRadio();
  });
  connect(SRVradio, &QRadioButton::toggled, this, [this](bool on) {
    if (on) DoGoldRadio();
  });
  connect(AnaChk, &QCheckBox::toggled, this, [this] { UpdAnaChk(); });
  connect(TPchk, &QCheckBox::toggled, this, [this] { UpdTPchk(); });
  connect(SrvChk, &QCheckBox::toggled, this, [this] { UpdSrvChk(); });
  connect(StartBut, &QPushButton::clicked, this, [this] { DoStart(); });
  connect(ExitBut, &QPushButton::clicked, this, [this] { DoExit(); });
  connect(RecordsBut, &QPushButton::clicked, this, [this] { DoRecords(); });
  connect(Upd1But, &QPushButton::clicked, this, [this] { DoUpdCOMs(); });
  connect(Upd2But, &QPushButton::clicked, this, [this] { DoUpdCOMs(); });
  connect(Browse1But, &QPushButton::clicked, this, [this] { DoBrowse1(); });
  connect(Browse2But, &QPushButton::clicked, this, [this] { DoBrowse2(); });
  connect(Browse3But, &QPushButton::clicked, this, [this] { DoBrowse3(); });
}

void TMain::ApplyAnchors() {
  for (const TAnchored& a : anchored_) {
    const QSize parent = a.widget->parentWidget()->size();
    const TRect r = Anchored(a.design, a.anchors, a.designParent, {parent.width(), parent.height()});
    a.widget->setGeometry(r.X, r.Y, r.W, r.H);
  }
}

void TMain::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  // The window's own children come first in the list, so the groups have their new size before
  // their children are placed in them.
  ApplyAnchors();
}

// The smallest outer size, turned into a client size by the frame the platform reports; a
// platform that shows no frame gets it as the client size.
void TMain::UpdateMinimumSize() {
  const QSize frame = frameGeometry().size() - geometry().size();
  setMinimumSize(kMainMinOuterSize.W - frame.width(), kMainMinOuterSize.H - frame.height());
}

bool TMain::event(QEvent* e) {
  if (e->type() == QEvent::WindowActivate) DoActiv();
  return QWidget::event(e);
}

void TMain::closeEvent(QCloseEvent* e) {
  DoClos();
  // Nothing cancels the close.
  e->accept();
}

// Enter works the focused button, else the window's default button, Start.
void TMain::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
    auto* focused = qobject_cast<QPushButton*>(focusWidget());
    QPushButton* target = focused && focused->isVisible() ? focused : StartBut;
    if (!target->isHidden() && target->isEnabled()) {
      target->click();
      return;
    }
  }
  QWidget::keyPressEvent(e);
}

// ---- First activation and closing ----

void TMain::DoActiv() {
  if (!firstActivate_) return;

  fields_.EmbPkg.reset();
  DoUpdCOMs();
  fields_.GoldTP = fields_.RestoreSrv = fields_.RestoreTP = fields_.AnalysisOnly = false;

  // Beside the program, or for an installed program its data folder and the user's own; the
  // program's bundle. The console and the records program work these out alike.
  TFrontEndSetup own;
  const TFrontEndSetup* setup = options_.Setup;
  if (!setup) {
    own = FrontEndSetup({programPath_, false, "none"});
    setup = &own;
  }
  const TEmbeddedBundle& bundle = setup->Bundle;
  if (bundle.Status == TEmbeddedBundle::TStatus::kPresent) fields_.EmbPkg = bundle.Bytes;
  // A program file whose header cannot be read ends the program; the first activation is not
  // finished then, so no settings file is written.
  if (bundle.Status == TEmbeddedBundle::TStatus::kHeaderUnreadable) close();
  fields_.ProgDir = setup->Files.ProgDir;
  fields_.IniName = setup->Files.IniName;

  UpdateMinimumSize();
  ReadSettings();
  SetGold(fields_.GoldTP);
  for (QComboBox* c : {File1Combo, File2Combo, File3Combo}) {
    TComboModel& m = ModelOf(c);
    if (!m.Items.empty()) {
      m.Select(0);
      PushCombo(c);
    }
  }
  // On the emulated bench, file boxes without a history start with its demo packages.
  if (!fields_.EmbPkg && FillDemoPackages(*setup, fields_)) PushFileCombos();
  if (fields_.EmbPkg && setup->Choices) ApplyBundle(*setup->Choices);

  StartBut->setFocus();
  firstActivate_ = false;
  CheckGoldenDrift();
}

void TMain::ApplyBundle(const TBundleChoices& choices) {
  if (choices.analysisLocked) {
    AnaChk->setChecked(choices.analysis);
    AnaChk->setEnabled(false);
  }
  if (choices.goldLocked) {
    (choices.gold ? TPradio : SRVradio)->setChecked(true);
    TPradio->setEnabled(false);
    SRVradio->setEnabled(false);
  }
  ApplyBundleChoices(choices, fields_);
  ShowChoiceControls();
  if (choices.title) setWindowTitle(DisplayText(*choices.title));
}

void TMain::DoClos() {
  if (firstActivate_) return;
  // The worker writes the last-found ports while it runs freely; only while it waits for the
  // operator (or has ended) may the window read them. Otherwise it is stopped first.
  presenter_->Close([this] { WriteSettings(); });
  fields_.EmbPkg.reset();
}

// ---- Settings file ----

void TMain::ReadSettings() {
  TSettingsLines lines;
  if (!ReadSettingsFile(fields_.IniName, lines)) return;
  const TSettings s = ParseSettings(lines);

  const QRect outer = frameGeometry();
  const QSize frame = outer.size() - geometry().size();
  move(s.Left.value_or(outer.x()), s.Top.value_or(outer.y()));
  // An outer size becomes a client size; the window stays within the minimum and, like a
  // window the operator drags, no larger than the screens can show.
  const QSize largest = screen() ? screen()->availableVirtualSize() : QSize(QWIDGETSIZE_MAX,
                                                                          QWIDGETSIZE_MAX);
  auto client = [](std::optional<int32_t> outerSize, int frameSize, int current, int largest) {
    if (!outerSize) return current;
    const int64_t size = static_cast<int64_t>(*outerSize) - frameSize;
    return static_cast<int>(std::clamp<int64_t>(size, 0, std::max(largest - frameSize, 0)));
  };
  resize(client(s.Width, frame.width(), width(), largest.width()),
         client(s.Height, frame.height(), height(), largest.height()));

  fields_.GoldTP = s.GoldTP;
  SrvChk->setChecked(s.RestoreSrv);
  TPchk->setChecked(s.RestoreTP);
  fields_.AnalysisOnly = s.AnalysisOnly;
  AnaChk->setChecked(s.AnalysisOnly);

  fields_.LastPort1 = s.LastPort1;
  SelectComboItem(COM1Combo, FromStd(s.COM1Choice));
  fields_.LastPort2 = s.LastPort2;
  SelectComboItem(COM2Combo, FromStd(s.COM2Choice));

  LineToCombo(fields_.File1Combo, s.History1);
  LineToCombo(fields_.File2Combo, s.History2);
  LineToCombo(fields_.File3Combo, s.History3);
  PushFileCombos();
}

void TMain::WriteSettings() {
  TSettings s;
  const QRect outer = frameGeometry();
  s.Left = outer.x();
  s.Top = outer.y();
  s.Width = outer.width();
  s.Height = outer.height();
  s.GoldTP = fields_.GoldTP;
  s.RestoreSrv = fields_.RestoreSrv;
  s.RestoreTP = fields_.RestoreTP;
  s.AnalysisOnly = fields_.AnalysisOnly;
  // Taken from the boxes themselves: the run's copies are the worker's while it runs.
  s.COM1Choice = ToStd(COM1Combo->currentText());
  s.LastPort1 = fields_.LastPort1;
  s.COM2Choice = ToStd(COM2Combo->currentText());
  s.LastPort2 = fields_.LastPort2;
  auto history = [](QComboBox* c) {
    TComboModel m;
    for (int i = 0; i < c->count(); ++i) m.Add(ToStd(c->itemText(i)));
    return ComboToLine(m);
  };
  s.History1 = history(File1Combo);
  s.History2 = history(File2Combo);
  s.History3 = history(File3Combo);
  WriteSettingsFile(fields_.IniName, FormatSettings(s));
}

// ---- Combo boxes and their models ----

TComboModel& TMain::ModelOf(QComboBox* combo) {
  if (combo == COM1Combo) return fields_.COM1Combo;
  if (combo == COM2Combo) return fields_.COM2Combo;
  if (combo == File1Combo) return fields_.File1Combo;
  if (combo == File2Combo) return fields_.File2Combo;
  return fields_.File3Combo;
}

void TMain::PullCombo(QComboBox* combo) {
  TComboModel& m = ModelOf(combo);
  m.Items.clear();
  for (int i = 0; i < combo->count(); ++i) m.Items.push_back(ToStd(combo->itemText(i)));
  m.ItemIndex = combo->currentIndex();
  m.Text = ToStd(combo->currentText());
  // A port box's text is a choice: a listed port, or a typed network port that then joins
  // the list; other typed text means "Auto detect".
  if ((combo == COM1Combo || combo == COM2Combo) &&
      (m.ItemIndex < 0 || !SameTextIgnoringCase(m.Items[static_cast<size_t>(m.ItemIndex)], m.Text))) {
    const std::string typed = m.Text;
    ::SelectPortItem(m, typed);
    PushCombo(combo);
  }
}

void TMain::PushCombo(QComboBox* combo) {
  const TComboModel& m = ModelOf(combo);
  const QSignalBlocker block(combo);
  combo->clear();
  for (const std::string& item : m.Items) combo->addItem(FromStd(item));
  if (combo == COM1Combo || combo == COM2Combo) {
    // A port the user may not open keeps its name (the run opens what the entry says), greyed,
    // with the reason as its tool tip.
    for (int i = 0; i < combo->count(); ++i) {
      const auto mark = portMarks_.find(m.Items[static_cast<size_t>(i)]);
      if (mark == portMarks_.end()) continue;
      combo->setItemData(i, mark->second, Qt::ToolTipRole);
      combo->setItemData(i, QBrush(Qt::gray), Qt::ForegroundRole);
    }
  }
  combo->setCurrentIndex(m.ItemIndex);
  if (combo->isEditable()) combo->setEditText(FromStd(m.Text));
}

void TMain::PushFileCombos() {
  for (QComboBox* c : {File1Combo, File2Combo, File3Combo}) PushCombo(c);
}

void TMain::SelectComboItem(QComboBox* combo, const QString& text) {
  PullCombo(combo);
  if (combo == COM1Combo || combo == COM2Combo)
    ::SelectPortItem(ModelOf(combo), ToStd(text));
  else
    ::SelectComboItem(ModelOf(combo), ToStd(text));
  PushCombo(combo);
}

void TMain::FillPortCombo(QComboBox* combo, const std::vector<std::string>& ports) {
  const QString remembered = combo->currentText();
  TComboModel& m = ModelOf(combo);
  m.Clear();
  m.Add(kAutoDetect);
  for (const std::string& p : ports) {
    m.Add(p);
    const std::string mark =
        PortAccessMark(options_.AccessOf ? options_.AccessOf(p) : PortAccess(p));
    if (mark.empty())
      portMarks_.erase(p);
    else
      portMarks_[p] = FromStd(mark);
  }
  // A typed network port stays chosen when the list is made again.
  ::SelectPortItem(m, ToStd(remembered));
  PushCombo(combo);
}

void TMain::AddComboHistory(QComboBox* combo) {
  PullCombo(combo);
  ::AddComboHistory(ModelOf(combo));
  PushCombo(combo);
}

void TMain::DoUpdCOMs() {
  std::vector<std::string> ports;
  if (options_.EnumPorts)
    ports = options_.EnumPorts();
  else
    fields_.SerIF1->EnumComPorts(ports);
  // Without any serial device reported, the usual names of this platform's first nine.
  ports = WithFallbackPorts(std::move(ports));
  FillPortCombo(COM1Combo, ports);
  FillPortCombo(COM2Combo, ports);
}

// ---- Choices ----

void TMain::SetGold(bool gold) {
  fields_.GoldTP = gold;
  TPradio->setChecked(gold);
  SRVradio->setChecked(!gold);
  UpdSrvChk();
  UpdTPchk();
}

void TMain::DoGoldRadio() { SetGold(!SRVradio->isChecked()); }

void TMain::UpdAnaChk() { fields_.AnalysisOnly = AnaChk->isChecked(); }

void TMain::UpdTPchk() {
  if (!fields_.EmbPkg) fields_.RestoreTP = TPchk->isChecked();
  ShowChoiceControls();
}

void TMain::UpdSrvChk() {
  if (!fields_.EmbPkg) fields_.RestoreSrv = SrvChk->isChecked();
  ShowChoiceControls();
}

void TMain::ShowChoiceControls() {
  const TChoiceControls c = ChoiceControls(fields_.GoldTP, fields_.RestoreTP, fields_.RestoreSrv,
                                           fields_.EmbPkg != nullptr);
  TPchk->setVisible(c.HandheldRestoreShown);
  SrvChk->setVisible(c.ServerRestoreShown);
  for (QWidget* w : std::initializer_list<QWidget*>{File1Txt, File1Combo, Browse1But, File2Txt,
                                                    File2Combo, Browse2But})
    w->setVisible(c.HandheldFilesShown);
  for (QWidget* w : std::initializer_list<QWidget*>{File3Txt, File3Combo, Browse3But})
    w->setVisible(c.ServerFilesShown);
}

// ---- Browsing ----

QString TMain::OpenFileDialog(const QString& title, const char* filter, const QString& suffix,
                              const QString& startName) {
  QFileDialog dialog(this, title);
  dialog.setObjectName(QStringLiteral("OpenDlg"));
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  const QStringList filters = DialogNameFilters(QString::fromLatin1(filter));
  dialog.setNameFilters(filters);
  dialog.selectNameFilter(filters.first());
  dialog.setDefaultSuffix(suffix);
  if (!startName.isEmpty()) {
    const QFileInfo start(startName);
    if (start.absoluteDir().exists()) dialog.setDirectory(start.absoluteDir());
    dialog.selectFile(start.fileName());
  }
  if (dialog.exec() != QDialog::Accepted) return {};
  const QStringList chosen = dialog.selectedFiles();
  return chosen.isEmpty() ? QString() : chosen.first();
}

QString TMain::DoBrowseTP(const QString& startName, const QString& title) {
  const QString chosen = OpenFileDialog(title, kTPFilter, QStringLiteral("TPF"), startName);
  return chosen.isEmpty() ? startName : chosen;
}

void TMain::DoBrowse1() {
  File1Combo->setEditText(
      DoBrowseTP(File1Combo->currentText(), QStringLiteral("Select RF modem firmware")));
}

void TMain::DoBrowse2() {
  File2Combo->setEditText(
      DoBrowseTP(File2Combo->currentText(), QStringLiteral("Select TallyPilot firmware")));
}

void TMain::DoBrowse3() {
  const QString chosen = OpenFileDialog(QStringLiteral("Select server firmware"), kSrvFilter,
                                        QStringLiteral("SFF"), File3Combo->currentText());
  if (!chosen.isEmpty()) File3Combo->setEditText(chosen);
}

// ---- Views: Start, Exit and the worker ----

TSerThread* TMain::SerThread() const { return presenter_->Worker(); }

void TMain::DoStart() { presenter_->Start(); }

void TMain::DoExit() { presenter_->Exit(); }

// The presenter's state in the widgets.
void TMain::Render(const TMainState& s) {
  for (QWidget* w : std::initializer_list<QWidget*>{TPGroup, SrvGroup, GoldTxt, TPradio, SRVradio,
                                                    AnaChk, RecordsBut})
    w->setVisible(s.SetUpShown);
  const QString status = DisplayText(s.StatusText);
  if (StatTxt->text() != status) StatTxt->setText(status);
  StatTxt->setVisible(s.StatusShown);
  const bool logAppears = s.LogShown && LogMemo->isHidden();
  LogMemo->setVisible(s.LogShown);
  PrcBar->setValue(s.Progress);
  PrcBar->setVisible(s.ProgressShown);
  if (s.ProgressShown && s.ProgressFinishing) LogMemo->repaint();
  StartBut->setText(QString::fromLatin1(s.StartCaption.c_str()));
  StartBut->setVisible(s.StartShown);
  ExitBut->setText(QString::fromLatin1(s.ExitCaption.c_str()));
  ExitBut->setVisible(s.ExitShown);
  // The latest lines are the ones in view, also after the log was hidden behind a prompt.
  if (s.Focus == TMainFocus::Start) StartBut->setFocus();
  if (s.Focus == TMainFocus::Log) LogMemo->setFocus();
  if (logAppears || s.Focus != TMainFocus::Unchanged) ScrollLogToEnd();
}

void TMain::DoRecords() {
  if (!options_.Records || options_.Records->Location().empty()) return;
  if (!recordsWindow_) {
    TRecordsWindowOptions o;
    o.Location = options_.Records->Location();
    o.DriftSettingsPath = DefaultDriftSettingsPath(fields_.IniName);
    recordsWindow_ = std::make_unique<TRecordsWindow>(o);
  } else {
    recordsWindow_->Reload();
  }
  recordsWindow_->show();
  recordsWindow_->raise();
  recordsWindow_->activateWindow();
}

namespace {

// The rule over the handhelds this station tuned; the line names the golden server of the
// station's latest such record when its median lies outside the band. A store that cannot be
// read gives no line (the run reports record trouble itself).
std::string GoldenDriftLine(const std::string& location, const std::string& thresholdPath) {
  try {
    auto store = OpenRecordStore(location, TStoreOpen::kExisting);
    TRecordFilter filter;
    filter.Station = StationName();
    filter.DeviceKind = "handheld";
    filter.Outcome = kRecordCompleted;
    TDriftRule rule;
    std::string current;
    store->Points(filter, [&](const TRecordPoint& p) {
      rule.Add(p);
      if (DriftSteps(p)) current = p.ServerIdentity;
    });
    const double threshold = ReadDriftThreshold(thresholdPath);
    for (const TDriftWarning& w : DriftWarnings(rule.Series(), threshold))
      if (w.Server == current) return DriftWarningLine(w, threshold);
  } catch (const std::exception&) {
  }
  return {};
}

}  // namespace

void TMain::CheckGoldenDrift() {
  if (!options_.Records || options_.Records->Location().empty() || fields_.IniName.empty())
    return;
  if (driftCheck_.valid()) {
    if (driftCheck_.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
      driftCheckAgain_ = true;
      return;
    }
    driftLine_ = driftCheck_.get();
  }
  driftCheckAgain_ = false;
  driftCheck_ = std::async(std::launch::async, GoldenDriftLine, options_.Records->Location(),
                           DefaultDriftSettingsPath(fields_.IniName));
}

void TMain::LogGoldenDrift() {
  // A check under way gets a moment to finish; else the previous one's line stands.
  if (driftCheck_.valid() &&
      driftCheck_.wait_for(std::chrono::milliseconds(300)) == std::future_status::ready) {
    driftLine_ = driftCheck_.get();
    if (driftCheckAgain_) CheckGoldenDrift();
  }
  if (!driftLine_.empty()) LogMemo->appendPlainText(FromStd(driftLine_));
}

void TMain::ScrollLogToEnd() {
  LogMemo->moveCursor(QTextCursor::End);
  LogMemo->ensureCursorVisible();
}
