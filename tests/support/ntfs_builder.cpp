// In-memory NTFS record and volume writer for tests.
#include "support/ntfs_builder.h"

#include <cstring>

#include "fs/ntfs_reader.h"
#include "fs/ntfs_search.h"
#include "support/test_images.h"

namespace orvaldi::test {
namespace {

std::vector<uint8_t> Resident(uint32_t type, const std::vector<uint8_t>& value, const std::u16string& name = u"") {
  const size_t nameBytes = name.size() * 2;
  const size_t valueOffset = (0x18 + nameBytes + 7) & ~size_t{7};
  std::vector<uint8_t> a((valueOffset + value.size() + 7) & ~size_t{7});
  Put32(a, 0, type);
  Put32(a, 4, static_cast<uint32_t>(a.size()));
  a[9] = static_cast<uint8_t>(name.size());
  Put16(a, 0x0A, 0x18);
  Put32(a, 0x10, static_cast<uint32_t>(value.size()));
  Put16(a, 0x14, static_cast<uint16_t>(valueOffset));
  for (size_t i = 0; i < name.size(); ++i) Put16(a, 0x18 + 2 * i, static_cast<uint16_t>(name[i]));
  std::copy(value.begin(), value.end(), a.begin() + static_cast<long>(valueOffset));
  return a;
}

}  // namespace

RecordBuilder::RecordBuilder(uint32_t number, uint16_t flags, uint32_t size, uint8_t usaOffset)
    : bytes_(size), usaOffset_(usaOffset) {
  PutText(bytes_, 0, "FILE");
  bytes_[4] = usaOffset;
  Put16(bytes_, 6, static_cast<uint16_t>(size / 512 + 1));
  Put16(bytes_, 0x10, 1);
  Put16(bytes_, 0x16, flags);
  Put32(bytes_, 0x18, size);
  if (usaOffset == 0x30) Put32(bytes_, 0x2C, number);
  next_ = 0x48;  // past an update-sequence array of up to 8 strides
  Put16(bytes_, 0x14, static_cast<uint16_t>(next_));
}

void RecordBuilder::append(const std::vector<uint8_t>& attr) {
  std::copy(attr.begin(), attr.end(), bytes_.begin() + static_cast<long>(next_));
  next_ += attr.size();
}

RecordBuilder& RecordBuilder::standardInformation(uint64_t create, uint64_t modify, uint64_t access) {
  std::vector<uint8_t> v(0x48);
  Put64(v, 0, create);
  Put64(v, 8, modify);
  Put64(v, 16, modify);
  Put64(v, 24, access);
  append(Resident(0x10, v));
  return *this;
}

RecordBuilder& RecordBuilder::fileName(uint64_t parent, const std::u16string& name, uint8_t nameSpace,
                                       uint64_t realSize) {
  std::vector<uint8_t> v(0x42 + 2 * name.size());
  Put64(v, 0, parent);
  Put64(v, 8, 0x01D9000000000000ull);  // created
  Put64(v, 0x30, realSize);
  v[0x40] = static_cast<uint8_t>(name.size());
  v[0x41] = nameSpace;
  for (size_t i = 0; i < name.size(); ++i) Put16(v, 0x42 + 2 * i, static_cast<uint16_t>(name[i]));
  append(Resident(0x30, v));
  return *this;
}

RecordBuilder& RecordBuilder::residentData(const std::vector<uint8_t>& bytes, const std::u16string& stream) {
  append(Resident(0x80, bytes, stream));
  return *this;
}

RecordBuilder& RecordBuilder::nonResident(uint32_t type, const std::vector<uint8_t>& runList, uint64_t size,
                                          uint16_t flags) {
  std::vector<uint8_t> a((0x40 + runList.size() + 7) & ~size_t{7});
  Put32(a, 0, type);
  Put32(a, 4, static_cast<uint32_t>(a.size()));
  a[8] = 1;
  Put16(a, 0x0C, flags);
  Put16(a, 0x20, 0x40);
  Put64(a, 0x28, (size + 4095) & ~uint64_t{4095});
  Put64(a, 0x30, size);
  Put64(a, 0x38, size);
  std::copy(runList.begin(), runList.end(), a.begin() + 0x40);
  append(a);
  return *this;
}

std::vector<uint8_t> AttributeListBytes(const ListEntries& entries) {
  std::vector<uint8_t> v(entries.size() * 0x20);
  for (size_t i = 0; i < entries.size(); ++i) {
    Put32(v, 0x20 * i, entries[i].first);
    Put16(v, 0x20 * i + 4, 0x20);
    Put64(v, 0x20 * i + 0x10, entries[i].second);
  }
  return v;
}

RecordBuilder& RecordBuilder::attributeList(const ListEntries& entries) {
  append(Resident(0x20, AttributeListBytes(entries)));
  return *this;
}

RecordBuilder& RecordBuilder::baseReference(uint64_t base) {
  Put64(bytes_, 0x20, base);
  return *this;
}

std::vector<uint8_t> RecordBuilder::build() const {
  std::vector<uint8_t> r = bytes_;
  Put32(r, next_, 0xFFFFFFFF);
  Put32(r, 0x1C, static_cast<uint32_t>(next_ + 8));
  const uint16_t usn = 0x0101;
  Put16(r, usaOffset_, usn);
  for (size_t i = 0; i < r.size() / 512; ++i) {
    const size_t end = (i + 1) * 512 - 2;
    r[usaOffset_ + 2 + 2 * i] = r[end];
    r[usaOffset_ + 3 + 2 * i] = r[end + 1];
    Put16(r, end, usn);
  }
  return r;
}

std::vector<uint8_t> RunList(const std::vector<std::pair<uint64_t, uint64_t>>& runs) {
  std::vector<uint8_t> out;
  int64_t previous = 0;
  for (const auto& [first, length] : runs) {
    std::vector<uint8_t> len, off;
    for (uint64_t l = length; l != 0; l >>= 8) len.push_back(static_cast<uint8_t>(l));
    // The offset from the previous run: signed, as few bytes as keep the sign.
    for (int64_t d = static_cast<int64_t>(first) - previous;; d >>= 8) {
      off.push_back(static_cast<uint8_t>(d));
      if ((d >> 7) == 0 || (d >> 7) == -1) break;
    }
    previous = static_cast<int64_t>(first);
    out.push_back(static_cast<uint8_t>(len.size() | (off.size() << 4)));
    out.insert(out.end(), len.begin(), len.end());
    out.insert(out.end(), off.begin(), off.end());
  }
  out.push_back(0);
  return out;
}

NtfsVolumeBuilder::NtfsVolumeBuilder(uint32_t records, uint64_t totalSectors, uint32_t recordBytes)
    : bytes_(totalSectors * 512), recordBytes_(recordBytes) {
  auto boot = NtfsBootSector();
  boot[0x0D] = 1;
  Put64(boot, 0x28, totalSectors - 1);
  Put64(boot, 0x30, kMftCluster);
  boot[0x40] = recordBytes == 4096 ? 0xF4 : 0xF6;
  std::memcpy(bytes_.data(), boot.data(), 512);
  std::memcpy(bytes_.data() + (totalSectors - 1) * 512, boot.data(), 512);  // the backup
  mftRuns({{kMftCluster, uint64_t{recordBytes} / 512 * records}});
}

void NtfsVolumeBuilder::put(uint32_t number, const std::vector<uint8_t>& record) {
  std::memcpy(bytes_.data() + (kMftCluster + uint64_t{recordBytes_} / 512 * number) * 512, record.data(),
              record.size());
}

void NtfsVolumeBuilder::mftRuns(const std::vector<std::pair<uint64_t, uint64_t>>& runs) {
  uint64_t clusters = 0;
  for (const auto& r : runs) clusters += r.second;
  put(0, RecordBuilder(0, 1, recordBytes_)
             .fileName(5, u"$MFT", 3)
             .nonResident(0x80, RunList(runs), clusters * 512)
             .build());
}

ScannedNtfs::ScannedNtfs(std::vector<uint8_t> image, How how, uint64_t startSector, platform::ProgressBlock* progress)
    : src(std::move(image)) {
  part.typeByte = 0x07;
  part.startSector = startSector;
  part.sectorCount = src.size() / 512 - startSector;
  platform::ProgressBlock own;
  platform::ProgressBlock& p = progress ? *progress : own;
  ok = how == How::kWalk ? fs::ScanNtfsVolume(&src, disk, part, p) : fs::SearchNtfsVolume(&src, disk, part, p);
}

}  // namespace orvaldi::test
