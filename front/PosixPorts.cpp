#include "front/FrontEndSetup.h"

std::string FallbackPortName(int index) { return "/dev/ttyS" + std::to_string(index); }
