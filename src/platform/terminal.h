// Whether an output stream goes to a terminal.
#pragma once

#include <cstdio>

namespace orvaldi::platform {

bool IsTerminal(std::FILE* stream);

}  // namespace orvaldi::platform
