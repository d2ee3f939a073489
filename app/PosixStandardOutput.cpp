#include "app/StandardOutput.h"

// POSIX streams pass bytes through as they are.
void UseBinaryStandardOutput() {}
