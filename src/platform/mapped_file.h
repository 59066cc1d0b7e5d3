// A file's bytes mapped read-only into memory, for checks that walk a whole
// saved file without copying it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace orvaldi::platform {

class MappedFile {
 public:
  // Maps `path` read-only; null with `error` set to errno when it cannot be
  // opened or mapped. An empty file maps to an empty span.
  static std::unique_ptr<MappedFile> open(const std::string& path, int* error = nullptr);
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  std::span<const uint8_t> bytes() const { return {data_, size_}; }

 private:
  MappedFile(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  const uint8_t* data_;
  size_t size_;
};

}  // namespace orvaldi::platform
