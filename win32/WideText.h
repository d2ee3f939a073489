// Texts between the system's own (UTF-8 strings and the run's byte texts) and the wide
// characters of the Win32 API.
#pragma once

#include <string>
#include <string_view>

// UTF-8 to wide characters; text that is not valid UTF-8 (a device's reply may hold any byte) is
// taken byte for byte as Latin-1.
std::wstring Wide(std::string_view text);
// Wide characters to UTF-8.
std::string Utf8(std::wstring_view text);
// A text of the run for a control: as Wide, with every line break (a carriage return alone, a
// line feed alone or both) as the CR LF that controls break lines at.
std::wstring DisplayText(std::string_view text);
