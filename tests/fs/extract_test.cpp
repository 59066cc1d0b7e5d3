// Extraction of file data: NTFS runs laid out by VCN, sparse and compressed
// units, FAT chains that break or loop.
#include "fs/extract.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "fs/fat_state.h"
#include "fs/ntfs_state.h"
#include "platform/sector_source.h"

namespace orvaldi::fs {
namespace {

// A volume of 1,024-byte clusters (2 sectors) whose cluster n is filled with
// the byte n + 1, except cluster 60: an LZNT1 stream that unpacks to 4,096 'A's
// (a literal 'A' and one reference that repeats it).
struct Volume {
  static constexpr uint32_t kClusterBytes = 1024;
  std::vector<uint8_t> bytes = std::vector<uint8_t>(200 * kClusterBytes);
  disk::PartitionInfo part;
  Volume() {
    for (size_t c = 0; c < 200; ++c)
      std::memset(bytes.data() + c * kClusterBytes, static_cast<int>(c + 1), kClusterBytes);
    const uint8_t stream[] = {0x03, 0xB0, 0x02, 'A', 0xFC, 0x0F};  // chunk header, flags, 'A', offset 1 length 4095
    std::memset(bytes.data() + 60 * kClusterBytes, 0, kClusterBytes);
    std::memcpy(bytes.data() + 60 * kClusterBytes, stream, sizeof stream);
    part.sectorsPerCluster = 2;
    part.sectorCount = bytes.size() / 512;
  }
  std::vector<uint8_t> clusters(uint64_t first, uint64_t count = 1) const {
    std::vector<uint8_t> out;
    for (uint64_t c = first; c < first + count; ++c) out.insert(out.end(), kClusterBytes, static_cast<uint8_t>(c + 1));
    return out;
  }
};

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
std::vector<uint8_t> Bytes(size_t n, uint8_t value = 0) { return std::vector<uint8_t>(n, value); }

NtfsRun Extent(uint64_t lcn, uint64_t length) { return NtfsRun{0, lcn, length, false}; }
NtfsRun Hole(uint64_t length) { return NtfsRun{0, 0, length, true}; }

DecodedRecord NonResident(uint64_t size, std::vector<NtfsDataExtent> extents, unsigned compressionUnit = 0) {
  DecodedRecord r;
  r.nonResidentData = true;
  r.hasDataSizes = true;
  r.dataSize = size;
  r.initializedSize = size;
  r.dataExtents = std::move(extents);
  r.compressedData = compressionUnit != 0;
  r.compressionUnit = static_cast<uint8_t>(compressionUnit);
  return r;
}

std::vector<uint8_t> Copy(const Volume& v, const DecodedRecord& r, CopyResult& result) {
  platform::MemorySource source(v.bytes);
  MemorySink sink;
  result = CopyNtfsData(&source, v.part, r, sink, {});
  EXPECT_EQ(result.written, sink.bytes.size());
  return sink.bytes;
}

TEST(NtfsExtraction, RunsHolesSizesAndCompressedUnits) {
  const Volume v;
  const auto k = Volume::kClusterBytes;
  auto initialized = NonResident(2 * k, {{0, {Extent(40, 2)}}});
  initialized.initializedSize = 1500;
  DecodedRecord unlisted;  // an attribute list that could not be followed: nothing found is not an empty file
  unlisted.dataIncomplete = true;
  const std::vector<uint8_t> unpacked = Concat({Bytes(4096, 'A'), Bytes(16 * k - 4096)});
  const struct {
    const char* what;
    DecodedRecord record;
    std::vector<uint8_t> want;
    bool damaged;
  } cases[] = {
      {"a hole stays in place, the size cuts", NonResident(3 * k + 100, {{0, {Extent(10, 1), Hole(2), Extent(20, 1)}}}),
       Concat({v.clusters(10), Bytes(2 * k), Bytes(100, 21)}), false},
      {"extents by VCN whatever the record order", NonResident(4 * k, {{2, {Extent(50, 2)}}, {0, {Extent(30, 2)}}}),
       Concat({v.clusters(30, 2), v.clusters(50, 2)}), false},
      {"a missing extent leaves zeros, not shifted data",
       NonResident(4 * k, {{0, {Extent(30, 1)}}, {3, {Extent(50, 1)}}}),
       Concat({v.clusters(30), Bytes(2 * k), v.clusters(50)}), true},
      {"runs that end before the size", NonResident(2 * k, {{0, {Extent(30, 1)}}}), Concat({v.clusters(30), Bytes(k)}),
       true},
      {"an extent list not followed", unlisted, {}, true},
      {"bytes past the initialized size are zero", initialized, Concat({v.clusters(40), Bytes(476, 42), Bytes(548)}),
       false},
      // Unit 0 stored as is, unit 1 compressed, unit 2 all holes.
      {"compressed units one by one",
       NonResident(40 * k, {{0, {Extent(100, 16), Extent(60, 1), Hole(15), Hole(16)}}}, 4),
       Concat({v.clusters(100, 16), unpacked, Bytes(8 * k)}), false},
      // ntfs-3g stores an incompressible last unit without a sparse run after it.
      {"a stored last unit", NonResident(25 * k - 300, {{0, {Extent(100, 16), Extent(150, 9)}}}, 4),
       Concat({v.clusters(100, 16), v.clusters(150, 8), Bytes(k - 300, 159)}), false},
      {"a sparse filler wholly past the data", NonResident(k, {{0, {Extent(60, 1), Hole(15)}}}, 4), Bytes(k, 'A'),
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CopyResult result;
    EXPECT_EQ(Copy(v, c.record, result), c.want);
    EXPECT_EQ(result.damaged, c.damaged);
  }
  // A corrupt stream is flagged; the unit keeps its place.
  Volume corrupt;
  corrupt.bytes[60 * k + 4] = 0xFF;
  corrupt.bytes[60 * k + 5] = 0xFF;  // a reference far before the chunk's start
  CopyResult result;
  EXPECT_EQ(Copy(corrupt, cases[6].record, result).size(), 40u * k);
  EXPECT_TRUE(result.damaged);
}

TEST(NtfsExtraction, CancelAndRefusedWritesStopTheCopy) {
  const Volume v;
  const auto r = NonResident(20 * 1024, {{0, {Extent(10, 20)}}});
  platform::MemorySource source(v.bytes);
  MemorySink sink;
  EXPECT_EQ(CopyNtfsData(&source, v.part, r, sink, [](uint64_t) { return false; }).status, CopyStatus::kCancelled);
  struct Refusing final : DataSink {
    bool write(const uint8_t*, size_t) override { return false; }
  } refusing;
  const CopyResult result = CopyNtfsData(&source, v.part, r, refusing, {});
  EXPECT_EQ(std::pair(result.status, result.written), std::pair(CopyStatus::kWriteFailed, uint64_t{0}));
}

// FAT32 of 1 KiB clusters over the same volume; clusterZeroSector 0 keeps
// cluster n at byte n x 1,024. 150 entries: 0-127 in FAT sector 0, the rest in 1.
struct FatVolume : Volume {
  FatScanState* state;
  FatVolume() {
    part.typeByte = 0x0C;
    part.fatSizeSectors = 150 * 4 / 512 + 1;
    state = &FatStateOf(part);
    state->fatCopy.assign(150 * 4, 0);
  }
  void link(uint32_t from, uint32_t to) { std::memcpy(state->fatCopy.data() + from * 4, &to, 4); }
};

constexpr uint32_t kEnd = 0x0FFFFFFF;

struct ChainCase {
  const char* what;
  std::vector<std::pair<uint32_t, uint32_t>> links;
  bool deleted;  // copied as a deleted file, not through its chain
  uint32_t first;
  uint64_t size;
  std::vector<uint32_t> clusters;  // what comes out, cut to the size
  bool damaged;
  std::vector<uint32_t> unreadableFat = {};  // FAT sectors no copy gave (their entries zero)
  std::set<uint64_t> badSectors = {};        // data sectors that cannot be read
  CopyStatus status = CopyStatus::kComplete;
};

const std::vector<std::pair<uint32_t, uint32_t>> kChain = {{10, 11}, {11, 40}, {40, kEnd}};
const std::vector<std::pair<uint32_t, uint32_t>> kLoop = {{10, 11}, {11, 40}, {40, 10}};
const std::vector<std::pair<uint32_t, uint32_t>> kExisting = {{12, 13}, {13, kEnd}};  // a file in 12-13

// Whole chains, across FAT sectors, and a deleted file written around an
// existing one come back byte for byte from the fixtures (save_engine_test's
// FatRecovery); these are the chains and FATs no image holds.
const ChainCase kChainCases[] = {
    {"a size beyond the chain: what it holds, flagged", kChain, false, 10, 5000, {10, 11, 40}, true},
    {"a loop ends at the cluster already read", kLoop, false, 10, 100 * 1024, {10, 11, 40}, true},
    {"a first cluster just past the FAT", kChain, false, 150, 100, {}, false, {}, {}, CopyStatus::kNoData},
    {"a reserved first cluster", kChain, false, 1, 100, {}, false, {}, {}, CopyStatus::kNoData},
    {"a released chain (free first entry) is read as a deleted file", kChain, false, 70, 2048, {70, 71}, false},
    {"a chain into a FAT sector no copy gave", {{120, 121}, {121, 130}}, false, 120, 4096, {120, 121, 130}, true, {1}},
    // A zero first entry in such a sector is no released chain: the guess is flagged.
    {"a first entry no copy gave", {}, false, 130, 2048, {130, 131}, true, {1}},
    {"an unreadable data sector", kChain, false, 10, 2500, {10, 11, 40}, false, {}, {11 * 2 + 1}},
    // A file written into a hole too small for it went on after the file bounding the hole.
    {"a deleted file's first cluster held by an existing file", kExisting, true, 12, 1024, {12}, true},
    {"a deleted file over entries no copy gave", kExisting, true, 10, 3500, {10, 11, 14, 15}, true, {0}},
    {"a deleted file running off the FAT", kExisting, true, 148, 4096, {148, 149}, true},
    {"a released chain passes over an existing file", kExisting, false, 11, 2048, {11, 14}, false},
};

TEST(FatExtraction, ChainsAndDeletedFiles) {
  for (const ChainCase& c : kChainCases) {
    SCOPED_TRACE(c.what);
    FatVolume v;
    for (const auto& [from, to] : c.links) v.link(from, to);
    v.state->unreadableFatSectors = c.unreadableFat;
    platform::MemorySource memory(v.bytes);
    platform::FaultySource source(memory, c.badSectors);
    MemorySink sink;
    const CopyResult r = c.deleted ? CopyFatDeleted(&source, v.part, *v.state, c.first, c.size, sink, {})
                                   : CopyFatChain(&source, v.part, *v.state, c.first, c.size, sink, {});
    std::vector<uint8_t> want;
    for (uint32_t cluster : c.clusters) want = Concat({want, v.clusters(cluster)});
    for (uint64_t sector : c.badSectors) {
      const auto at = std::find(c.clusters.begin(), c.clusters.end(), sector / 2) - c.clusters.begin();
      std::fill_n(want.begin() + at * 1024 + (sector % 2) * 512, 512, 0);
    }
    if (want.size() > c.size) want.resize(c.size);
    EXPECT_EQ(sink.bytes, want);
    EXPECT_EQ(r.damaged, c.damaged);
    EXPECT_EQ(r.readErrors, !c.badSectors.empty());
    EXPECT_EQ(r.status, c.status);
  }
}

}  // namespace
}  // namespace orvaldi::fs
