// `orvaldi ls SOURCE PART`: the files and folders of a FAT partition, existing and deleted.
#include <cstdio>
#include <iostream>
#include <memory>

#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "cli/console_progress.h"
#include "cli/exit_codes.h"
#include "cli/partition_select.h"
#include "cli/text_columns.h"
#include "disk/disk_list.h"
#include "fs/fat_reader.h"
#include "fs/fat_state.h"

namespace orvaldi::cli {
namespace {

struct LsOptions {
  std::string source;
  std::string partition;
  std::string mode = "walk";
  bool json = false;
  bool deletedOnly = false;
  bool existingOnly = false;
};

class TreePrinter {
 public:
  explicit TreePrinter(const LsOptions& options) : options_(options) {}

  void print(const fs::FatNode& node, const std::string& parentPath, const fs::FatNode* parent, int depth) {
    const std::string path = parentPath.empty() ? node.name : parentPath + "/" + node.name;
    const bool deleted = fs::IsDeletedKind(node.flags);
    const bool shown = !(options_.deletedOnly && !deleted) && !(options_.existingOnly && deleted);
    if (shown) {
      if (options_.json) {
        nlohmann::json j = {
            {"path", path},
            {"name", node.name},
            {"type", fs::IsFolderLike(node.flags) ? "folder" : "file"},
            {"deleted", deleted},
            {"state", fs::StateWord(node.flags)},
            {"size", node.size},
            {"id", node.firstCluster},
            {"parent", parent ? nlohmann::json(parent->firstCluster) : nlohmann::json(nullptr)},
            {"created", fs::DosDateText(node.createDate, node.createTime)},
            {"modified", fs::DosDateText(node.modifyDate, node.modifyTime)},
            {"accessed", ""},
        };
        std::cout << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
      } else {
        const std::string name = std::string(2 * static_cast<size_t>(depth), ' ') + node.name +
                                 (fs::IsFolderLike(node.flags) ? "/" : "");
        std::printf("%s%s%10u  %s%s%10u  %s\n", Pad(name, 48).c_str(), Pad(fs::StateWord(node.flags), 12).c_str(),
                    node.size, Pad(fs::DosDateText(node.createDate, node.createTime), 21).c_str(),
                    Pad(fs::DosDateText(node.modifyDate, node.modifyTime), 21).c_str(), node.firstCluster,
                    parent ? std::to_string(parent->firstCluster).c_str() : "-");
      }
    }
    for (const auto& child : node.children) print(child, path, &node, depth + 1);
  }

 private:
  const LsOptions& options_;
};

int RunLs(const LsOptions& o) {
  std::string error;
  auto d = disk::LoadSource(o.source, &error);
  if (!d) {
    std::fprintf(stderr, "orvaldi: %s\n", error.c_str());
    return kExitSource;
  }
  disk::PartitionInfo* part = SelectPartition(*d, o.partition, error);
  if (!part) {
    std::fprintf(stderr, "orvaldi: %s\n", error.c_str());
    return kExitUsage;
  }
  bool fat32;
  switch (part->typeByte) {
    case 0x0B:
    case 0x0C:
      fat32 = true;
      break;
    case 0x04:
    case 0x06:
    case 0x0E:
      fat32 = false;
      break;
    default:
      std::fprintf(stderr, "orvaldi: partition %s (type 0x%02X) holds no FAT16 or FAT32 volume; listing other file systems is not available yet\n",
                   part->name.c_str(), part->typeByte);
      return kExitCorrupt;
  }
  platform::ProgressBlock progress;
  ConsoleProgress bar(progress);
  progress.window = &bar;
  if (fat32) {
    fs::ScanFat32(*d, *part, o.mode == "search" ? fs::kFatModeSearch : fs::kFatModeWalk, progress);
  } else {
    fs::ScanFat16(*d, *part, o.mode == "search" ? fs::kFatModeSearch : fs::kFatModeWalk, progress);
  }
  bar.finish();
  const fs::FatScanState* state = fs::FindFatState(*part);
  if (!state || (state->root.children.empty() && state->orphans.children.empty() && state->root.firstCluster == 0 &&
                 part->sectorsPerCluster == 0)) {
    std::fprintf(stderr, "orvaldi: no FAT volume could be read in partition %s\n", part->name.c_str());
    return kExitCorrupt;
  }
  if (!o.json) {
    std::printf("%s%s%s  %s%s%s  %s\n", Pad("名称", 48).c_str(), Pad("状态", 12).c_str(), "      大小",
                Pad("创建时间", 21).c_str(), Pad("修改时间", 21).c_str(), "      首簇", "父簇");
  }
  TreePrinter printer(o);
  printer.print(state->root, "", nullptr, 0);
  printer.print(state->orphans, "", nullptr, 0);
  if (!state->thirdTop.children.empty()) printer.print(state->thirdTop, "", nullptr, 0);
  return kExitOk;
}

}  // namespace

void AddLsCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand("ls", "List the files and folders of a FAT16 or FAT32 partition, deleted ones too");
  auto o = std::make_shared<LsOptions>();
  cmd->add_option("SOURCE", o->source, "Disk image file or block device")->required();
  cmd->add_option("PART", o->partition, "Partition: index or name as 'orvaldi parts' shows it, or mount point")
      ->required();
  cmd->add_option("--mode", o->mode, "walk: follow the tree from the root; search: look at every cluster for folders "
                                     "(formatted or damaged volumes)")
      ->check(CLI::IsMember({"walk", "search"}));
  cmd->add_flag("--json", o->json, "Print JSON Lines, one object per file or folder");
  auto* deleted = cmd->add_flag("--deleted", o->deletedOnly, "Only deleted files and folders");
  cmd->add_flag("--existing", o->existingOnly, "Only existing files and folders")->excludes(deleted);
  cmd->callback([o, &exitCode] { exitCode = RunLs(*o); });
}

}  // namespace orvaldi::cli
