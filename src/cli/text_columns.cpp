// Column padding for the command's tables.
#include "cli/text_columns.h"

namespace orvaldi::cli {

std::string Pad(const std::string& text, size_t width) {
  size_t columns = 0;
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    columns += len >= 3 ? 2 : 1;  // CJK and other wide characters are three or four bytes
    i += len;
  }
  return columns >= width ? text + " " : text + std::string(width - columns, ' ');
}

}  // namespace orvaldi::cli
