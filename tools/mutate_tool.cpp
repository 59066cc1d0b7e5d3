// orvaldi-mutate: writes a damaged copy of a disk image (or of a file the tools save), the damage
// aimed at one kind of on-disk structure, for tools/mutate.sh to run every command on.
//
//   orvaldi-mutate KIND SEED INPUT OUTPUT
//
// The structures are found from the input's own bytes (boot sectors, partition entries, FAT
// geometry, "FILE", "INDX", "LABELONE", "PRIVHEAD", "VBLK" and so on), not from offsets known in
// advance, so a fixture made anew keeps being hit where it matters. The same KIND, SEED and INPUT
// always give the same OUTPUT; the line printed names every byte changed, so a finding can be
// reduced by hand. Exit 0: written; 2: bad command line; 3: INPUT holds no such structure.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

// A structure the input does not have (or a value of the pristine input that points outside it).
struct Missing {
  std::string what;
};

// splitmix64: small, and the same sequence on every platform and library.
struct Rng {
  uint64_t s;
  uint64_t next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint64_t below(uint64_t n) { return n == 0 ? 0 : next() % n; }
  bool chance(unsigned pct) { return below(100) < pct; }
  template <class T>
  const T& pick(const std::vector<T>& v) {
    if (v.empty()) throw Missing{"an empty choice"};
    return v[below(v.size())];
  }
};

