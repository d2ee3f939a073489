// A small window program for the tests: it prints the settings file that a window started this
// way names after its own program file, and ends.
#include <QApplication>
#include <cstdio>

#include "ui/MainWindow.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  TMain window{TMainOptions{}};
  window.DoActiv();
  std::printf("%s\n", window.Fields().IniName.c_str());
  return 0;
}
