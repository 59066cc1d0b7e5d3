// SHA-256 of a byte span, to tell a disk's sectors from another's.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace orvaldi::disk {

// The digest as 64 lower-case hex digits.
std::string Sha256Hex(std::span<const uint8_t> bytes);

}  // namespace orvaldi::disk
