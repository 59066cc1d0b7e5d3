// Linux disk enumeration: /sys/block identity, sizes, geometry, mount points.
#include "platform/block_devices.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/sector_source.h"

namespace fs = std::filesystem;

namespace orvaldi::platform {
namespace {

constexpr size_t kMaxDisks = 16;
// sysfs gives sizes in 512-byte units whatever the device's sector size.
constexpr uint64_t kSysfsSizeUnit = 512;

std::string Trim(std::string s) {
  auto notSpace = [](unsigned char c) { return !std::isspace(c) && c != 0; };
  s.erase(s.begin(), std::find_if(s.begin(), s.end(), notSpace));
  s.erase(std::find_if(s.rbegin(), s.rend(), notSpace).base(), s.end());
  return s;
}

std::string ReadAttr(const fs::path& file) {
  std::ifstream in(file);
  if (!in) return {};
  std::string line;
  std::getline(in, line);
  return Trim(line);
}

std::optional<uint64_t> ReadNumberAttr(const fs::path& file) {
  const std::string text = ReadAttr(file);
  if (text.empty() || !std::all_of(text.begin(), text.end(), ::isdigit)) return std::nullopt;
  try {
    return std::stoull(text);
  } catch (...) {
    return std::nullopt;
  }
}

bool AllDigits(const std::string& s, size_t from) {
  return from < s.size() && std::all_of(s.begin() + static_cast<long>(from), s.end(), ::isdigit);
}

// Fills the identity fields that come from sysfs (strings, removable flag,
// size in 512-byte units) for the block directory `dir`.
void ReadSysfsIdentity(const fs::path& dir, BlockDeviceIdentity& id) {
  const fs::path device = dir / "device";
  id.vendor = ReadAttr(device / "vendor");
  id.model = ReadAttr(device / "model");
  id.revision = ReadAttr(device / "rev");
  if (id.revision.empty()) id.revision = ReadAttr(device / "firmware_rev");
  id.serial = ReadAttr(device / "serial");
  if (id.serial.empty()) id.serial = ReadAttr(dir / "serial");
  id.removable = ReadAttr(dir / "removable") == "1";
  if (auto sectors = ReadNumberAttr(dir / "size")) id.sizeBytes = *sectors * kSysfsSizeUnit;
  if (auto bytes = ReadNumberAttr(dir / "queue" / "logical_block_size"); bytes && *bytes >= 512 && *bytes <= 65536)
    id.logicalSectorBytes = static_cast<uint32_t>(*bytes);
}

// Asks the open device for what sysfs may not have: size, geometry, and the
// ATA serial number. Each query is optional; failures keep what we had.
void QueryOpenDevice(int fd, BlockDeviceIdentity& id) {
  uint64_t bytes = 0;
  if (::ioctl(fd, BLKGETSIZE64, &bytes) == 0) id.sizeBytes = bytes;
  int logical = 0;
  if (::ioctl(fd, BLKSSZGET, &logical) == 0 && logical >= 512 && logical <= 65536)
    id.logicalSectorBytes = static_cast<uint32_t>(logical);
  struct hd_geometry geo {};
  if (::ioctl(fd, HDIO_GETGEO, &geo) == 0 && geo.heads != 0 && geo.sectors != 0) {
    id.heads = geo.heads;
    id.sectorsPerTrack = geo.sectors;
  }
  if (id.serial.empty()) {
    struct hd_driveid ata {};
    if (::ioctl(fd, HDIO_GET_IDENTITY, &ata) == 0) {
      id.serial = Trim(std::string(reinterpret_cast<const char*>(ata.serial_no),
                                   strnlen(reinterpret_cast<const char*>(ata.serial_no), sizeof ata.serial_no)));
    }
  }
}

void FinishGeometry(BlockDeviceIdentity& id) {
  const uint64_t perCylinder = uint64_t{id.heads} * id.sectorsPerTrack;
  id.cylinders = perCylinder ? id.sizeBytes / SectorSize / perCylinder : 0;
}

}  // namespace

bool IsWholeDiskName(const std::string& n) {
  auto starts = [&](const char* p) { return n.rfind(p, 0) == 0; };
  auto lettersFrom = [&](size_t from) {
    return from < n.size() &&
           std::all_of(n.begin() + static_cast<long>(from), n.end(), [](char c) { return c >= 'a' && c <= 'z'; });
  };
  if (starts("xvd")) return lettersFrom(3);
  if (starts("sd") || starts("vd") || starts("hd")) return lettersFrom(2);
  if (starts("mmcblk")) return AllDigits(n, 6);
  if (starts("nvme")) {
    // nvme<ctrl>n<ns>, not nvme<ctrl>n<ns>p<part> nor the controller itself.
    const size_t nPos = n.find('n', 4);
    if (nPos == std::string::npos) return false;
    return AllDigits(n.substr(0, nPos), 4) && AllDigits(n, nPos + 1);
  }
  return false;
}

std::vector<NumberedDevice> ListWholeDisks(const SystemPaths& paths) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(paths.sysBlock, ec)) {
    const std::string name = entry.path().filename().string();
    if (IsWholeDiskName(name)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  if (names.size() > kMaxDisks) names.resize(kMaxDisks);

  std::vector<NumberedDevice> disks;
  for (size_t i = 0; i < names.size(); ++i) {
    BlockDeviceIdentity id;
    id.name = names[i];
    id.devicePath = paths.devDir + "/" + names[i];
    const int fd = ::open(id.devicePath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) continue;  // no permission, or gone: left out without a word
    ReadSysfsIdentity(fs::path(paths.sysBlock) / names[i], id);
    QueryOpenDevice(fd, id);
    ::close(fd);
    FinishGeometry(id);
    disks.push_back({static_cast<int>(i), std::move(id)});
  }
  return disks;
}

std::optional<BlockDeviceIdentity> IdentifyBlockDevice(const std::string& devicePath, const SystemPaths& paths) {
  struct stat st {};
  if (::stat(devicePath.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return std::nullopt;
  BlockDeviceIdentity id;
  id.devicePath = devicePath;
  // /sys/dev/block/MAJ:MIN leads to the device's own sysfs directory; for a
  // partition the identity strings live on its parent disk.
  std::error_code ec;
  const fs::path link =
      fs::path(paths.sysDevBlock) / (std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)));
  fs::path dir = fs::canonical(link, ec);
  if (!ec) {
    id.name = dir.filename().string();
    const bool isPartition = fs::exists(dir / "partition", ec);
    ReadSysfsIdentity(isPartition ? dir.parent_path() : dir, id);
    if (isPartition) {
      id.sizeBytes = 0;
      if (auto sectors = ReadNumberAttr(dir / "size")) id.sizeBytes = *sectors * kSysfsSizeUnit;
    }
  } else {
    id.name = fs::path(devicePath).filename().string();
  }
  const int fd = ::open(devicePath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd >= 0) {
    QueryOpenDevice(fd, id);
    ::close(fd);
  }
  FinishGeometry(id);
  return id;
}

std::string UnescapeMountField(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && std::isdigit(static_cast<unsigned char>(field[i + 1])) &&
        std::isdigit(static_cast<unsigned char>(field[i + 2])) &&
        std::isdigit(static_cast<unsigned char>(field[i + 3]))) {
      const int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
      out.push_back(static_cast<char>(value));
      i += 3;
    } else {
      out.push_back(field[i]);
    }
  }
  return out;
}

