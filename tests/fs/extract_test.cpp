// Extraction of file data: NTFS runs laid out by VCN, sparse and compressed
// units, FAT chains that break or loop, and the leading bytes.
#include "fs/extract.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

#include "fs/fat_state.h"
#include "fs/ntfs_state.h"
#include "platform/sector_source.h"

namespace orvaldi::fs {
namespace {

// A volume of 1,024-byte clusters (2 sectors) whose cluster n is filled with
// the byte n + 1.
struct Volume {
  static constexpr uint32_t kClusterBytes = 1024;
  std::vector<uint8_t> bytes = std::vector<uint8_t>(200 * kClusterBytes);
  disk::PartitionInfo part;
  Volume() {
    for (size_t c = 0; c < 200; ++c) std::memset(bytes.data() + c * kClusterBytes, static_cast<int>(c + 1), kClusterBytes);
    part.sectorsPerCluster = 2;
    part.sectorCount = bytes.size() / 512;
  }
  std::vector<uint8_t> cluster(uint64_t c) const { return std::vector<uint8_t>(kClusterBytes, static_cast<uint8_t>(c + 1)); }
};

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

NtfsRun Extent(uint64_t lcn, uint64_t length) { return NtfsRun{0, lcn, length, false}; }
NtfsRun Hole(uint64_t length) { return NtfsRun{0, 0, length, true}; }

DecodedRecord NonResident(uint64_t size, std::vector<NtfsDataExtent> extents) {
  DecodedRecord r;
  r.nonResidentData = true;
  r.hasDataSizes = true;
  r.dataSize = size;
  r.initializedSize = size;
  r.dataExtents = std::move(extents);
  return r;
}

std::vector<uint8_t> Copy(const Volume& v, const DecodedRecord& r, CopyResult* result = nullptr) {
  platform::MemorySource source(v.bytes);
  MemorySink sink;
  const CopyResult got = CopyNtfsData(&source, v.part, r, sink, {});
  if (result) *result = got;
  EXPECT_EQ(got.written, sink.bytes.size());
  return sink.bytes;
}

TEST(NtfsExtraction, HolesStayInPlaceAndTheSizeCuts) {
  Volume v;
  const std::vector<uint8_t> zeros(Volume::kClusterBytes, 0);
  // clusters 10, a two-cluster hole, 20: the data after the hole keeps its offset
  const auto r = NonResident(3 * 1024 + 100, {{0, {Extent(10, 1), Hole(2), Extent(20, 1)}}});
  const auto want = Concat({v.cluster(10), zeros, zeros, std::vector<uint8_t>(100, 21)});
  EXPECT_EQ(Copy(v, r), want);
}

TEST(NtfsExtraction, ExtentsAreOrderedByVcnWhateverTheRecordOrder) {
  Volume v;
  // An attribute list may name the later extent first.
  const auto r = NonResident(4 * 1024, {{2, {Extent(50, 2)}}, {0, {Extent(30, 2)}}});
  CopyResult result;
  EXPECT_EQ(Copy(v, r, &result), Concat({v.cluster(30), v.cluster(31), v.cluster(50), v.cluster(51)}));
  EXPECT_FALSE(result.damaged);
  // A missing extent (unreadable extension record) leaves zeros, not shifted
  // data, and the file is not whole.
  const auto gap = NonResident(4 * 1024, {{0, {Extent(30, 1)}}, {3, {Extent(50, 1)}}});
  const std::vector<uint8_t> zeros(Volume::kClusterBytes, 0);
  EXPECT_EQ(Copy(v, gap, &result), Concat({v.cluster(30), zeros, zeros, v.cluster(50)}));
  EXPECT_TRUE(result.damaged);
  // Runs that end before the size: the rest is zeros, the length is the size.
  EXPECT_EQ(Copy(v, NonResident(2 * 1024, {{0, {Extent(30, 1)}}}), &result), Concat({v.cluster(30), zeros}));
  EXPECT_TRUE(result.damaged);
  // An attribute list that could not be followed: nothing found is not an empty file.
  DecodedRecord unlisted;
  unlisted.dataIncomplete = true;
  EXPECT_TRUE(Copy(v, unlisted, &result).empty());
  EXPECT_TRUE(result.damaged);
}

TEST(NtfsExtraction, BytesPastTheInitializedSizeAreZero) {
  Volume v;
  auto r = NonResident(2 * 1024, {{0, {Extent(40, 2)}}});
  r.initializedSize = 1500;
  auto want = Concat({v.cluster(40), v.cluster(41)});
  std::fill(want.begin() + 1500, want.end(), 0);
  EXPECT_EQ(Copy(v, r), want);
}

TEST(NtfsExtraction, ResidentDataIsItsValue) {
  Volume v;
  DecodedRecord r;
  r.hasResidentData = true;
  r.residentData.assign(300, 'r');
  EXPECT_EQ(NtfsDataSize(r), 300u);
  EXPECT_EQ(Copy(v, r), std::vector<uint8_t>(300, 'r'));
}

// A unit of 16 clusters whose first clusters hold an LZNT1 stream and the rest are holes.
TEST(NtfsExtraction, CompressedUnitsAreDecompressedOneByOne) {
  Volume v;
  // Cluster 60: one uncompressed chunk of 4,096 bytes cannot fit a 1 KiB
  // cluster, so use a compressed chunk: literal 'A' then a reference that
  // repeats it, producing 4,096 'A's.
  std::vector<uint8_t> stream = {0, 0, 0x02, 'A', 0, 0};
  // token: offset 1 (stored 0), length 4095 (stored 4092) with 12 length bits at position 1
  const uint16_t token = 4092;
  stream[4] = static_cast<uint8_t>(token & 0xFF);
  stream[5] = static_cast<uint8_t>(token >> 8);
  const uint16_t header = static_cast<uint16_t>(0xB000 | (stream.size() - 2 - 1));
  stream[0] = static_cast<uint8_t>(header & 0xFF);
  stream[1] = static_cast<uint8_t>(header >> 8);
  std::memset(v.bytes.data() + 60 * 1024, 0, 1024);
  std::memcpy(v.bytes.data() + 60 * 1024, stream.data(), stream.size());

  // Unit 0: all 16 clusters allocated (stored as is). Unit 1: compressed. Unit 2: all holes.
  auto r = NonResident(40 * 1024, {{0, {Extent(100, 16), Extent(60, 1), Hole(15), Hole(16)}}});
  r.compressedData = true;
  r.compressionUnit = 4;
  std::vector<uint8_t> want;
  for (uint64_t c = 100; c < 116; ++c) want = Concat({want, v.cluster(c)});
  want.insert(want.end(), 4096, 'A');
  want.insert(want.end(), 16 * 1024 - 4096, 0);
  want.insert(want.end(), 8 * 1024, 0);
  CopyResult result;
  EXPECT_EQ(Copy(v, r, &result), want);
  EXPECT_FALSE(result.damaged);

  // ntfs-3g stores an incompressible last unit without a sparse run after it:
  // its clusters are the data as they are.
  auto tail = NonResident(25 * 1024 - 300, {{0, {Extent(100, 16), Extent(150, 9)}}});
  tail.compressedData = true;
  tail.compressionUnit = 4;
  std::vector<uint8_t> stored;
  for (uint64_t c = 100; c < 116; ++c) stored = Concat({stored, v.cluster(c)});
  for (uint64_t c = 150; c < 159; ++c) stored = Concat({stored, v.cluster(c)});
  stored.resize(25 * 1024 - 300);
  EXPECT_EQ(Copy(v, tail, &result), stored);
  EXPECT_FALSE(result.damaged);
  // A one-cluster stream whose sparse filler lies wholly past the data is still compressed.
  auto small = NonResident(1024, {{0, {Extent(60, 1), Hole(15)}}});
  small.compressedData = true;
  small.compressionUnit = 4;
  EXPECT_EQ(Copy(v, small, &result), std::vector<uint8_t>(1024, 'A'));
  EXPECT_FALSE(result.damaged);

  // A corrupt stream is flagged; the unit keeps its place.
  v.bytes[60 * 1024 + 4] = 0xFF;
  v.bytes[60 * 1024 + 5] = 0xFF;  // a reference far before the chunk's start
  EXPECT_EQ(Copy(v, r, &result).size(), 40u * 1024);
  EXPECT_TRUE(result.damaged);
}

TEST(NtfsExtraction, CancelAndRefusedWritesStopTheCopy) {
  Volume v;
  const auto r = NonResident(20 * 1024, {{0, {Extent(10, 20)}}});
  platform::MemorySource source(v.bytes);
  MemorySink sink;
  CopyResult result = CopyNtfsData(&source, v.part, r, sink, [](uint64_t) { return false; });
  EXPECT_EQ(result.status, CopyStatus::kCancelled);
  struct Refusing final : DataSink {
    bool write(const uint8_t*, size_t) override { return false; }
  } refusing;
  result = CopyNtfsData(&source, v.part, r, refusing, {});
  EXPECT_EQ(result.status, CopyStatus::kWriteFailed);
  EXPECT_EQ(result.written, 0u);
}

// FAT32 of 1 KiB clusters over the same volume; clusterZeroSector 0 keeps
// cluster n at byte n x 1,024.
struct FatVolume : Volume {
  FatScanState* state;
  explicit FatVolume(uint32_t entries = 150) {
    part.typeByte = 0x0C;
    part.clusterZeroSector = 0;
    part.fatSizeSectors = entries * 4 / 512 + 1;
    state = &FatStateOf(part);
    state->fatCopy.assign(entries * 4, 0);
  }
  void link(uint32_t from, uint32_t to) { std::memcpy(state->fatCopy.data() + from * 4, &to, 4); }
  std::vector<uint8_t> chain(uint32_t first, uint64_t size, CopyResult* result = nullptr) {
    platform::MemorySource source(bytes);
    MemorySink sink;
    const CopyResult got = CopyFatChain(&source, part, *state, first, size, sink, {});
    if (result) *result = got;
    return sink.bytes;
  }
};

TEST(FatExtraction, ChainsAreFollowedAndStopOnLoopsAndEnds) {
  FatVolume v;
  v.link(10, 11);
  v.link(11, 40);
  v.link(40, 0x0FFFFFFF);
  CopyResult r;
  EXPECT_EQ(v.chain(10, 2500, &r), Concat({v.cluster(10), v.cluster(11), std::vector<uint8_t>(452, 41)}));
  EXPECT_FALSE(r.damaged);
  // The size is longer than the chain: what the chain holds, flagged.
  EXPECT_EQ(v.chain(10, 5000, &r).size(), 3u * 1024);
  EXPECT_TRUE(r.damaged);
  // A loop ends at the cluster already read.
  v.link(40, 10);
  EXPECT_EQ(v.chain(10, 100 * 1024, &r).size(), 3u * 1024);
  EXPECT_TRUE(r.damaged);
  // A first cluster outside the FAT gives nothing.
  EXPECT_TRUE(v.chain(5000, 100, &r).empty());
  EXPECT_EQ(r.status, CopyStatus::kNoData);
  EXPECT_TRUE(v.chain(1, 100, &r).empty());
  EXPECT_EQ(r.status, CopyStatus::kNoData);
  // A released chain (free first entry) is read as a deleted file's.
  EXPECT_EQ(v.chain(70, 2048, &r), Concat({v.cluster(70), v.cluster(71)}));
  EXPECT_EQ(r.status, CopyStatus::kComplete);
  EXPECT_FALSE(r.damaged);
}

// A chain is known only as far as its entries were read and its clusters
// could be read: beyond that the copy may not pass for whole.
TEST(FatExtraction, UnknownEntriesAndUnreadableClustersFlagTheCopy) {
  FatVolume v;
  // Entries 0-127 sit in FAT sector 0, 128-149 in sector 1.
  v.link(120, 121);
  v.link(121, 130);
  v.link(130, 131);
  v.link(131, 0x0FFFFFFF);
  CopyResult r;
  ASSERT_EQ(v.chain(120, 4096, &r), Concat({v.cluster(120), v.cluster(121), v.cluster(130), v.cluster(131)}));
  EXPECT_FALSE(r.damaged);
  // Sector 1 could not be read from any FAT copy: its entries are zero.
  v.state->unreadableFatSectors = {1};
  std::fill(v.state->fatCopy.begin() + 512, v.state->fatCopy.end(), 0);
  v.chain(120, 4096, &r);
  EXPECT_TRUE(r.damaged);
  // A zero first entry in such a sector is no released chain: the guess
  // (contiguous clusters) is flagged.
  EXPECT_EQ(v.chain(130, 2048, &r), Concat({v.cluster(130), v.cluster(131)}));
  EXPECT_EQ(r.status, CopyStatus::kComplete);
  EXPECT_TRUE(r.damaged);
  // A data sector that cannot be read.
  v.state->unreadableFatSectors.clear();
  v.link(130, 131);
  v.link(131, 0x0FFFFFFF);
  platform::MemorySource inner(v.bytes);
  platform::FaultySource faulty(inner, {121 * 2 + 1});
  MemorySink sink;
  r = CopyFatChain(&faulty, v.part, *v.state, 120, 4096, sink, {});
  EXPECT_EQ(r.status, CopyStatus::kComplete);
  EXPECT_TRUE(r.readErrors);
  EXPECT_EQ(sink.bytes.size(), 4096u);
}

// A deleted file that was written into a hole too small for it went on after
// the existing file bounding the hole: that file's clusters are passed over.
TEST(FatExtraction, DeletedFilesPassOverClustersOfExistingFiles) {
  FatVolume v;
  v.link(12, 13);  // an existing file in clusters 12-13
  v.link(13, 0x0FFFFFFF);
  platform::MemorySource source(v.bytes);
  const auto deleted = [&](uint32_t first, uint64_t size, CopyResult& r) {
    MemorySink sink;
    r = CopyFatDeleted(&source, v.part, *v.state, first, size, sink, {});
    return sink.bytes;
  };
  CopyResult r;
  EXPECT_EQ(deleted(10, 3500, r), Concat({v.cluster(10), v.cluster(11), v.cluster(14), std::vector<uint8_t>(428, 16)}));
  EXPECT_FALSE(r.damaged);
  // A first cluster that an existing file holds now: its bytes are that file's.
  deleted(12, 1024, r);
  EXPECT_TRUE(r.damaged);
  // A cluster whose entry no FAT copy gave may be anyone's.
  v.state->unreadableFatSectors = {0};
  deleted(10, 3500, r);
  EXPECT_TRUE(r.damaged);
  v.state->unreadableFatSectors.clear();
  // The FAT ends before the size: what was there, flagged.
  EXPECT_EQ(deleted(148, 4096, r).size(), 2048u);
  EXPECT_TRUE(r.damaged);
  // A released chain (existing file, free first entry) is read the same way.
  EXPECT_EQ(v.chain(11, 2048, &r), Concat({v.cluster(11), v.cluster(14)}));
}

TEST(LeadingBytes, AtMostTheSizeRoundedToWholeSectors) {
  FatVolume v;
  v.link(10, 11);
  v.link(11, 0x0FFFFFFF);
  FatNode file;
  file.flags = node_kind::kFile;
  file.firstCluster = 10;
  file.size = 1500;
  platform::MemorySource source(v.bytes);
  auto lead = FatLeadingBytes(&source, v.part, file, 4096);
  ASSERT_EQ(lead.size(), 1536u);
  EXPECT_TRUE(std::equal(lead.begin(), lead.begin() + 1024, v.cluster(10).begin()));
  EXPECT_EQ(lead[1024], 12);
  EXPECT_EQ(lead[1499], 12);
  EXPECT_EQ(lead[1500], 0);
  EXPECT_EQ(FatLeadingBytes(&source, v.part, file, 100).size(), 512u);
  file.size = 0;
  EXPECT_TRUE(FatLeadingBytes(&source, v.part, file, 100).empty());
  // A deleted file: its first cluster only, the chain being free.
  file.flags = node_kind::kDeletedFile;
  file.size = 3000;
  lead = FatLeadingBytes(&source, v.part, file, 4096);
  EXPECT_EQ(lead.size(), 1024u);
}

}  // namespace
}  // namespace orvaldi::fs
