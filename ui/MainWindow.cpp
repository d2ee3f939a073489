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

#include "front/FrontEndSetup.h"
#include "front/MainLayout.h"
#include "front/MainPresenter.h"
#include "records/RecordSink.h"
#include "run/Clock.h"
#include "tuning/SerThread.h"
#include "ui/RecordsWindow.h"

namespace {

const char kRecords[] = "&Records...";
const char kRestore[] = "Restore firmware after test";

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
  void RunStarting() override { w_.LogMemo->clear(); }
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
  std::optional<std::string> AskForFile(const TFileRequest& request) override {
    return w_.AskForFile(request);
  }
  void OpenRecords(const TRecordsRequest& request) override { w_.OpenRecords(request); }
  void RecordsWritten() override {
    if (w_.recordsWindow_) w_.recordsWindow_->Refresh();
  }
  TRect WindowRect() const override {
    const QRect outer = w_.frameGeometry();
    return {outer.x(), outer.y(), outer.width(), outer.height()};
  }
  void PlaceWindow(const TWindowPlacement& placement) override { w_.PlaceWindow(placement); }

 private:
  TMain& w_;
};

// ---- Creation ----

TMain::TMain(TMainOptions options, QWidget* parent)
    : QWidget(parent), options_(std::move(options)) {
  setObjectName(QStringLiteral("Main"));
  SetUpPortObject(serIF1_, 0);
  SetUpPortObject(serIF2_, 1);
  fields_.SerIF1 = &serIF1_;
  fields_.SerIF2 = &serIF2_;

  QFont f = font();
  f.setPointSize(8);
  setFont(f);
  CreateControls();
  view_ = std::make_unique<TWindowView>(*this);
  TMainPresenterOptions po;
  // The running program's file is found as the console finds it, so a window started through
  // the dynamic loader does not take the loader's name.
  po.ProgramPath =
      options_.ProgramPath.isEmpty()
          ? ProgramFileName(QCoreApplication::arguments().value(0).toLocal8Bit().constData())
          : options_.ProgramPath.toStdString();
  po.Setup = options_.Setup;
  po.EnumPorts = options_.EnumPorts;
  po.AccessOf = options_.AccessOf;
  presenter_ = std::make_unique<TMainPresenter>(
      *view_, fields_, options_.RunClock ? *options_.RunClock : RealClock(), options_.Records,
      std::move(po));
  ConnectControls();
  Render(presenter_->State());
  move(kMainDesignX, kMainDesignY);
  resize(kMainClientSize.W, kMainClientSize.H);
}

TMain::~TMain() {
  // A window destroyed without being closed still must not leave a worker behind that calls
  // into it.
  presenter_->Stop();
}

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

}

QComboBox* TMain::BoxWidget(TMainBox box) const {
  switch (box) {
    case TMainBox::COM1:
      return COM1Combo;
    case TMainBox::COM2:
      return COM2Combo;
    case TMainBox::File1:
      return File1Combo;
    case TMainBox::File2:
      return File2Combo;
    case TMainBox::File3:
      break;
  }
  return File3Combo;
}

// The operator's clicks and typing go to the presenter; Render blocks these signals while it
// sets the controls.
void TMain::ConnectControls() {
  TMainPresenter& p = *presenter_;
  connect(TPradio, &QRadioButton::toggled, this, [&p](bool on) {
    if (on) p.SetGold(true);
  });
  connect(SRVradio, &QRadioButton::toggled, this, [&p](bool on) {
    if (on) p.SetGold(false);
  });
  connect(AnaChk, &QCheckBox::toggled, this, [&p](bool on) { p.SetAnalysisOnly(on); });
  connect(TPchk, &QCheckBox::toggled, this, [&p](bool on) { p.SetRestoreHandheld(on); });
  connect(SrvChk, &QCheckBox::toggled, this, [&p](bool on) { p.SetRestoreServer(on); });
  connect(StartBut, &QPushButton::clicked, this, [&p] { p.Start(); });
  connect(ExitBut, &QPushButton::clicked, this, [&p] { p.Exit(); });
  connect(RecordsBut, &QPushButton::clicked, this, [&p] { p.Records(); });
  connect(Upd1But, &QPushButton::clicked, this, [&p] { p.UpdatePorts(); });
  connect(Upd2But, &QPushButton::clicked, this, [&p] { p.UpdatePorts(); });
  connect(Browse1But, &QPushButton::clicked, this, [&p] { p.Browse(TMainBox::File1); });
  connect(Browse2But, &QPushButton::clicked, this, [&p] { p.Browse(TMainBox::File2); });
  connect(Browse3But, &QPushButton::clicked, this, [&p] { p.Browse(TMainBox::File3); });
  for (TMainBox box :
       {TMainBox::COM1, TMainBox::COM2, TMainBox::File1, TMainBox::File2, TMainBox::File3}) {
    QComboBox* c = BoxWidget(box);
    connect(c, &QComboBox::currentIndexChanged, this,
            [&p, box](int index) { p.ChooseEntry(box, index); });
    connect(c, &QComboBox::editTextChanged, this,
            [&p, box](const QString& text) { p.EditText(box, text.toStdString()); });
  }
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
  presenter_->Close();
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
  if (!presenter_->FirstActivate()) return;
  UpdateMinimumSize();
  presenter_->Activate();
}

bool TMain::FirstActivate() const { return presenter_->FirstActivate(); }

TSerThread* TMain::SerThread() const { return presenter_->Worker(); }

