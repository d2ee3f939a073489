// Natural order: runs of digits compare by their value, everything else byte by byte.
#include "serial/NaturalOrder.h"

bool NaturalLess(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  while (i < a.size() && j < b.size()) {
    if (isDigit(a[i]) && isDigit(b[j])) {
      size_t ie = i, je = j;
      while (ie < a.size() && isDigit(a[ie])) ++ie;
      while (je < b.size() && isDigit(b[je])) ++je;
      // Leading zeros do not count towards the value.
      size_t is = i, js = j;
      while (is + 1 < ie && a[is] == '0') ++is;
      while (js + 1 < je && b[js] == '0') ++js;
      if (ie - is != je - js) return ie - is < je - js;
      const int c = a.compare(is, ie - is, b, js, je - js);
      if (c != 0) return c < 0;
      i = ie;
      j = je;
    } else {
      if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}
