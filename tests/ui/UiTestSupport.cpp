#include "UiTestSupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QPushButton>
#include <QTest>
#include <stdexcept>

#include "tools/PackageBuilder.h"

namespace {

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  return f.readAll();
}

void WriteAll(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
    throw std::runtime_error("cannot write " + path.toStdString());
}

}  // namespace

TProgramDir::TProgramDir(const std::vector<uint8_t>& bundle) {
  if (!dir_.isValid()) throw std::runtime_error("no temporary directory");
  program_ = dir_.filePath(QStringLiteral("tptune"));
  const QString self = QCoreApplication::applicationFilePath();
  if (bundle.empty()) {
    // A link is enough: the program file is only read.
    if (!QFile::link(self, program_)) throw std::runtime_error("cannot link the program");
    return;
  }
  const QByteArray image = ReadAll(self);
  const TBytes bytes = AttachBundle(
      std::span(reinterpret_cast<const uint8_t*>(image.constData()),
                static_cast<size_t>(image.size())),
      bundle);
  WriteAll(program_, QByteArray(reinterpret_cast<const char*>(bytes.data()),
                                static_cast<qsizetype>(bytes.size())));
}

void TProgramDir::WriteIni(const QStringList& lines) const {
  QByteArray bytes;
  for (const QString& line : lines) bytes += line.toUtf8() + "\r\n";
  WriteIniBytes(bytes);
}

void TProgramDir::WriteIniBytes(const QByteArray& bytes) const { WriteAll(IniName(), bytes); }

QByteArray TProgramDir::IniBytes() const { return ReadAll(IniName()); }

QStringList TProgramDir::IniLines() const {
  QStringList lines = QString::fromUtf8(IniBytes()).split(QStringLiteral("\r\n"));
  // The last line's CR LF leaves an empty piece behind.
  if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
  return lines;
}

std::unique_ptr<TMain> CreateWindow(const TProgramDir& dir, TPortList& ports, Clock* clock) {
  TMainOptions options;
  options.ProgramPath = dir.Program();
  options.RunClock = clock;
  options.EnumPorts = [&ports] { return ports.Ports; };
  return std::make_unique<TMain>(options);
}

std::unique_ptr<TMain> OpenWindow(const TProgramDir& dir, TPortList& ports, Clock* clock) {
  auto w = CreateWindow(dir, ports, clock);
  w->show();
  if (!QTest::qWaitForWindowActive(w.get())) qWarning("the window was not activated");
  return w;
}

QStringList Items(const QComboBox* combo) {
  QStringList items;
  for (int i = 0; i < combo->count(); ++i) items << combo->itemText(i);
  return items;
}

QString View(TMain& w) {
  auto shown = [&w](const char* name) { return !Child<QWidget>(w, name)->isHidden(); };
  const QString start = Child<QPushButton>(w, "StartBut")->text();
  const QString exit = Child<QPushButton>(w, "ExitBut")->text();
  if (shown("TPGroup")) return QStringLiteral("set-up");
  if (!shown("ExitBut")) return shown("StartBut") && shown("LogMemo") ? "ended" : "other";
  if (shown("StatTxt") && shown("StartBut"))
    return start == QLatin1String("&Yes") && exit == QLatin1String("&No") ? "yes-no"
           : start == QLatin1String("&Ok") && exit == QLatin1String("&Cancel") ? "ok-prompt"
                                                                              : "other";
  return !shown("StartBut") && exit == QLatin1String("&Cancel") ? "running" : "other";
}

namespace {
QtMessageHandler previousHandler = nullptr;

void FilterMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (message.contains(QLatin1String("does not support propagateSizeHints"))) return;
  if (previousHandler) previousHandler(type, context, message);
}
}  // namespace

void SilenceSizeHintNotice() { previousHandler = qInstallMessageHandler(FilterMessages); }