std::string Hex(uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

uint64_t MaxOf(int width) { return width >= 8 ? ~0ull : (1ull << (8 * width)) - 1; }

struct Image {
  std::vector<uint8_t> bytes;
  bool bigEndian = false;  // the dynamic-disk database is big-endian
  std::vector<std::string> notes;

  bool has(uint64_t off, uint64_t n) const { return off <= bytes.size() && n <= bytes.size() - off; }
  void need(uint64_t off, uint64_t n, const char* what) const {
    if (!has(off, n)) throw Missing{std::string(what) + " at " + Hex(off) + " lies outside the input"};
  }
  uint64_t get(uint64_t off, int w) const {
    need(off, w, "a field");
    uint64_t v = 0;
    for (int i = 0; i < w; ++i) {
      const uint64_t b = bytes[off + (bigEndian ? i : w - 1 - i)];
      v = (v << 8) | b;
    }
    return v;
  }
  uint64_t le(uint64_t off, int w) const {
    need(off, w, "a field");
    uint64_t v = 0;
    for (int i = w - 1; i >= 0; --i) v = (v << 8) | bytes[off + i];
    return v;
  }
  void put(uint64_t off, int w, uint64_t v, const std::string& what) {
    need(off, w, "a field");
    const uint64_t old = get(off, w);
    for (int i = 0; i < w; ++i) {
      const int shift = 8 * (bigEndian ? w - 1 - i : i);
      bytes[off + i] = static_cast<uint8_t>(v >> shift);
    }
    notes.push_back(what + "@" + Hex(off) + "/" + std::to_string(w) + " " + Hex(old) + "->" + Hex(v & MaxOf(w)));
  }
  void putLe(uint64_t off, int w, uint64_t v, const std::string& what) {
    const bool was = bigEndian;
    bigEndian = false;
    put(off, w, v, what);
    bigEndian = was;
  }
  bool magic(uint64_t off, const char* m) const {
    const size_t n = std::strlen(m);
    return has(off, n) && std::memcmp(&bytes[off], m, n) == 0;
  }
  void copy(uint64_t from, uint64_t to, uint64_t n, const std::string& what) {
    need(from, n, "a copied block");
    need(to, n, "a copied block");
    std::memmove(&bytes[to], &bytes[from], n);
    notes.push_back(what + " " + Hex(from) + "->" + Hex(to) + " (" + std::to_string(n) + " bytes)");
  }
  void truncate(uint64_t size) {
    if (size < bytes.size()) {
      notes.push_back("cut at " + Hex(size) + " of " + Hex(bytes.size()));
      bytes.resize(size);
    }
  }
};

struct Field {
  uint64_t off;
  int width;
  std::string name;
};

// Values that make a parser's arithmetic or its bounds checks work.
uint64_t Interesting(Rng& rng, uint64_t old, int width, uint64_t inputBytes) {
  const uint64_t max = MaxOf(width);
  switch (rng.below(12)) {
    case 0:
      return 0;
    case 1:
      return max;
    case 2:
      return max >> 1;
    case 3:
      return (max >> 1) + 1;
    case 4:
      return old + 1;
    case 5:
      return old - 1;
    case 6:
      return old * 2;
    case 7:
      return old << (4 + rng.below(28));
    case 8:
      return 1;
    case 9:
      return 2 + rng.below(15);
    case 10:
      return rng.chance(50) ? inputBytes / 512 : inputBytes / 512 + 1 + rng.below(64);
    default:
      return rng.next();
  }
}

void SetField(Image& img, Rng& rng, const Field& f) {
  img.put(f.off, f.width, Interesting(rng, img.get(f.off, f.width), f.width, img.bytes.size()), f.name);
}

// Damage to a block with no more knowledge of it than its place: a field, flipped bytes, a run
// of zeros or of 0xFF.
void Scramble(Image& img, Rng& rng, uint64_t off, uint64_t len, const std::string& what) {
  if (!img.has(off, len) || len == 0) throw Missing{what + " lies outside the input"};
  switch (rng.below(4)) {
    case 0: {
      const int width = 1 << rng.below(4);
      if (len < static_cast<uint64_t>(width)) return Scramble(img, rng, off, len, what);
      const uint64_t at = off + (rng.below(len - width + 1) & ~static_cast<uint64_t>(width - 1));
      SetField(img, rng, {at, width, what});
      return;
    }
    case 1:
      for (uint64_t i = 0, n = 1 + rng.below(6); i < n; ++i) {
        const uint64_t at = off + rng.below(len);
        img.put(at, 1, img.get(at, 1) ^ (1 + rng.below(255)), what + " flip");
      }
      return;
    default: {
      const uint64_t n = std::min<uint64_t>(len, 1 + rng.below(64));
      const uint64_t at = off + rng.below(len - n + 1);
      const uint8_t fill = rng.chance(50) ? 0 : 0xFF;
      std::fill_n(img.bytes.begin() + static_cast<std::ptrdiff_t>(at), n, fill);
      img.notes.push_back(what + " " + std::to_string(n) + " bytes of " + Hex(fill) + "@" + Hex(at));
    }
  }
}

void MutateFields(Image& img, Rng& rng, const std::vector<Field>& fields, uint64_t off, uint64_t len,
                  const std::string& what) {
  if (!fields.empty() && rng.chance(70)) return SetField(img, rng, rng.pick(fields));
  Scramble(img, rng, off, len, what);
}

// ------------------------------------------------------------------ checksums

uint32_t Crc32(const uint8_t* p, size_t n, uint32_t crc, bool finalXor) {
  static const std::vector<uint32_t> table = [] {
    std::vector<uint32_t> t(256);
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  for (size_t i = 0; i < n; ++i) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return finalXor ? ~crc : crc;
}
uint32_t Ieee(const Image& img, uint64_t off, uint64_t n) {
  img.need(off, n, "a checksummed block");
  return Crc32(&img.bytes[off], n, 0xFFFFFFFFu, true);
}

// ------------------------------------------------------------------ volumes

bool IsBootSector(const Image& img, uint64_t off) {
  if (!img.has(off, 512) || img.le(off + 510, 2) != 0xAA55) return false;
  if (img.magic(off + 3, "NTFS    ") || img.magic(off + 3, "EXFAT   ")) return true;
  const uint64_t bps = img.le(off + 11, 2), spc = img.le(off + 13, 1);
  const bool pow2 = bps >= 512 && bps <= 4096 && (bps & (bps - 1)) == 0 && spc && (spc & (spc - 1)) == 0;
  return pow2 && (img.magic(off + 54, "FAT") || img.magic(off + 82, "FAT"));
}

// The first FAT, NTFS or exFAT volume: the whole input, or one an MBR or GPT entry leads to.
uint64_t FindVolume(const Image& img) {
  if (IsBootSector(img, 0)) return 0;
  std::vector<uint64_t> starts;
  if (img.has(0, 512) && img.le(510, 2) == 0xAA55) {
    for (int i = 0; i < 4; ++i) starts.push_back(img.le(446 + 16 * i + 8, 4) * 512);
  }
  if (img.magic(512, "EFI PART")) {
    const uint64_t lba = img.le(512 + 72, 8), count = std::min<uint64_t>(img.le(512 + 80, 4), 128);
    const uint64_t size = img.le(512 + 84, 4);
    for (uint64_t i = 0; i < count && size >= 128 && size <= 4096; ++i) {
      const uint64_t e = lba * 512 + i * size;
      if (img.has(e, 48)) starts.push_back(img.le(e + 32, 8) * 512);
    }
  }
  for (const uint64_t s : starts) {
    if (s && IsBootSector(img, s)) return s;
  }
  throw Missing{"no FAT, NTFS or exFAT boot sector"};
}

std::vector<Field> BootFields(const Image& img, uint64_t v) {
  std::vector<Field> f = {{v + 11, 2, "bytes/sector"}, {v + 13, 1, "sectors/cluster"}, {v + 510, 2, "signature"}};
  if (img.magic(v + 3, "NTFS    ")) {
    f.insert(f.end(), {{v + 40, 8, "total sectors"},
                       {v + 48, 8, "MFT cluster"},
                       {v + 56, 8, "MFT mirror cluster"},
                       {v + 64, 1, "record size"},
                       {v + 68, 1, "index block size"}});
  } else if (img.magic(v + 3, "EXFAT   ")) {
    f = {{v + 64, 8, "partition offset"}, {v + 72, 8, "volume length"},       {v + 80, 4, "FAT offset"},
         {v + 84, 4, "FAT length"},       {v + 88, 4, "heap offset"},         {v + 92, 4, "cluster count"},
         {v + 96, 4, "root cluster"},     {v + 108, 1, "bytes/sector shift"}, {v + 109, 1, "sectors/cluster shift"},
         {v + 110, 1, "FAT count"},       {v + 510, 2, "signature"}};
  } else {
    f.insert(f.end(), {{v + 14, 2, "reserved sectors"},
                       {v + 16, 1, "FAT count"},
                       {v + 17, 2, "root entries"},
                       {v + 19, 2, "total sectors 16"},
                       {v + 22, 2, "FAT size 16"},
                       {v + 28, 4, "hidden sectors"},
                       {v + 32, 4, "total sectors 32"}});
    if (img.le(v + 22, 2) == 0) {
      f.insert(f.end(), {{v + 36, 4, "FAT size 32"},
                         {v + 44, 4, "root cluster"},
                         {v + 48, 2, "FSInfo sector"},
                         {v + 50, 2, "backup boot sector"}});
    }
  }
  return f;
}

void MutateBoot(Image& img, Rng& rng) {
  const uint64_t v = FindVolume(img);
  MutateFields(img, rng, BootFields(img, v), v, 512, "boot sector");
}

struct FatGeometry {
  uint64_t vol, bps, spc, rsvd, nfat, fatSectors, rootEntries, clusters, rootCluster;
  bool fat32;
  uint64_t fatOff(uint64_t i) const { return vol + (rsvd + i * fatSectors) * bps; }
  uint64_t rootDirOff() const { return fatOff(nfat); }
  uint64_t dataOff() const { return rootDirOff() + (rootEntries * 32 + bps - 1) / bps * bps; }
  uint64_t clusterBytes() const { return spc * bps; }
  uint64_t clusterOff(uint64_t c) const { return dataOff() + (c - 2) * clusterBytes(); }
  int entryBytes() const { return fat32 ? 4 : 2; }
};

FatGeometry ReadFat(const Image& img) {
  const uint64_t v = FindVolume(img);
  if (img.magic(v + 3, "NTFS    ") || img.magic(v + 3, "EXFAT   ")) throw Missing{"the volume is not FAT"};
  FatGeometry g{};
  g.vol = v;
  g.bps = img.le(v + 11, 2);
  g.spc = img.le(v + 13, 1);
  g.rsvd = img.le(v + 14, 2);
  g.nfat = img.le(v + 16, 1);
  g.rootEntries = img.le(v + 17, 2);
  g.fatSectors = img.le(v + 22, 2);
  g.fat32 = g.fatSectors == 0;
  if (g.fat32) g.fatSectors = img.le(v + 36, 4);
  uint64_t total = img.le(v + 19, 2);
  if (total == 0) total = img.le(v + 32, 4);
  if (g.nfat == 0 || g.fatSectors == 0 || g.rsvd == 0) throw Missing{"a FAT geometry"};
  const uint64_t dataSectors = total - std::min(total, (g.dataOff() - v) / g.bps);
  g.clusters = std::min(dataSectors / g.spc, g.fatSectors * g.bps / g.entryBytes() - 2);
  g.rootCluster = g.fat32 ? img.le(v + 44, 4) : 0;
  return g;
}

void PutFatEntry(Image& img, const FatGeometry& g, uint64_t c, uint64_t value, bool allCopies) {
  for (uint64_t i = 0; i < (allCopies ? g.nfat : 1); ++i) {
    img.put(g.fatOff(i) + c * g.entryBytes(), g.entryBytes(), value,
            "FAT" + std::to_string(i) + "[" + std::to_string(c) + "]");
  }
}

// The clusters whose FAT entry leads on to another cluster of the volume.
std::vector<uint64_t> FatLinks(const Image& img, const FatGeometry& g) {
  std::vector<uint64_t> links;
  const uint64_t mask = g.fat32 ? 0x0FFFFFFF : 0xFFFF;
  for (uint64_t c = 2; c < std::min<uint64_t>(g.clusters + 2, 1u << 20); ++c) {
    const uint64_t n = img.le(g.fatOff(0) + c * g.entryBytes(), g.entryBytes()) & mask;
    if (n >= 2 && n < g.clusters + 2) links.push_back(c);
  }
  if (links.empty()) throw Missing{"a FAT chain"};
  return links;
}

void MutateFat(Image& img, Rng& rng) {
  const FatGeometry g = ReadFat(img);
  const std::vector<uint64_t> links = FatLinks(img, g);
  const uint64_t c = rng.pick(links);
  const uint64_t mask = g.fat32 ? 0x0FFFFFFF : 0xFFFF;
  const uint64_t n = img.le(g.fatOff(0) + c * g.entryBytes(), g.entryBytes()) & mask;
  const bool all = rng.chance(50);
  switch (rng.below(8)) {
    case 0:
      return PutFatEntry(img, g, c, c, all);  // a cluster that leads to itself
    case 1:
      return PutFatEntry(img, g, n, c, all);  // two that lead to each other
    case 2:
      return PutFatEntry(img, g, c, rng.pick(links), all);  // a cross-link, maybe a longer cycle
    case 3:
      return PutFatEntry(img, g, c, g.clusters + 2 + rng.below(1000), all);  // beyond the volume
    case 4:
      return PutFatEntry(img, g, c, 0, all);  // a free cluster inside a chain
    case 5:
      return PutFatEntry(img, g, c, mask - 8, all);  // a bad cluster inside a chain
    case 6:
      return PutFatEntry(img, g, c, 1, all);
    default:
      if (g.fat32) return PutFatEntry(img, g, c, n | 0xF0000000u, all);  // the reserved high bits set
      return Scramble(img, rng, g.fatOff(0), g.fatSectors * g.bps, "FAT");
  }
}

struct DirBlock {
  uint64_t off, len, cluster;  // cluster 0: the FAT16 root folder
};

uint64_t EntryCluster(const Image& img, uint64_t e) { return img.le(e + 20, 2) << 16 | img.le(e + 26, 2); }

std::vector<DirBlock> FatFolders(const Image& img, const FatGeometry& g) {
  std::vector<DirBlock> blocks;
  if (g.fat32) {
    if (g.rootCluster < 2 || g.rootCluster >= g.clusters + 2) throw Missing{"a root cluster"};
    blocks.push_back({g.clusterOff(g.rootCluster), g.clusterBytes(), g.rootCluster});
  } else {
    blocks.push_back({g.rootDirOff(), g.rootEntries * 32, 0});
  }
  std::set<uint64_t> seen = {g.rootCluster};
  for (size_t i = 0; i < blocks.size() && blocks.size() < 64; ++i) {
    for (uint64_t e = blocks[i].off; e + 32 <= blocks[i].off + blocks[i].len && img.has(e, 32); e += 32) {
      const uint64_t first = img.le(e, 1), attr = img.le(e + 11, 1), c = EntryCluster(img, e);
      if (first == 0 || first == 0xE5 || first == '.' || attr == 0x0F || !(attr & 0x10)) continue;
      if (c >= 2 && c < g.clusters + 2 && seen.insert(c).second && img.has(g.clusterOff(c), g.clusterBytes())) {
        blocks.push_back({g.clusterOff(c), g.clusterBytes(), c});
      }
    }
  }
  return blocks;
}

void PutCluster(Image& img, uint64_t e, uint64_t c, const std::string& what) {
  img.putLe(e + 26, 2, c & 0xFFFF, what + " cluster lo");
  img.putLe(e + 20, 2, c >> 16, what + " cluster hi");
}

void MutateDirectory(Image& img, Rng& rng) {
  const FatGeometry g = ReadFat(img);
  const std::vector<DirBlock> blocks = FatFolders(img, g);
  struct Slot {
    uint64_t off;
    const DirBlock* block;
  };
  std::vector<Slot> slots;
  for (const DirBlock& b : blocks) {
    for (uint64_t e = b.off; e + 32 <= b.off + b.len; e += 32) {
      if (img.le(e, 1) != 0) slots.push_back({e, &b});
    }
  }
  const Slot s = rng.pick(slots);
  const uint64_t e = s.off;
  const std::string what = "entry@" + Hex(e);
  const DirBlock& sub = rng.pick(blocks);
  switch (rng.below(10)) {
    case 0:
      return PutCluster(img, e, s.block->cluster, what + " -> own folder");  // a folder inside itself
    case 1:
      return PutCluster(img, e, blocks.front().cluster, what + " -> root");
    case 2:
      return PutCluster(img, e, rng.chance(50) ? 0x0FFFFFFF : g.clusters + 2 + rng.below(100), what);
    case 3:
      return img.putLe(e + 28, 4, rng.chance(50) ? 0xFFFFFFFF : g.clusters * g.clusterBytes() + 1, what + " size");
    case 4:
      return img.putLe(e + 11, 1, img.le(e + 11, 1) ^ 0x10, what + " folder bit");
    case 5:
      if (img.le(e + 11, 1) == 0x0F) return img.putLe(e, 1, rng.chance(50) ? 0x7F : 0x41, what + " name ordinal");
      return img.putLe(e + 11, 1, 0x0F, what + " attribute -> long name");
    case 6:
      return img.putLe(e, 1, rng.pick(std::vector<uint64_t>{0xE5, 0x00, 0x05, '.', 0x20}), what + " first byte");
    case 7:
      return Scramble(img, rng, e, 32, what);
    case 8:  // one folder's block written over another's: two folders with the same entries
      if (&sub != s.block) return img.copy(sub.off, s.block->off, std::min(sub.len, s.block->len), "folder copy");
      return Scramble(img, rng, e, 32, what);
    default:  // a sub-folder whose ".." (or ".") names a folder below it
      if (s.block->cluster && img.le(s.block->off, 1) == '.') {
        return PutCluster(img, s.block->off + 32 * rng.below(2), sub.cluster, "dot entry@" + Hex(s.block->off));
      }
      return PutCluster(img, e, sub.cluster, what + " -> another folder");
  }
}

// ------------------------------------------------------------------ partition tables

std::vector<Field> MbrEntryFields(uint64_t base) {
  std::vector<Field> f;
  for (int i = 0; i < 4; ++i) {
    const uint64_t e = base + 446 + 16 * i;
    const std::string n = "entry" + std::to_string(i);
    f.insert(f.end(), {{e, 1, n + " boot flag"},
                       {e + 4, 1, n + " type"},
                       {e + 8, 4, n + " start"},
                       {e + 12, 4, n + " sectors"},
                       {e + 1, 3, n + " CHS start"}});
  }
  f.push_back({base + 510, 2, "signature"});
  return f;
}

void MutateMbr(Image& img, Rng& rng) {
  if (!img.has(0, 512) || img.le(510, 2) != 0xAA55) throw Missing{"an MBR"};
  const uint64_t e = 446 + 16 * rng.below(4);
  switch (rng.below(4)) {
    case 0:
      return img.put(e + 4, 1,
                     rng.pick(std::vector<uint64_t>{0x05, 0x0F, 0x85, 0xEE, 0x42, 0x8E, 0x07, 0x0B, 0x0C, 0x06}),
                     "entry type");
    case 1:
      return img.copy(446 + 16 * rng.below(4), e, 16, "entry copy");  // overlapping partitions
    default:
      return MutateFields(img, rng, MbrEntryFields(0), 446, 66, "MBR");
  }
}

void MutateEbr(Image& img, Rng& rng) {
  if (!img.has(0, 512) || img.le(510, 2) != 0xAA55) throw Missing{"an MBR"};
  uint64_t extEntry = 0, ext = 0;
  for (int i = 0; i < 4 && !ext; ++i) {
    const uint64_t t = img.le(446 + 16 * i + 4, 1);
    if (t == 0x05 || t == 0x0F || t == 0x85) extEntry = 446 + 16 * i, ext = img.le(extEntry + 8, 4);
  }
  if (!ext) throw Missing{"an extended partition"};
  std::vector<uint64_t> chain;  // sectors of the EBRs, in chain order
  std::set<uint64_t> seen;
  for (uint64_t s = ext;
       chain.size() < 256 && img.has(s * 512, 512) && img.le(s * 512 + 510, 2) == 0xAA55 && seen.insert(s).second;) {
    chain.push_back(s);
    const uint64_t link = s * 512 + 446 + 16, t = img.le(link + 4, 1);
    if (t != 0x05 && t != 0x0F && t != 0x85) break;
    s = ext + img.le(link + 8, 4);
  }
  if (chain.empty()) throw Missing{"an extended boot record"};
  const size_t k = rng.below(chain.size());
  const uint64_t ebr = chain[k] * 512, link = ebr + 446 + 16;
  const std::string what = "EBR" + std::to_string(k);
  switch (rng.below(9)) {
    case 0:  // the link leads back to this EBR or an earlier one: a cycle
      img.put(link + 4, 1, 0x05, what + " link type");
      return img.put(link + 8, 4, chain[rng.below(k + 1)] - ext, what + " link -> earlier EBR");
    case 1:
      return img.put(link + 8, 4, rng.chance(50) ? 0xFFFFFFFF : img.bytes.size() / 512, what + " link");
    case 2:  // a link into the middle of a partition's data
      img.put(link + 4, 1, 0x05, what + " link type");
      return img.put(link + 8, 4, 1 + rng.below(img.bytes.size() / 512 - ext), what + " link");
    case 3:
      return img.put(ebr + 446 + 8, 4, Interesting(rng, img.le(ebr + 446 + 8, 4), 4, img.bytes.size()),
                     what + " start");
    case 4:
      return img.put(ebr + 446 + 12, 4, Interesting(rng, img.le(ebr + 446 + 12, 4), 4, img.bytes.size()),
                     what + " sectors");
    case 5:
      return img.put(ebr + 446 + 4, 1, 0x05, what + " logical entry -> extended");
    case 6:
      return img.put(ebr + 510, 2, 0, what + " signature");
    case 7:  // the MBR's extended entry moved to a later EBR, or to sector 0 (the MBR read as an EBR)
      return img.put(extEntry + 8, 4, rng.chance(50) ? 0 : chain[rng.below(chain.size())], "extended start");
    default:
      return MutateFields(img, rng, MbrEntryFields(ebr), ebr + 446, 66, what);
  }
}

void FixGpt(Image& img, uint64_t h) {
  const uint64_t headerSize = img.le(h + 12, 4), lba = img.le(h + 72, 8), count = img.le(h + 80, 4),
                 size = img.le(h + 84, 4);
  if (count * size <= (1u << 20) && img.has(lba * 512, count * size)) {
    img.putLe(h + 88, 4, Ieee(img, lba * 512, count * size), "entries CRC (fixed)");
  }
  if (headerSize >= 92 && headerSize <= 512) {
    std::vector<uint8_t> header(img.bytes.begin() + static_cast<std::ptrdiff_t>(h),
                                img.bytes.begin() + static_cast<std::ptrdiff_t>(h + headerSize));
    std::fill_n(header.begin() + 16, 4, 0);
    img.putLe(h + 16, 4, Crc32(header.data(), header.size(), 0xFFFFFFFFu, true), "header CRC (fixed)");
  }
}

void MutateGpt(Image& img, Rng& rng) {
  const uint64_t h = 512;
  if (!img.magic(h, "EFI PART")) throw Missing{"a GPT header"};
  const uint64_t lba = img.le(h + 72, 8), count = img.le(h + 80, 4), size = img.le(h + 84, 4);
  if (size < 128 || size > 4096 || count > 4096 || !img.has(lba * 512, count * size)) throw Missing{"GPT entries"};
  std::vector<uint64_t> used;
  for (uint64_t i = 0; i < count; ++i) {
    if (img.le(lba * 512 + i * size, 8) || img.le(lba * 512 + i * size + 8, 8)) used.push_back(lba * 512 + i * size);
  }
  if (used.empty()) throw Missing{"a used GPT entry"};
  uint64_t header = h;
  switch (rng.below(6)) {
    case 0:
    case 1:
      MutateFields(img, rng,
                   {{h + 12, 4, "header size"},
                    {h + 24, 8, "my LBA"},
                    {h + 32, 8, "alternate LBA"},
                    {h + 40, 8, "first usable"},
                    {h + 48, 8, "last usable"},
                    {h + 72, 8, "entries LBA"},
                    {h + 80, 4, "entry count"},
                    {h + 84, 4, "entry size"}},
                   h, 92, "GPT header");
      break;
    case 2:
    case 3: {
      const uint64_t e = rng.pick(used);
      MutateFields(img, rng,
                   {{e + 32, 8, "first LBA"}, {e + 40, 8, "last LBA"}, {e + 48, 8, "attributes"}, {e, 8, "type"}}, e,
                   size, "GPT entry");
      break;
    }
    case 4:
      img.copy(rng.pick(used), lba * 512 + rng.below(count) * size, size, "GPT entry copy");
      break;
    default: {  // the backup header in the last sector
      header = img.bytes.size() - 512;
      if (!img.magic(header, "EFI PART")) throw Missing{"a backup GPT header"};
      MutateFields(img, rng, {{header + 72, 8, "backup entries LBA"}, {header + 80, 4, "backup entry count"}}, header,
                   92, "backup GPT header");
    }
  }
  // Most damage is behind a good checksum, or it would only ever reach the checksum test.
  if (rng.chance(70)) FixGpt(img, header);
}

// ------------------------------------------------------------------ NTFS

struct Ntfs {
  uint64_t vol, bps, clusterBytes, recordBytes;
  std::vector<uint64_t> offsets;  // where a record ("FILE") starts; the MFT may lie in several pieces
  std::vector<uint64_t> numbers;  // the record number each one gives itself
};

Ntfs ReadNtfs(const Image& img) {
  const uint64_t v = FindVolume(img);
  if (!img.magic(v + 3, "NTFS    ")) throw Missing{"an NTFS volume"};
  Ntfs n{};
  n.vol = v;
  n.bps = img.le(v + 11, 2);
  n.clusterBytes = n.bps * img.le(v + 13, 1);
  const auto raw = static_cast<int8_t>(img.le(v + 64, 1));
  n.recordBytes = raw > 0 ? raw * n.clusterBytes : 1ull << -raw;
  if (n.recordBytes < 256 || n.recordBytes > 65536) throw Missing{"an MFT record size"};
  for (uint64_t at = v; img.has(at, n.recordBytes); at += 512) {
    if (!img.magic(at, "FILE")) continue;
    n.offsets.push_back(at);
    // NTFS 3.1 records carry their own number after the header; older ones are numbered by place.
    n.numbers.push_back(img.le(at + 4, 2) >= 48 ? img.le(at + 44, 4) : n.numbers.size());
    at += n.recordBytes - 512;
  }
  if (n.offsets.empty()) throw Missing{"an MFT record"};
  return n;
}

struct Attr {
  uint64_t off, type, len;
  bool resident;
};

std::vector<Attr> Attributes(const Image& img, uint64_t rec, uint64_t recordBytes) {
  std::vector<Attr> out;
  for (uint64_t at = rec + img.le(rec + 20, 2); at + 24 <= rec + recordBytes && out.size() < 64;) {
    const uint64_t type = img.le(at, 4), len = img.le(at + 4, 4);
    if (type == 0xFFFFFFFF || len < 24 || at + len > rec + recordBytes) break;
    out.push_back({at, type, len, img.le(at + 8, 1) == 0});
    at += len;
  }
  return out;
}

// A resident attribute's value, bounded by the attribute.
bool ResidentValue(const Image& img, const Attr& a, uint64_t& off, uint64_t& len) {
  if (!a.resident) return false;
  off = a.off + img.le(a.off + 20, 2);
  len = img.le(a.off + 16, 4);
  return off + len <= a.off + a.len;
}

// A non-resident attribute's value where its first run holds it all (attribute lists are short).
bool FirstRun(const Image& img, const Ntfs& n, const Attr& a, uint64_t& off, uint64_t& len) {
  if (a.resident) return false;
  const uint64_t run = a.off + img.le(a.off + 32, 2);
  if (run >= a.off + a.len) return false;
  const uint64_t h = img.le(run, 1), lenBytes = h & 0xF, offBytes = h >> 4;
  if (!lenBytes || lenBytes > 8 || !offBytes || offBytes > 8 || run + 1 + lenBytes + offBytes > a.off + a.len)
    return false;
  const uint64_t clusters = img.le(run + 1, static_cast<int>(lenBytes));
  const uint64_t lcn = img.le(run + 1 + lenBytes, static_cast<int>(offBytes));
  off = n.vol + lcn * n.clusterBytes;
  len = img.le(a.off + 48, 8);
  return len <= clusters * n.clusterBytes && img.has(off, len);
}

void MutateRecord(Image& img, Rng& rng, const Ntfs& n, size_t index) {
  const uint64_t rec = n.offsets[index], r = n.numbers[index];
  const std::string what = "record " + std::to_string(r);
  const std::vector<Attr> attrs = Attributes(img, rec, n.recordBytes);
  switch (rng.below(8)) {
    case 0:
      return MutateFields(img, rng,
                          {{rec + 4, 2, what + " fixup offset"},
                           {rec + 6, 2, what + " fixup count"},
                           {rec + 16, 2, what + " sequence"},
                           {rec + 20, 2, what + " first attribute"},
                           {rec + 22, 2, what + " flags"},
                           {rec + 24, 4, what + " bytes used"},
                           {rec + 28, 4, what + " bytes allocated"}},
                          rec, 48, what);
    case 1:  // an extension record of itself, or of another record
      return img.put(rec + 32, 8, rng.chance(50) ? r | img.le(rec + 16, 2) << 48 : rng.pick(n.numbers), what + " base");
    case 2: {
      const Attr& a = rng.pick(attrs);
      std::vector<Field> f = {{a.off + 4, 4, what + " attribute length"},
                              {a.off + 8, 1, what + " non-resident"},
                              {a.off + 9, 1, what + " name length"},
                              {a.off + 10, 2, what + " name offset"}};
      if (a.resident) {
        f.insert(f.end(), {{a.off + 16, 4, what + " value length"}, {a.off + 20, 2, what + " value offset"}});
      } else {
        f.insert(f.end(), {{a.off + 16, 8, what + " first VCN"},
                           {a.off + 24, 8, what + " last VCN"},
                           {a.off + 32, 2, what + " runs offset"},
                           {a.off + 34, 2, what + " compression unit"},
                           {a.off + 40, 8, what + " allocated"},
                           {a.off + 48, 8, what + " size"},
                           {a.off + 56, 8, what + " initialised"}});
      }
      return SetField(img, rng, rng.pick(f));
    }
    case 3:
    case 4: {  // a data run: its header byte, a length or an offset
      std::vector<Attr> nonres;
      for (const Attr& a : attrs) {
        if (!a.resident && img.le(a.off + 32, 2) < a.len) nonres.push_back(a);
      }
      if (nonres.empty()) return Scramble(img, rng, rec, n.recordBytes, what);
      const Attr& a = rng.pick(nonres);
      const uint64_t runs = a.off + img.le(a.off + 32, 2), len = a.off + a.len - runs;
      if (rng.chance(40)) {
        return img.put(runs, 1, rng.pick(std::vector<uint64_t>{0xFF, 0x88, 0x48, 0x08, 0x0F, 0x80, 0x01}),
                       what + " run header");
      }
      return Scramble(img, rng, runs, len, what + " runs");
    }
    case 5: {  // a name whose folder is the record itself, or is one of its own sub-folders
      for (const Attr& a : attrs) {
        uint64_t v, len;
        if (a.type == 0x30 && ResidentValue(img, a, v, len) && len >= 66) {
          if (rng.chance(25)) return img.put(v + 64, 1, 255, what + " name length");
          return img.put(v, 8, rng.chance(60) ? r : rng.pick(n.numbers), what + " parent");
        }
      }
      return Scramble(img, rng, rec, n.recordBytes, what);
    }
    case 6: {  // one record over another: two records claim the same names and clusters
      const size_t other = rng.below(n.offsets.size());
      return img.copy(n.offsets[other], rec, n.recordBytes,
                      "record " + std::to_string(n.numbers[other]) + " copied over");
    }
    default:
      return Scramble(img, rng, rec, n.recordBytes, what);
  }
}

void MutateMft(Image& img, Rng& rng) {
  const Ntfs n = ReadNtfs(img);
  // The system records (the MFT's own runs, the root folder, $Bitmap) half of the time.
  size_t index = rng.below(n.offsets.size());
  if (rng.chance(50)) index = std::min<size_t>(rng.below(12), index);
  MutateRecord(img, rng, n, index);
}

void MutateAttributeList(Image& img, Rng& rng) {
  const Ntfs n = ReadNtfs(img);
  struct Entry {
    uint64_t off, record, valueEnd;
  };
  std::vector<Entry> entries;
  for (size_t i = 0; i < n.offsets.size(); ++i) {
    const uint64_t r = n.numbers[i];
    for (const Attr& a : Attributes(img, n.offsets[i], n.recordBytes)) {
      uint64_t v, len;
      if (a.type != 0x20 || !(ResidentValue(img, a, v, len) || FirstRun(img, n, a, v, len))) continue;
      for (uint64_t e = v; e + 26 <= v + len;) {
        entries.push_back({e, r, v + len});
        const uint64_t el = img.le(e + 4, 2);
        if (el < 26) break;
        e += el;
      }
    }
  }
  if (entries.empty()) throw Missing{"an attribute list"};
  const Entry& e = rng.pick(entries);
  const std::string what = "list entry@" + Hex(e.off) + " (record " + std::to_string(e.record) + ")";
  switch (rng.below(7)) {
    case 0:
      return img.put(e.off + 4, 2, rng.pick(std::vector<uint64_t>{0, 1, 8, 0xFFFF, img.le(e.off + 4, 2) + 8}),
                     what + " length");
    case 1:  // the list names its own record, with the sequence number kept: a loop, not a stale link
      return img.put(e.off + 16, 8, (img.le(e.off + 16, 8) & 0xFFFF000000000000ull) | e.record,
                     what + " -> its own record");
    case 2:
      return img.put(e.off + 16, 8, rng.chance(50) ? rng.pick(n.numbers) : 0x0000FFFFFFFFFFFF, what + " record");
    case 3:
      return img.put(e.off + 8, 8, rng.chance(50) ? ~0ull : 1ull << 40, what + " first VCN");
    case 4:
      return img.put(e.off, 4, rng.chance(50) ? 0x20 : 0xFFFFFFFF, what + " type");
    case 5: {
      const Entry& other = rng.pick(entries);
      if (other.off + 32 <= e.valueEnd) return img.copy(other.off, e.off, 32, "list entry copy");
      return img.put(e.off + 6, 1, 255, what + " name length");
    }
    default:
      return Scramble(img, rng, e.off, 26, what);
  }
}

void MutateIndex(Image& img, Rng& rng) {
  const Ntfs n = ReadNtfs(img);
  std::vector<uint64_t> blocks;
  for (uint64_t at = n.vol; img.has(at, 512) && blocks.size() < 4096; at += 512) {
    if (img.magic(at, "INDX")) blocks.push_back(at);
  }
  if (blocks.empty()) throw Missing{"an index record"};
  const uint64_t b = rng.pick(blocks), vcn = img.le(b + 16, 8);
  const std::string what = "INDX@" + Hex(b);
  std::vector<uint64_t> entries;
  for (uint64_t e = b + 24 + img.le(b + 24, 4);
       img.has(e, 16) && e < b + 24 + img.le(b + 28, 4) && entries.size() < 512;) {
    entries.push_back(e);
    const uint64_t len = img.le(e + 8, 2);
    if (len < 16 || (img.le(e + 12, 4) & 2)) break;
    e += len;
  }
  if (entries.empty() || rng.chance(30)) {
    return MutateFields(img, rng,
                        {{b + 16, 8, what + " VCN"},
                         {b + 24, 4, what + " entries offset"},
                         {b + 28, 4, what + " index length"},
                         {b + 32, 4, what + " allocated"},
                         {b + 36, 1, what + " flags"}},
                        b, 64, what);
  }
  const uint64_t e = rng.pick(entries), len = img.le(e + 8, 2);
  switch (rng.below(6)) {
    case 0:
      return img.put(e + 8, 2, rng.pick(std::vector<uint64_t>{0, 8, 0xFFFF, len + 8}), what + " entry length");
    case 1:
      return img.put(e + 10, 2, 0xFFFF, what + " key length");
    case 2:
      return img.put(e + 12, 4, img.le(e + 12, 4) | 1, what + " entry -> has a sub-node");
    case 3:  // a sub-node that is this node: a cycle in the B-tree
      if ((img.le(e + 12, 4) & 1) && len >= 24)
        return img.put(e + len - 8, 8, rng.chance(70) ? vcn : ~0ull, what + " child VCN");
      return img.put(e + 12, 4, 1, what + " flags");
    case 4:
      return img.put(e, 8, rng.pick(n.numbers), what + " file reference");
    default:
      return Scramble(img, rng, e, std::max<uint64_t>(16, std::min<uint64_t>(len, 256)), what);
  }
}

// ------------------------------------------------------------------ LVM2

struct Lvm {
  uint64_t label, pvh, mda, mdaSize;
};

Lvm ReadLvm(const Image& img) {
  Lvm l{};
  bool found = false;
  for (uint64_t s = 0; s < 4 && !found; ++s) {
    if (img.magic(s * 512, "LABELONE")) l.label = s * 512, found = true;
  }
  if (!found) throw Missing{"an LVM2 label"};
  l.pvh = l.label + img.le(l.label + 20, 4);
  uint64_t at = l.pvh + 40;
  while (img.has(at, 16) && img.le(at, 8)) at += 16;  // data areas, then a zero pair
  at += 16;
  l.mda = img.le(at, 8);
  l.mdaSize = img.le(at + 8, 8);
  if (!l.mda || !img.has(l.mda, 512)) throw Missing{"an LVM2 metadata area"};
  return l;
}

void MutateLvmLabel(Image& img, Rng& rng) {
  const Lvm l = ReadLvm(img);
  std::vector<Field> f = {{l.label + 8, 8, "label sector"}, {l.label + 20, 4, "header offset"},
                          {l.pvh + 32, 8, "device size"},   {l.mda + 24, 8, "area start"},
                          {l.mda + 32, 8, "area size"},     {l.mda + 40, 8, "text offset"},
                          {l.mda + 48, 8, "text size"},     {l.mda + 20, 4, "area version"}};
  for (uint64_t at = l.pvh + 40; img.has(at, 16) && at < l.pvh + 40 + 16 * 6; at += 16) {
    f.insert(f.end(), {{at, 8, "area offset"}, {at + 8, 8, "area size"}});
  }
  if (rng.chance(80)) return SetField(img, rng, rng.pick(f));
  Scramble(img, rng, rng.chance(50) ? l.label : l.mda, 512, "LVM2 header");
}

// ------------------------------------------------------------------ text

// Damage to a text a tool wrote (or LVM2's metadata): numbers made huge or negative, lines lost,
// repeated or swapped, a separator dropped, a very long line, a cut.
std::string MutateText(std::string t, Rng& rng, std::vector<std::string>& notes) {
  std::vector<size_t> lineStarts = {0};
  for (size_t i = 0; i + 1 < t.size(); ++i) {
    if (t[i] == '\n') lineStarts.push_back(i + 1);
  }
  const auto lineAt = [&](size_t k, size_t& b, size_t& e) {
    b = lineStarts[k];
    e = k + 1 < lineStarts.size() ? lineStarts[k + 1] : t.size();
  };
  std::vector<size_t> numbers;
  for (size_t i = 0; i < t.size(); ++i) {
    if (std::isdigit(static_cast<unsigned char>(t[i])) &&
        (i == 0 || !std::isdigit(static_cast<unsigned char>(t[i - 1])))) {
      numbers.push_back(i);
    }
  }
  const size_t k = rng.below(lineStarts.size());
  size_t b, e;
  lineAt(k, b, e);
  switch (rng.below(10)) {
    case 0:
    case 1:
    case 2: {
      if (numbers.empty()) break;
      const size_t at = rng.pick(numbers);
      size_t end = at;
      while (end < t.size() && std::isdigit(static_cast<unsigned char>(t[end]))) ++end;
      // After "0x" (a mapfile's positions and sizes) the damage is in hex, or it would only ever
      // meet the parser's syntax check.
      const bool hex = at >= 2 && t.compare(at - 2, 2, "0x") == 0;
      if (hex) {
        while (end < t.size() && std::isxdigit(static_cast<unsigned char>(t[end]))) ++end;
      }
      const std::string by =
          hex ? rng.pick(std::vector<std::string>{"FFFFFFFFFFFFFFFF", "7FFFFFFFFFFFFE00", "0", "200", "1",
                                                  "FFFFFFFFFFFFFE00", t.substr(at, end - at) + "000"})
              : rng.pick(std::vector<std::string>{"0", "1", "-1", "4294967295", "4294967296", "18446744073709551615",
                                                  "99999999999999999999999", "9223372036854775807", "2147483648", "",
                                                  "x", t.substr(at, end - at) + "000000"});
      notes.push_back("number '" + t.substr(at, end - at) + "'@" + std::to_string(at) + " -> '" + by + "'");
      t.replace(at, end - at, by);
      return t;
    }
    case 3:
      notes.push_back("line " + std::to_string(k) + " removed");
      t.erase(b, e - b);
      return t;
    case 4: {
      const size_t times = rng.chance(70) ? 1 : 200;
      notes.push_back("line " + std::to_string(k) + " repeated " + std::to_string(times) + "x");
      std::string line = t.substr(b, e - b);
      if (line.empty() || line.back() != '\n') line += "\n";
      std::string rep;
      for (size_t i = 0; i < times; ++i) rep += line;
      t.insert(b, rep);
      return t;
    }
    case 5: {
      const size_t j = rng.below(lineStarts.size());
      size_t b2, e2;
      lineAt(j, b2, e2);
      if (j <= k) break;
      notes.push_back("lines " + std::to_string(k) + " and " + std::to_string(j) + " swapped");
      const std::string first = t.substr(b, e - b), second = t.substr(b2, e2 - b2);
      t = t.substr(0, b) + second + t.substr(e, b2 - e) + first + t.substr(e2);
      return t;
    }
    case 6: {
      const size_t at = rng.below(t.size() + 1);
      notes.push_back("cut at " + std::to_string(at) + " of " + std::to_string(t.size()));
      t.resize(at);
      return t;
    }
    case 7: {
      const size_t at = rng.below(t.size() + 1);
      const std::string longLine(rng.chance(50) ? 100000 : 4096, rng.chance(50) ? '9' : 'A');
      notes.push_back("a line of " + std::to_string(longLine.size()) + " characters@" + std::to_string(at));
      t.insert(at, longLine + "\n");
      return t;
    }
    case 8: {
      std::vector<size_t> marks;
      for (size_t i = 0; i < t.size(); ++i) {
        if (std::strchr("{}[]\"=,^:\r", t[i]) && t[i]) marks.push_back(i);
      }
      if (marks.empty()) break;
      const size_t at = rng.pick(marks);
      notes.push_back(std::string("'") + (t[at] == '\r' ? std::string("\\r") : std::string(1, t[at])) + "'@" +
                      std::to_string(at) + " removed");
      t.erase(at, 1);
      return t;
    }
    default:
      break;
  }
  if (t.empty()) return t;
  const size_t at = rng.below(t.size());
  const char by = rng.pick(std::vector<char>{'\0', '\n', '\r', '\xff', '-', ' ', static_cast<char>(rng.next())});
  notes.push_back("byte@" + std::to_string(at) + " -> " + Hex(static_cast<uint8_t>(by)));
  t[at] = by;
  return t;
}

void MutateLvmText(Image& img, Rng& rng) {
  const Lvm l = ReadLvm(img);
  const uint64_t off = img.le(l.mda + 40, 8), size = img.le(l.mda + 48, 8);
  if (!size || off + size > l.mdaSize || !img.has(l.mda + off, size)) throw Missing{"LVM2 metadata text"};
  const uint64_t at = l.mda + off;
  std::string text(img.bytes.begin() + static_cast<std::ptrdiff_t>(at),
                   img.bytes.begin() + static_cast<std::ptrdiff_t>(at + size));
  while (!text.empty() && text.back() == '\0') text.pop_back();
  text = MutateText(text, rng, img.notes);
  const uint64_t room = std::min<uint64_t>(l.mdaSize - off, img.bytes.size() - at);
  if (text.size() + 1 > room) text.resize(room - 1);
  std::fill_n(img.bytes.begin() + static_cast<std::ptrdiff_t>(at), size, 0);
  std::copy(text.begin(), text.end(), img.bytes.begin() + static_cast<std::ptrdiff_t>(at));
  img.putLe(l.mda + 48, 8, text.size() + 1, "text size");
  // LVM2's own checksum of the text (CRC-32 from 0xf597a6cf, no final inversion).
  if (rng.chance(80))
    img.putLe(l.mda + 56, 4, Crc32(&img.bytes[at], text.size() + 1, 0xf597a6cfu, false), "text checksum");
}

void MutateTextFile(Image& img, Rng& rng) {
  std::string text(img.bytes.begin(), img.bytes.end());
  text = MutateText(text, rng, img.notes);
  img.bytes.assign(text.begin(), text.end());
}

// A partition-table backup: sector copies, then a text trailer.
void MutateBackup(Image& img, Rng& rng) {
  if (img.bytes.size() < 512) throw Missing{"a backup's sectors"};
  const size_t sectors = img.bytes.size() / 512 * 512;
  if (rng.chance(50) && sectors < img.bytes.size()) {
    std::string trailer(img.bytes.begin() + static_cast<std::ptrdiff_t>(sectors), img.bytes.end());
    trailer = MutateText(trailer, rng, img.notes);
    img.bytes.resize(sectors);
    img.bytes.insert(img.bytes.end(), trailer.begin(), trailer.end());
    return;
  }
  if (rng.chance(20)) return img.truncate(rng.below(img.bytes.size()));
  Scramble(img, rng, 0, sectors, "backup sectors");
}

// A saved tree: damage inside, then (mostly) a checksum that matches it, so the reader's
// structure checks are what meets it.
void MutateTree(Image& img, Rng& rng) {
  if (img.bytes.size() < 16 || !img.magic(0, "ORVTREE")) throw Missing{"a tree file"};
  const uint64_t body = img.bytes.size() - 4;
  const int width = 1 << rng.below(4);
  const uint64_t at = 12 + rng.below(body - 12 - std::min<uint64_t>(body - 12, width) + 1);
  if (rng.chance(60) && at + width <= body) {
    SetField(img, rng, {at, width, "tree field"});
  } else {
    Scramble(img, rng, 12, body - 12, "tree");
  }
  if (rng.chance(10)) return img.truncate(12 + rng.below(body - 12));
  if (rng.chance(90)) img.putLe(body, 4, Ieee(img, 0, body), "tree CRC (fixed)");
}

// ------------------------------------------------------------------ dynamic disks

std::vector<uint64_t> FindMagic(const Image& img, const char* m, uint64_t step) {
  std::vector<uint64_t> out;
  const size_t n = std::strlen(m);
  for (uint64_t at = 0; at + n <= img.bytes.size(); at += step) {
    if (std::memcmp(&img.bytes[at], m, n) == 0) out.push_back(at);
  }
  return out;
}

void MutateLdmHeaders(Image& img, Rng& rng) {
  img.bigEndian = true;
  const std::vector<uint64_t> priv = FindMagic(img, "PRIVHEAD", 512), toc = FindMagic(img, "TOCBLOCK", 512),
                              vmdb = FindMagic(img, "VMDB", 512);
  if (priv.empty()) throw Missing{"a PRIVHEAD"};
  switch (rng.below(3)) {
    case 0: {
      const uint64_t p = rng.pick(priv);
      return MutateFields(img, rng,
                          {{p + 0x0C, 2, "version major"},
                           {p + 0x0E, 2, "version minor"},
                           {p + 0x11B, 8, "data start"},
                           {p + 0x123, 8, "data size"},
                           {p + 0x12B, 8, "config start"},
                           {p + 0x133, 8, "config size"},
                           {p + 0x13B, 8, "TOC count"},
                           {p + 0x143, 8, "TOC size"},
                           {p + 0x14B, 4, "config count"},
                           {p + 0x14F, 4, "log count"},
                           {p + 0x153, 8, "config bytes"},
                           {p + 0x15B, 8, "log bytes"}},
                          p, 512, "PRIVHEAD");
    }
    case 1: {
      const uint64_t t = rng.pick(toc.empty() ? priv : toc);
      return MutateFields(img, rng,
                          {{t + 0x2E, 8, "config start"},
                           {t + 0x36, 8, "config size"},
                           {t + 0x50, 8, "log start"},
                           {t + 0x58, 8, "log size"}},
                          t, 512, "TOCBLOCK");
    }
    default: {
      const uint64_t v = rng.pick(vmdb.empty() ? priv : vmdb);
      return MutateFields(img, rng,
                          {{v + 0x04, 4, "last sequence"},
                           {v + 0x08, 4, "block size"},
                           {v + 0x0C, 4, "first block"},
                           {v + 0x10, 2, "status"},
                           {v + 0x12, 2, "version major"},
                           {v + 0x14, 2, "version minor"}},
                          v, 512, "VMDB");
    }
  }
}

void MutateVblk(Image& img, Rng& rng) {
  img.bigEndian = true;
  const std::vector<uint64_t> vmdb = FindMagic(img, "VMDB", 512);
  uint64_t blockSize = vmdb.empty() ? 128 : img.get(vmdb.front() + 8, 4);
  if (blockSize < 64 || blockSize > 4096) blockSize = 128;
  std::vector<uint64_t> blocks;
  for (const uint64_t v : vmdb) {
    for (uint64_t at = v + blockSize; at < v + (4u << 20) && img.has(at, blockSize); at += blockSize) {
      if (img.magic(at, "VBLK") && img.get(at + 0x13, 1)) blocks.push_back(at);
    }
  }
  if (blocks.empty()) blocks = FindMagic(img, "VBLK", 16);
  if (blocks.empty()) throw Missing{"a VBLK record"};
  const uint64_t b = rng.pick(blocks);
  const std::string what = "VBLK@" + Hex(b);
  switch (rng.below(7)) {
    case 0:
      return img.put(b + 0x0E, 2, rng.pick(std::vector<uint64_t>{0, 2, 0xFFFF}), what + " fragment count");
    case 1:
      return img.put(b + 0x0C, 2, rng.pick(std::vector<uint64_t>{1, 0xFFFF, 7}), what + " fragment number");
    case 2:
      return img.put(b + 0x14, 4, rng.pick(std::vector<uint64_t>{0, 0xFFFFFFFF, blockSize, blockSize * 4}),
                     what + " data length");
    case 3:
      return img.put(b + 0x18, 1, rng.pick(std::vector<uint64_t>{0, 8, 0xFF, 0x7F}), what + " id length");
    case 4: {  // one record twice: the same object id in two places
      const uint64_t other = rng.pick(blocks);
      if (other != b) return img.copy(other, b, blockSize, "VBLK copy");
      return img.put(b + 0x13, 1, img.get(b + 0x13, 1) ^ 0x0F, what + " type");
    }
    case 5:
      return img.put(b + 0x13, 1, rng.pick(std::vector<uint64_t>{0x32, 0x33, 0x34, 0x35, 0x51, 0x52, 0x00, 0xFF}),
                     what + " type");
    default:
      return Scramble(img, rng, b + 0x10, blockSize - 0x10, what);
  }
}

// ------------------------------------------------------------------ names

// Names that must not lead a copy out of its folder: "..", ".", slashes, back-slashes, empty.
const std::vector<std::u16string>& HostileNames() {
  static const std::vector<std::u16string> names = {u"..", u".", u"../x", u"a/b", u"..\\x", u"/", u"x\0y", u""};
  return names;
}

void PutName16(Image& img, uint64_t at, const std::u16string& name, size_t room, const std::string& what) {
  std::string shown;
  for (size_t i = 0; i < room; ++i) {
    const uint16_t c = i < name.size() ? name[i] : (i == name.size() ? 0 : 0xFFFF);
    img.bytes.at(at + 2 * i) = static_cast<uint8_t>(c);
    img.bytes.at(at + 2 * i + 1) = static_cast<uint8_t>(c >> 8);
    if (i < name.size()) shown += name[i] ? static_cast<char>(name[i]) : '0';
  }
  img.notes.push_back(what + "@" + Hex(at) + " -> \"" + shown + "\"");
}

void MutateFatName(Image& img, Rng& rng) {
  const FatGeometry g = ReadFat(img);
  std::vector<uint64_t> shortNames, longNames;
  for (const DirBlock& b : FatFolders(img, g)) {
    for (uint64_t e = b.off + (b.cluster ? 64 : 0); e + 32 <= b.off + b.len; e += 32) {
      const uint64_t first = img.le(e, 1), attr = img.le(e + 11, 1);
      if (first == 0 || first == 0xE5) continue;
      if (attr == 0x0F && (first & 0x40) && (first & 0x3F) == 1) longNames.push_back(e);  // a one-part long name
      if (attr != 0x0F) shortNames.push_back(e);
    }
  }
  const std::u16string& name = rng.pick(HostileNames());
  if (!longNames.empty() && rng.chance(60)) {
    // The long name's 13 characters lie in three runs; a short name keeps it valid (the checksum is
    // of the short name, which is left alone).
    const uint64_t e = rng.pick(longNames);
    std::u16string padded = name;
    padded.resize(13, u'\xFFFF');
    if (name.size() < 13) padded[name.size()] = 0;
    const uint64_t runs[3][2] = {{1, 5}, {14, 6}, {28, 2}};
    size_t k = 0;
    for (const auto& r : runs) {
      PutName16(img, e + r[0], padded.substr(k, r[1]), r[1], "long name");
      k += r[1];
    }
    return;
  }
  const uint64_t e = rng.pick(shortNames);
  std::string shortName(11, ' ');
  for (size_t i = 0; i < name.size() && i < 11; ++i) shortName[i] = static_cast<char>(name[i]);
  std::copy(shortName.begin(), shortName.end(), img.bytes.begin() + static_cast<std::ptrdiff_t>(e));
  img.notes.push_back("short name@" + Hex(e) + " -> \"" + shortName + "\"");
}

void MutateNtfsName(Image& img, Rng& rng) {
  const Ntfs n = ReadNtfs(img);
  std::vector<std::pair<uint64_t, uint64_t>> names;  // the $FILE_NAME value, and its room in characters
  for (size_t i = 16; i < n.offsets.size(); ++i) {   // the files, not the system records
    for (const Attr& a : Attributes(img, n.offsets[i], n.recordBytes)) {
      uint64_t v, len;
      if (a.type == 0x30 && ResidentValue(img, a, v, len) && len >= 66 + 2) names.emplace_back(v, (len - 66) / 2);
    }
  }
  for (uint64_t at = n.vol; img.has(at, 512) && names.size() < 100000; at += 512) {
    if (!img.magic(at, "INDX")) continue;  // the folders' copies of the names, in their index records
    for (uint64_t e = at + 24 + img.le(at + 24, 4); img.has(e, 16 + 66) && e < at + 24 + img.le(at + 28, 4);) {
      const uint64_t len = img.le(e + 8, 2), key = img.le(e + 10, 2);
      if (len < 16 || (img.le(e + 12, 4) & 2)) break;
      if (key >= 68) names.emplace_back(e + 16, (key - 66) / 2);
      e += len;
    }
  }
  if (names.empty()) throw Missing{"a file name"};
  const auto& [v, room] = rng.pick(names);
  std::u16string name = rng.pick(HostileNames());
  if (name.size() > room) name = u"..";
  if (name.size() > room) name = u".";
  img.put(v + 64, 1, name.size(), "name length");
  PutName16(img, v + 66, name, std::min<uint64_t>(room, name.size()), "name");
}

void MutateNames(Image& img, Rng& rng) {
  const uint64_t v = FindVolume(img);
  if (img.magic(v + 3, "NTFS    ")) return MutateNtfsName(img, rng);
  MutateFatName(img, rng);
}

// ------------------------------------------------------------------ whole files

void Truncate(Image& img, Rng& rng) {
  if (img.bytes.size() < 1024) throw Missing{"a file long enough to cut"};
  uint64_t at =
      rng.chance(50) ? rng.below(std::min<uint64_t>(img.bytes.size(), 2u << 20)) : rng.below(img.bytes.size());
  if (rng.chance(60)) at &= ~511ull;
  img.truncate(at);
}

void Noise(Image& img, Rng& rng) {
  if (img.bytes.empty()) throw Missing{"bytes"};
  const uint64_t span = rng.chance(60) ? std::min<uint64_t>(img.bytes.size(), 4u << 20) : img.bytes.size();
  for (int i = 0; i < 32; ++i) {
    const uint64_t at = rng.below(span);
    img.bytes[at] = static_cast<uint8_t>(rng.next());
  }
  img.notes.push_back("32 random bytes in the first " + Hex(span));
}

const std::map<std::string, std::function<void(Image&, Rng&)>>& Kinds() {
  static const std::map<std::string, std::function<void(Image&, Rng&)>> kinds = {{"boot", MutateBoot},
                                                                                 {"mbr", MutateMbr},
                                                                                 {"ebr", MutateEbr},
                                                                                 {"gpt", MutateGpt},
                                                                                 {"fat", MutateFat},
                                                                                 {"dir", MutateDirectory},
                                                                                 {"mft", MutateMft},
                                                                                 {"attrlist", MutateAttributeList},
                                                                                 {"indx", MutateIndex},
                                                                                 {"lvm-label", MutateLvmLabel},
                                                                                 {"lvm-text", MutateLvmText},
                                                                                 {"ldm", MutateLdmHeaders},
                                                                                 {"vblk", MutateVblk},
                                                                                 {"text", MutateTextFile},
                                                                                 {"backup", MutateBackup},
                                                                                 {"tree", MutateTree},
                                                                                 {"names", MutateNames},
                                                                                 {"truncate", Truncate},
                                                                                 {"noise", Noise}};
  return kinds;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 || !Kinds().count(argv[1])) {
    std::fprintf(stderr, "usage: orvaldi-mutate KIND SEED INPUT OUTPUT\nKIND:");
    for (const auto& k : Kinds()) std::fprintf(stderr, " %s", k.first.c_str());
    std::fprintf(stderr, "\n");
    return 2;
  }
  const std::string kind = argv[1];
  uint64_t kindHash = 14695981039346656037ull;  // FNV-1a: the same on every library, unlike std::hash
  for (const char c : kind) kindHash = (kindHash ^ static_cast<uint8_t>(c)) * 1099511628211ull;
  Rng rng{std::strtoull(argv[2], nullptr, 10) * 0x2545F4914F6CDD1Dull ^ kindHash};
  Image img;
  {
    std::ifstream in(argv[3], std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "orvaldi-mutate: cannot read %s\n", argv[3]);
      return 2;
    }
    img.bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  try {
    Kinds().at(kind)(img, rng);
  } catch (const Missing& m) {
    std::fprintf(stderr, "orvaldi-mutate: %s: %s\n", kind.c_str(), m.what.c_str());
    return 3;
  }
  // Now and then a second change of the same kind, which one alone would not show; the first
  // may have hidden the structure from it, and then it is left out.
  if (rng.chance(25)) {
    try {
      Kinds().at(kind)(img, rng);
    } catch (const Missing&) {
    }
  }
  std::ofstream out(argv[4], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(img.bytes.data()), static_cast<std::streamsize>(img.bytes.size()));
  if (!out) {
    std::fprintf(stderr, "orvaldi-mutate: cannot write %s\n", argv[4]);
    return 2;
  }
  std::string line;
  for (const std::string& n : img.notes) line += (line.empty() ? "" : "; ") + n;
  std::printf("%s\n", line.empty() ? "(no change)" : line.c_str());
  return 0;
}
