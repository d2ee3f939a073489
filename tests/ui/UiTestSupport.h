// What the window tests share: a program directory of their own (a program file, with or without
// an embedded bundle, its settings file beside it), and opening the window on it.
#pragma once

#include <QByteArray>
#include <QComboBox>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>
#include <string>
#include <vector>

#include "ui/MainWindow.h"

class Clock;

class TProgramDir {
 public:
  // A directory holding "tptune": a real program file (a copy of the running test), with the
  // bundle appended when one is given.
  explicit TProgramDir(const std::vector<uint8_t>& bundle = {});

  QString Dir() const { return dir_.path(); }
  QString Program() const { return program_; }
  QString Path(const QString& name) const { return dir_.filePath(name); }
  QString IniName() const { return Path(QStringLiteral("tptune.INI")); }
  QString ErrName() const { return Path(QStringLiteral("tptune.ERR")); }

  // The settings file from lines each ended by CR LF, or verbatim.
  void WriteIni(const QStringList& lines) const;
  void WriteIniBytes(const QByteArray& bytes) const;
  // The settings file's bytes; empty when there is none.
  QByteArray IniBytes() const;
  QStringList IniLines() const;

 private:
  QTemporaryDir dir_;
  QString program_;
};

// Ports the window lists: changed by the test between "upd" presses.
struct TPortList {
  std::vector<std::string> Ports;
};

// A window on the program directory, shown and activated (its first activation has run).
std::unique_ptr<TMain> OpenWindow(const TProgramDir& dir, TPortList& ports,
                                  Clock* clock = nullptr);
// The same window without showing it: the first activation has not happened.
std::unique_ptr<TMain> CreateWindow(const TProgramDir& dir, TPortList& ports,
                                    Clock* clock = nullptr);

template <class T>
T* Child(TMain& w, const char* name) {
  return w.findChild<T*>(QString::fromLatin1(name));
}

QStringList Items(const QComboBox* combo);

// Which of the five views the window shows ("set-up", "running", "ok-prompt", "yes-no",
// "ended"; "other" for anything else), judged by what is visible as the handlers do.
QString View(TMain& w);

// Drops the offscreen platform's notice that it cannot pass size hints on (each window with a
// minimum size causes one); every other message goes on to the test's own handler.
void SilenceSizeHintNotice();
