// The settings file's lines and numbers, without the window.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <climits>
#include <optional>
#include <string>

#include "ui/Settings.h"

Q_DECLARE_METATYPE(std::optional<int32_t>)

namespace QTest {
template <>
char* toString(const std::optional<int32_t>& v) {
  return v ? QTest::toString(*v) : qstrdup("none");
}
template <>
char* toString(const std::string& s) {
  return QTest::toString(QString::fromStdString(s));
}
}  // namespace QTest

class SettingsTest : public QObject {
  Q_OBJECT

 private slots:
  void integers_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<std::optional<int32_t>>("value");
    const std::optional<int32_t> invalid;
    QTest::newRow("decimal") << QByteArray("192") << std::optional<int32_t>(192);
    QTest::newRow("leading blanks and sign") << QByteArray("  -17") << std::optional(-17);
    QTest::newRow("plus sign") << QByteArray("+8") << std::optional(8);
    QTest::newRow("dollar hex") << QByteArray("$1F") << std::optional(31);
    QTest::newRow("0x hex, either case") << QByteArray("0XaB") << std::optional(171);
    QTest::newRow("negative hex") << QByteArray("-$10") << std::optional(-16);
    QTest::newRow("hex uses all 32 bits") << QByteArray("$FFFFFFFF") << std::optional(-1);
    QTest::newRow("smallest") << QByteArray("-2147483648")
                              << std::optional<int32_t>(INT32_MIN);
    QTest::newRow("largest") << QByteArray("2147483647") << std::optional<int32_t>(INT32_MAX);
    QTest::newRow("decimal overflow") << QByteArray("2147483648") << invalid;
    QTest::newRow("hex overflow") << QByteArray("$100000000") << invalid;
    QTest::newRow("empty") << QByteArray("") << invalid;
    QTest::newRow("blanks only") << QByteArray("   ") << invalid;
    QTest::newRow("sign only") << QByteArray("-") << invalid;
    QTest::newRow("prefix only") << QByteArray("$") << invalid;
    QTest::newRow("trailing blank") << QByteArray("12 ") << invalid;
    QTest::newRow("tab is no blank") << QByteArray("\t12") << invalid;
    QTest::newRow("letters") << QByteArray("12px") << invalid;
    QTest::newRow("hex digit in decimal") << QByteArray("1A") << invalid;
    QTest::newRow("decimal point") << QByteArray("1.5") << invalid;
    QTest::newRow("thousands separator") << QByteArray("1,024") << invalid;
  }
  void integers() {
    QFETCH(QByteArray, text);
    QFETCH(std::optional<int32_t>, value);
    QCOMPARE(ParseSettingsInt(text.toStdString()), value);
  }

  void lines_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("lines");
    const QStringList ten = {"1", "2", "3", "4", "BA", "a\tb", "c\td", "x", "y", "z"};
    QTest::newRow("CR LF") << QByteArray("1\r\n2\r\n3\r\n4\r\nBA\r\na\tb\r\nc\td\r\nx\r\ny\r\nz\r\n")
                           << ten;
    QTest::newRow("last line without end")
        << QByteArray("1\r\n2\r\n3\r\n4\r\nBA\r\na\tb\r\nc\td\r\nx\r\ny\r\nz") << ten;
    QTest::newRow("LF and lone CR")
        << QByteArray("1\n2\r3\r\n4\nBA\na\tb\nc\td\nx\ny\nz\n") << ten;
    QTest::newRow("four lines")
        << QByteArray("1\r\n2\r\n3\r\n4\r\n")
        << QStringList{"1", "2", "3", "4", "", "", "", "", "", ""};
    QTest::newRow("empty lines keep their place")
        << QByteArray("\r\n\r\n\r\n\r\nS\r\n")
        << QStringList{"", "", "", "", "S", "", "", "", "", ""};
    QTest::newRow("lines after the tenth are ignored")
        << QByteArray("1\r\n2\r\n3\r\n4\r\nBA\r\na\tb\r\nc\td\r\nx\r\ny\r\nz\r\nextra\r\n")
        << ten;
    QTest::newRow("empty file") << QByteArray()
                                << QStringList{"", "", "", "", "", "", "", "", "", ""};
  }
  void lines() {
    QFETCH(QByteArray, text);
    QFETCH(QStringList, lines);
    const TSettingsLines got = SplitSettingsLines(text.toStdString());
    QStringList gotList;
    for (const std::string& l : got) gotList << QString::fromStdString(l);
    QCOMPARE(gotList, lines);
  }

  // Written and read back, every value comes back; the file has CR LF line ends and the letters
  // in their fixed order.
  void fileRoundTrip() {
    QTemporaryDir dir;
    const std::string name = dir.filePath(QStringLiteral("t.INI")).toStdString();
    TSettings s;
    s.Left = -8;
    s.Top = 40;
    s.Width = 500;
    s.Height = 420;
    s.GoldTP = true;
    s.RestoreSrv = true;
    s.AnalysisOnly = true;
    s.COM1Choice = "Auto detect";
    s.LastPort1 = "/dev/ttyUSB1";
    s.COM2Choice = "/dev/ttyS0";
    s.History1 = "/a/m\xC3\xB6" "dem.tpf\t/b/x.TPF";
    s.History3 = "/srv.sff";
    QVERIFY(WriteSettingsFile(name, FormatSettings(s)));

    QFile f(QString::fromStdString(name));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("-8\r\n40\r\n500\r\n420\r\nBRA\r\nAuto detect\t/dev/ttyUSB1\r\n"
                                     "/dev/ttyS0\t\r\n/a/m\xC3\xB6" "dem.tpf\t/b/x.TPF\r\n\r\n"
                                     "/srv.sff\r\n"));

    TSettingsLines lines;
    QVERIFY(ReadSettingsFile(name, lines));
    const TSettings back = ParseSettings(lines);
    QCOMPARE(back.Left, s.Left);
    QCOMPARE(back.Height, s.Height);
    QVERIFY(back.GoldTP && back.RestoreSrv && !back.RestoreTP && back.AnalysisOnly);
    QCOMPARE(back.LastPort1, s.LastPort1);
    QCOMPARE(back.COM2Choice, s.COM2Choice);
    QCOMPARE(back.LastPort2, std::string());
    QCOMPARE(back.History1, s.History1);
    QCOMPARE(back.History3, s.History3);
  }

  void missingAndUnwritableFiles() {
    QTemporaryDir dir;
    TSettingsLines lines;
    lines[4] = "untouched";
    QVERIFY(!ReadSettingsFile(dir.filePath(QStringLiteral("none.INI")).toStdString(), lines));
    QCOMPARE(lines[4], std::string("untouched"));
    // A directory in the file's place reads as an empty file and cannot be written; neither
    // raises.
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("busy.INI")));
    QVERIFY(ReadSettingsFile(dir.filePath(QStringLiteral("busy.INI")).toStdString(), lines));
    QCOMPARE(lines[4], std::string());
    QVERIFY(!WriteSettingsFile(dir.filePath(QStringLiteral("busy.INI")).toStdString(),
                               FormatSettings(TSettings{})));
  }
};

QTEST_GUILESS_MAIN(SettingsTest)
#include "SettingsTest.moc"