// Outer left, top, width and height as the settings file keeps them: an outer size becomes a
// client size; the window stays within the minimum and, like a window the operator drags, no
// larger than the screens can show.
void TMain::PlaceWindow(const TWindowPlacement& p) {
  const QRect outer = frameGeometry();
  const QSize frame = outer.size() - geometry().size();
  move(p.Left.value_or(outer.x()), p.Top.value_or(outer.y()));
  const QSize largest =
      screen() ? screen()->availableVirtualSize() : QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
  auto client = [](std::optional<int32_t> outerSize, int frameSize, int current, int largest) {
    if (!outerSize) return current;
    const int64_t size = static_cast<int64_t>(*outerSize) - frameSize;
    return static_cast<int>(std::clamp<int64_t>(size, 0, std::max(largest - frameSize, 0)));
  };
  resize(client(p.Width, frame.width(), width(), largest.width()),
         client(p.Height, frame.height(), height(), largest.height()));
}

// ---- Rendering ----

void TMain::RenderBox(TMainBox box, const TMainBoxState& b) {
  QComboBox* c = BoxWidget(box);
  const QSignalBlocker block(c);
  std::optional<TMainBoxState>& shown = shownBoxes_[BoxIndex(box)];
  if (!shown || shown->Combo.Items != b.Combo.Items || shown->Marks != b.Marks) {
    c->clear();
    for (const std::string& item : b.Combo.Items) c->addItem(FromStd(item));
    // A port the user may not open keeps its name (the run opens what the entry says), greyed,
    // with the reason as its tool tip.
    for (size_t i = 0; i < b.Marks.size(); ++i) {
      if (b.Marks[i].empty()) continue;
      c->setItemData(static_cast<int>(i), FromStd(b.Marks[i]), Qt::ToolTipRole);
      c->setItemData(static_cast<int>(i), QBrush(Qt::gray), Qt::ForegroundRole);
    }
  }
  shown = b;
  if (c->currentIndex() != b.Combo.ItemIndex) c->setCurrentIndex(b.Combo.ItemIndex);
  const QString text = FromStd(b.Combo.Text);
  if (c->isEditable() && c->currentText() != text) c->setEditText(text);
}

// The presenter's state in the widgets.
void TMain::Render(const TMainState& s) {
  const QString title = DisplayText(s.Title);
  if (windowTitle() != title) setWindowTitle(title);
  for (QWidget* w : std::initializer_list<QWidget*>{TPGroup, SrvGroup, GoldTxt, TPradio, SRVradio,
                                                    AnaChk, RecordsBut})
    w->setVisible(s.SetUpShown);
  {
    const QSignalBlocker b1(TPradio), b2(SRVradio), b3(AnaChk), b4(TPchk), b5(SrvChk);
    (s.GoldTP ? TPradio : SRVradio)->setChecked(true);
    TPradio->setEnabled(s.GoldEnabled);
    SRVradio->setEnabled(s.GoldEnabled);
    AnaChk->setChecked(s.AnalysisOnly);
    AnaChk->setEnabled(s.AnalysisEnabled);
    TPchk->setChecked(s.RestoreHandheldTicked);
    SrvChk->setChecked(s.RestoreServerTicked);
  }
  TPchk->setVisible(s.Controls.HandheldRestoreShown);
  SrvChk->setVisible(s.Controls.ServerRestoreShown);
  for (QWidget* w : std::initializer_list<QWidget*>{File1Txt, File1Combo, Browse1But, File2Txt,
                                                    File2Combo, Browse2But})
    w->setVisible(s.Controls.HandheldFilesShown);
  for (QWidget* w : std::initializer_list<QWidget*>{File3Txt, File3Combo, Browse3But})
    w->setVisible(s.Controls.ServerFilesShown);
  for (TMainBox box :
       {TMainBox::COM1, TMainBox::COM2, TMainBox::File1, TMainBox::File2, TMainBox::File3})
    RenderBox(box, s.Box(box));
  RecordsBut->setEnabled(s.RecordsEnabled);
  RecordsBut->setToolTip(FromStd(s.RecordsHint));

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

void TMain::ScrollLogToEnd() {
  LogMemo->moveCursor(QTextCursor::End);
  LogMemo->ensureCursorVisible();
}

// ---- Dialogs and the Records window ----

std::optional<std::string> TMain::AskForFile(const TFileRequest& request) {
  QFileDialog dialog(this, FromStd(request.Title));
  dialog.setObjectName(QStringLiteral("OpenDlg"));
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  const QStringList filters = DialogNameFilters(FromStd(request.Filter));
  dialog.setNameFilters(filters);
  dialog.selectNameFilter(filters.first());
  dialog.setDefaultSuffix(FromStd(request.DefaultExtension));
  if (!request.CurrentName.empty()) {
    const QFileInfo start(FromStd(request.CurrentName));
    if (start.absoluteDir().exists()) dialog.setDirectory(start.absoluteDir());
    dialog.selectFile(start.fileName());
  }
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty()) return std::nullopt;
  return ToStd(chosen.first());
}

void TMain::OpenRecords(const TRecordsRequest& request) {
  if (!recordsWindow_) {
    TRecordsWindowOptions o;
    o.Location = request.Location;
    o.DriftSettingsPath = request.DriftSettingsPath;
    recordsWindow_ = std::make_unique<TRecordsWindow>(o);
  } else {
    recordsWindow_->Reload();
  }
  recordsWindow_->show();
  recordsWindow_->raise();
  recordsWindow_->activateWindow();
}
