// The records program's standard output as this platform needs it for data: exports are files
// (CSV with CRLF line ends, JSON lines, traces with bytes of every value) that must leave the
// program byte for byte as written, never with line ends translated.
#pragma once

void UseBinaryStandardOutput();
