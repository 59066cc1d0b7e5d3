// Padding text to terminal columns, where CJK characters take two.
#pragma once

#include <string>

namespace orvaldi::cli {

// `text` followed by spaces up to `width` columns (one space at least when it is wider).
std::string Pad(const std::string& text, size_t width);

}  // namespace orvaldi::cli
