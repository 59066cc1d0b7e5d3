// Terminal detection for the front ends.
#include "platform/terminal.h"

#include <unistd.h>

namespace orvaldi::platform {

bool IsTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) != 0; }

}  // namespace orvaldi::platform