std::vector<MountedVolume> ListMountedVolumes(const SystemPaths& paths) {
  std::vector<MountedVolume> volumes;
  std::ifstream in(paths.mountInfo);
  std::string line;
  std::map<std::string, bool> seen;
  while (std::getline(in, line)) {
    // id parent MAJ:MIN root mountpoint options [optional...] - fstype source super
    std::istringstream fields(line);
    std::string id, parent, devno, root, mountPoint;
    if (!(fields >> id >> parent >> devno >> root >> mountPoint)) continue;
    if (root != "/") continue;  // bind mounts of a sub-tree: the volume is listed by its real mount
    std::error_code ec;
    const fs::path dir = fs::canonical(fs::path(paths.sysDevBlock) / devno, ec);
    if (ec) continue;  // not a block device (proc, tmpfs, fuse...)
    MountedVolume v;
    v.mountPoint = UnescapeMountField(mountPoint);
    if (fs::exists(dir / "partition", ec)) {
      v.diskName = dir.parent_path().filename().string();
      auto start = ReadNumberAttr(dir / "start");
      if (!start) continue;
      v.startSector = *start;
    } else {
      v.diskName = dir.filename().string();
      v.startSector = 0;
    }
    // A volume mounted twice keeps its first mount point.
    const std::string key = v.diskName + ":" + std::to_string(v.startSector);
    if (seen[key]) continue;
    seen[key] = true;
    volumes.push_back(std::move(v));
  }
  return volumes;
}

namespace {

// The whole disks beneath the sysfs block directory `dir`: its parent for a
// partition, the disks of its members for a stacked device, else itself.
void CollectWholeDisks(const fs::path& dir, int depth, std::vector<std::string>& out) {
  std::error_code ec;
  if (fs::exists(dir / "partition", ec)) {
    out.push_back(dir.parent_path().filename().string());
    return;
  }
  bool stacked = false;
  if (depth < 8) {  // device-mapper over md over partitions is about as deep as it gets
    for (const auto& slave : fs::directory_iterator(dir / "slaves", ec)) {
      const fs::path below = fs::canonical(slave.path(), ec);
      if (ec) continue;
      stacked = true;
      CollectWholeDisks(below, depth + 1, out);
    }
  }
  if (!stacked) out.push_back(dir.filename().string());
}

}  // namespace

std::vector<std::string> RootDiskNames(const SystemPaths& paths) {
  std::ifstream in(paths.mountInfo);
  std::string line, rootDevno;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, devno, root, mountPoint;
    if (!(fields >> id >> parent >> devno >> root >> mountPoint)) continue;
    if (UnescapeMountField(mountPoint) == "/") rootDevno = devno;  // the last mount on "/" is the one in force
  }
  std::vector<std::string> names;
  if (rootDevno.empty()) return names;
  std::error_code ec;
  const fs::path dir = fs::canonical(fs::path(paths.sysDevBlock) / rootDevno, ec);
  if (ec) return names;
  CollectWholeDisks(dir, 0, names);
  return names;
}

std::optional<std::string> WholeDiskNameOf(const std::string& devicePath, const SystemPaths& paths) {
  struct stat st {};
  if (::stat(devicePath.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return std::nullopt;
  std::error_code ec;
  const fs::path dir = fs::canonical(
      fs::path(paths.sysDevBlock) / (std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev))), ec);
  if (ec) return fs::path(devicePath).filename().string();
  if (fs::exists(dir / "partition", ec)) return dir.parent_path().filename().string();
  return dir.filename().string();
}

}  // namespace orvaldi::platform
