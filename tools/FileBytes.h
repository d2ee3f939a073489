// Whole-file reading and writing for the command-line tools.
#pragma once

#include <string>

#include "tools/PackageBuilder.h"

// The file's bytes; throws std::runtime_error naming the file when it cannot be read.
TBytes ReadFileBytes(const std::string& name);

// Creates or replaces the file with the bytes and gives it the permission bits mode (octal,
// e.g. 0755); throws std::runtime_error on failure.
void WriteFileBytes(const std::string& name, const TBytes& bytes, unsigned mode = 0644);

// The permission bits of an existing file; throws std::runtime_error.
unsigned FileMode(const std::string& name);
