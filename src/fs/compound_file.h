// Reading the summary information of a compound (OLE2) document found on a disk.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace orvaldi::fs {

struct DocumentSummary {
  std::string title;
  std::string author;
  std::string application;
};

// Reads `sectors` 512-byte sectors starting `index` sectors after the
// document's first byte (0 is the header). Returns what it could; short or
// empty vectors are fine.
using DocumentSectorReader = std::function<std::vector<uint8_t>(uint64_t index, uint32_t sectors)>;

// Finds the "\x05SummaryInformation" stream through the directory, the
// allocation table and, for small streams, the mini stream, and takes the
// title (2), author (4) and application name (18). Every chain is bounded;
// anything that does not add up leaves the fields empty.
DocumentSummary ReadDocumentSummary(const std::vector<uint8_t>& header, const DocumentSectorReader& read);

}  // namespace orvaldi::fs
