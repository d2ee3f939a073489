#include "front/FrontEndSetup.h"

std::string FallbackPortName(int index) { return "COM" + std::to_string(index + 1); }
