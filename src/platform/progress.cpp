// Text helpers of the progress block.
#include "platform/progress.h"

#include <cstdio>
#include <cstring>

namespace orvaldi::platform {

void ProgressBlock::setText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, capacity, format, args);
  va_end(args);
}

void ProgressBlock::clearText() { std::memset(text, 0, sizeof text); }

std::string ProgressBlock::textString() const {
  return std::string(text, strnlen(text, sizeof text));
}

}  // namespace orvaldi::platform
