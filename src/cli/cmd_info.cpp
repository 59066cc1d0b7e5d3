// `orvaldi info SOURCE`: a source's identity and the volumes its first sectors show.
#include <array>
#include <cstring>
#include <memory>
#include <cstdio>
#include <iostream>
#include <vector>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/json_out.h"
#include "disk/bytes.h"
#include "disk/disk_list.h"
#include "disk/sector_io.h"
#include "disk/volume_probe.h"
#include "ops/format.h"

namespace orvaldi::cli {
namespace {

struct Probe {
  std::string role;    // "sector 0" or "MBR entry N"
  uint64_t sector = 0;
  int entryType = -1;  // MBR type byte of the entry, -1 for sector 0
  uint64_t entrySectors = 0;
  disk::VolumeGuess guess;
};

// The four primary entries of an MBR, read directly (no extended chains).
std::vector<Probe> MbrEntryProbes(disk::SectorSource& source, const std::array<uint8_t, 512>& mbr) {
  std::vector<Probe> probes;
  const disk::ByteView s(mbr);
  if (s.le16(0x1FE) != 0xAA55) return probes;
  for (int i = 0; i < 4; ++i) {
    const uint64_t at = 0x1BE + 16ull * i;
    const uint8_t type = s.u8(at + 4);
    const uint32_t start = s.le32(at + 8);
    const uint32_t count = s.le32(at + 12);
    if (type == 0 || start == 0) continue;
    Probe p;
    p.role = "MBR entry " + std::to_string(i + 1);
    p.sector = start;
    p.entryType = type;
    p.entrySectors = count;
    p.guess = disk::IdentifyVolume(source, start);
    probes.push_back(std::move(p));
  }
  return probes;
}

void PrintHuman(const disk::DiskInfo& d, const std::vector<Probe>& probes) {
  std::printf("Source:    %s\n", disk::DisplayName(d).c_str());
  std::printf("Path:      %s\n", d.devicePath.c_str());
  if (!d.index.empty()) std::printf("Drive:     %s\n", d.index.c_str());
  if (!d.serialNumber.empty()) std::printf("Serial:    %s\n", d.serialNumber.c_str());
  std::printf("Size:      %s (%lld bytes, %lld sectors)\n", ops::SizeText(static_cast<uint64_t>(d.sizeBytes)).c_str(),
              static_cast<long long>(d.sizeBytes), static_cast<long long>(d.sizeBytes / 512));
  std::printf("Geometry:  %u cylinders, %u heads, %u sectors per track\n", d.cylinders, d.tracksPerCylinder,
              d.sectorsPerTrack);
  for (const auto& p : probes) {
    std::printf("%-13s", (p.role + ":").c_str());
    if (p.entryType >= 0)
      std::printf("sector %llu, type 0x%02X, %llu sectors (%s)", static_cast<unsigned long long>(p.sector), p.entryType,
                  static_cast<unsigned long long>(p.entrySectors), ops::SizeText(p.entrySectors * 512).c_str());
    const char* sep = p.entryType >= 0 ? ": " : "";
    if (p.guess.fs.empty()) {
      std::printf("%sno volume recognised\n", sep);
    } else {
      std::printf("%s%s", sep, p.guess.fs.c_str());
      if (!p.guess.label.empty()) std::printf(", label \"%s\"", p.guess.label.c_str());
      std::printf("\n");
    }
  }
}

nlohmann::json ProbeJson(const Probe& p) {
  nlohmann::json j = {{"role", p.role}, {"sector", p.sector}, {"fs", p.guess.fs}, {"label", p.guess.label}};
  if (p.entryType >= 0) {
    j["type"] = p.entryType;
    j["sectors"] = p.entrySectors;
  }
  return j;
}

}  // namespace

void AddInfoCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand("info", "Show a disk image or block device and the volumes its first sectors hold");
  auto path = std::make_shared<std::string>();  // kept alive by the callback below
  cmd->add_option("SOURCE", *path, "Disk image file or block device")->required();
  auto json = std::make_shared<bool>(false);
  cmd->add_flag("--json", *json, "Print one JSON object instead of text");
  cmd->callback([path, json, &exitCode] {
    std::string error;
    auto d = disk::DescribeSource(*path, &error);
    if (!d) {
      std::fprintf(stderr, "orvaldi: %s\n", error.c_str());
      exitCode = kExitSource;
      return;
    }
    auto source = disk::OpenSource(*d, &error);
    if (!source) {
      std::fprintf(stderr, "orvaldi: %s\n", error.c_str());
      exitCode = kExitSource;
      return;
    }
    std::array<uint8_t, 512> mbr{};
    const auto read = disk::ReadSectors(*source, 0, 1, mbr.data());
    if (!read.complete && read.error != 0) {
      std::fprintf(stderr, "orvaldi: %s: cannot read sector 0: %s\n", path->c_str(), std::strerror(read.error));
      exitCode = kExitSource;
      return;
    }
    std::vector<Probe> probes;
    Probe first;
    first.role = "Sector 0";
    first.guess = disk::IdentifyVolume(*source, 0);
    probes.push_back(first);
    for (auto& p : MbrEntryProbes(*source, mbr)) probes.push_back(std::move(p));

    if (*json) {
      nlohmann::json out = DiskJson(*d);
      out["volumes"] = nlohmann::json::array();
      for (const auto& p : probes) out["volumes"].push_back(ProbeJson(p));
      std::cout << out.dump(2) << "\n";
    } else {
      PrintHuman(*d, probes);
    }
    exitCode = kExitOk;
  });
}

}  // namespace orvaldi::cli
