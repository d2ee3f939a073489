#include "run/Paths.h"

const char kPathSeparators[] = "/";
