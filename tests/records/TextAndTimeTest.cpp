// Texts as the stores keep them, and the records' filter times: what is taken, as which
// instant, and what is refused.
#include <gtest/gtest.h>

#include "records/TuningRecord.h"

namespace {

TEST(RecordTime, FormsAreTakenAsTheInstantsTheyName) {
  const struct {
    const char* text;
    const char* instant;  // "" when refused
  } cases[] = {
      {"2026-12-10", "2026-12-10T00:00:00.000Z"},
      {"2026-12-10T14:30", "2026-12-10T14:30:00.000Z"},
      {"2026-12-10 14:30:05", "2026-12-10T14:30:05.000Z"},
      {"2026-12-10T14:30:05.25", "2026-12-10T14:30:05.250Z"},
      {"2026-12-10T14:30:05.123456Z", "2026-12-10T14:30:05.123Z"},
      {"2026-12-10T14:30:05,5Z", "2026-12-10T14:30:05.500Z"},
      // Offsets move the instant, across a day, a month and a year.
      {"2026-12-11T23:59:00+05:00", "2026-12-11T18:59:00.000Z"},
      {"2026-12-31T23:30-01:00", "2027-01-01T00:30:00.000Z"},
      {"2026-03-01T00:15+0130", "2026-02-28T22:45:00.000Z"},
      {"2026-12-10T12:00+05", "2026-12-10T07:00:00.000Z"},
      {"2028-02-29", "2028-02-29T00:00:00.000Z"},
      // Refused: days and times that do not exist, words, partial or extra text.
      {"2026-13-45", ""},
      {"2026-02-29", ""},
      {"2026-04-31", ""},
      {"2026-12-10T24:00", ""},
      {"2026-12-10T12:60", ""},
      {"2026-12-10T12:00:61", ""},
      {"2026-12-10T12:00+24:00", ""},
      {"2026-12-10T12:00+05:60", ""},
      {"yesterday", ""},
      {"2026-12", ""},
      {"26-12-10", ""},
      {"2026-12-10T", ""},
      {"2026-12-10T12", ""},
      {"2026-12-10T12:00:00.", ""},
      {"2026-12-10T12:00 UTC", ""},
      {"2026-12-10x", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseRecordTime(c.text), c.instant) << c.text;
}

TEST(RecordText, BytesThatAreNotUtf8AreEscapedAndCharactersKept) {
  const struct {
    std::string bytes, text;
  } cases[] = {
      {"plain", "plain"},
      {"Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x93\xa1", "Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x93\xa1"},
      {"Pr\xfc" "fung.tpf", "Pr\\xfcfung.tpf"},                   // Latin-1
      {std::string("a\0b", 3), "a\\x00b"},                     // NUL
      {"\xc0\xaf", "\\xc0\\xaf"},                               // overlong '/'
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"},                     // a surrogate
      {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},           // beyond U+10FFFF
      {"\xe2\x82", "\\xe2\\x82"},                               // cut short at the end
      {"\xe2\x82x", "\\xe2\\x82x"},                             // cut short inside
  };
  for (const auto& c : cases) EXPECT_EQ(ValidUtf8(c.bytes), c.text) << c.bytes;
}

}  // namespace
