// Natural order of port names (internal): runs of digits compare by their value, so COM2 comes
// before COM10 and ttyS2 before ttyS10.
#pragma once

#include <string>

bool NaturalLess(const std::string& a, const std::string& b);
