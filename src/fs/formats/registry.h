// The file formats the engine knows, in the one order their header tests run.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "disk/bytes.h"
#include "fs/formats/format.h"

namespace orvaldi::fs::formats {

// Every format, in the order their carving header tests are tried: where two
// formats take the same sector, the earlier one probes it.
std::span<const FileFormat* const> Registry();

// The first format of the registry that takes `sector` (512 bytes), or null.
// The cheap test a sweep runs on every sector: no allocation, no read.
const FileFormat* Claimant(const uint8_t* sector);
inline bool AnyClaims(const uint8_t* sector) { return Claimant(sector) != nullptr; }

// The format a saved file of `extension` (lower case, no dot) is confirmed
// as when its first cluster is searched for, or null; with `pooledOnly`,
// only the formats the pool save searches.
const FileFormat* FormatOfExtension(std::string_view extension, bool pooledOnly = false);

// Whether `head` begins a file of that format of `fileSize` bytes saved as `extension`.
bool ConfirmsHeader(std::string_view extension, const disk::ByteView& head, uint64_t fileSize);

}  // namespace orvaldi::fs::formats
