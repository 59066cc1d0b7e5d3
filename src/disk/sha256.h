// SHA-256 of a byte span, to tell a disk's sectors from another's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace orvaldi::disk {

// The digest as 64 lower-case hex digits.
std::string Sha256Hex(std::span<const uint8_t> bytes);

// The same digest over bytes that arrive in pieces (a file as it is written).
class Sha256 {
 public:
  Sha256();
  void update(std::span<const uint8_t> bytes);
  // `length` zero bytes (a hole in a file).
  void updateZeros(uint64_t length);
  // Ends the digest; the object must not be updated afterwards.
  std::string hexDigest();

 private:
  std::array<uint32_t, 8> state_;
  std::array<uint8_t, 64> block_{};
  size_t held_ = 0;
  uint64_t length_ = 0;
};

}  // namespace orvaldi::disk
