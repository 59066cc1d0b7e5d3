// The registry table of file formats and the lookups over it.
#include "fs/formats/registry.h"

#include <algorithm>
#include <array>
#include <bit>

namespace orvaldi::fs::formats {
namespace {

// The order fixes which format a sector goes to; it is part of what a
// carving run finds, so it changes only with the carving rules.
constexpr const FileFormat* kTable[] = {&kPdf, &kMpeg, &kAvi, &kMp4, &kZip, &kRar, &kOle2, &kJpeg, &kMp3};
static_assert(std::size(kTable) <= 16, "a lead mask holds 16 formats");

// For each first byte, the formats (bit i: kTable[i]) whose files may begin with it.
std::array<uint16_t, 256> BuildLeads() {
  std::array<uint16_t, 256> leads{};
  for (size_t i = 0; i < std::size(kTable); ++i) {
    const uint16_t bit = static_cast<uint16_t>(1u << i);
    if (kTable[i]->leads.empty()) {
      for (uint16_t& mask : leads) mask |= bit;
      continue;
    }
    for (const char c : kTable[i]->leads) leads[static_cast<uint8_t>(c)] |= bit;
  }
  return leads;
}

}  // namespace

std::span<const FileFormat* const> Registry() { return kTable; }

const FileFormat* Claimant(const uint8_t* sector) {
  static const std::array<uint16_t, 256> kLeads = BuildLeads();
  for (unsigned mask = kLeads[sector[0]]; mask != 0; mask &= mask - 1) {
    const FileFormat* format = kTable[std::countr_zero(mask)];
    if (format->claims(sector)) return format;
  }
  return nullptr;
}

const FileFormat* FormatOfExtension(std::string_view extension, bool pooledOnly) {
  for (const FileFormat* format : kTable) {
    if (pooledOnly && !format->pooled) continue;
    if (std::find(format->extensions.begin(), format->extensions.end(), extension) != format->extensions.end())
      return format;
  }
  return nullptr;
}

bool ConfirmsHeader(std::string_view extension, const disk::ByteView& head, uint64_t fileSize) {
  const FileFormat* format = FormatOfExtension(extension);
  if (!format) return false;
  return format->confirms ? format->confirms(extension, head, fileSize) : format->signature(head);
}

}  // namespace orvaldi::fs::formats
