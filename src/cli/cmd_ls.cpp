// `orvaldi ls SOURCE PART`: the files and folders of a FAT partition, existing and deleted.
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/partition_scan.h"
#include "cli/text_columns.h"
#include "platform/text.h"

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

// What the listing shows of a node, for either tree.
struct Row {
  std::string name;
  uint8_t flags;
  uint64_t size;
  uint64_t id;
  std::optional<uint64_t> parent;
  std::string created, modified, accessed;
};

Row RowOf(const fs::FatNode& n, const fs::FatNode* parent) {
  return {n.name,
          n.flags,
          n.size,
          n.firstCluster,
          parent ? std::optional<uint64_t>(parent->firstCluster) : std::nullopt,
          fs::DosDateText(n.createDate, n.createTime),
          fs::DosDateText(n.modifyDate, n.modifyTime),
          ""};
}

Row RowOf(const fs::NtfsNode& n, const fs::NtfsNode* parent) {
  return {n.name,
          n.flags,
          n.size,
          n.recordNumber,
          parent ? std::optional<uint64_t>(n.parentNumber) : std::nullopt,
          fs::FileTimeText(n.createTime),
          fs::FileTimeText(n.modifyTime),
          fs::FileTimeText(n.accessTime)};
}

// Appends `text` as a JSON string; bytes that are not valid UTF-8 become "?".
void AppendJsonString(std::string& out, std::string_view text) {
  out.push_back('"');
  const std::string clean = platform::SanitizeUtf8(text);
  for (const char ch : clean) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(ch);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out.push_back(ch);
    }
  }
  out.push_back('"');
}

class TreePrinter {
 public:
  explicit TreePrinter(const LsOptions& options) : options_(options) {}

  template <typename Node>
  void print(const Node& node, const std::string& parentPath, const Node* parent, int depth) {
    const Row row = RowOf(node, parent);
    const std::string path = parentPath.empty() ? row.name : parentPath + "/" + row.name;
    const bool deleted = fs::IsDeletedKind(row.flags);
    const bool shown = !(options_.deletedOnly && !deleted) && !(options_.existingOnly && deleted);
    if (shown) {
      if (options_.json) {
        // Written by hand: a listing can run to millions of lines.
        line_.clear();
        line_ += "{\"path\":";
        AppendJsonString(line_, path);
        line_ += ",\"name\":";
        AppendJsonString(line_, row.name);
        line_ += fs::IsFolderLike(row.flags) ? ",\"type\":\"folder\"" : ",\"type\":\"file\"";
        line_ += deleted ? ",\"deleted\":true,\"state\":" : ",\"deleted\":false,\"state\":";
        AppendJsonString(line_, fs::StateWord(row.flags));
        line_ += ",\"size\":" + std::to_string(row.size);
        line_ += ",\"id\":" + std::to_string(row.id);
        line_ += row.parent ? ",\"parent\":" + std::to_string(*row.parent) : std::string(",\"parent\":null");
        line_ += ",\"created\":";
        AppendJsonString(line_, row.created);
        line_ += ",\"modified\":";
        AppendJsonString(line_, row.modified);
        line_ += ",\"accessed\":";
        AppendJsonString(line_, row.accessed);
        line_ += "}\n";
        std::fwrite(line_.data(), 1, line_.size(), stdout);
      } else {
        const std::string name =
            std::string(2 * static_cast<size_t>(depth), ' ') + row.name + (fs::IsFolderLike(row.flags) ? "/" : "");
        std::printf("%s%s%12llu  %s%s%10llu  %s\n", Pad(name, 48).c_str(), Pad(fs::StateWord(row.flags), 12).c_str(),
                    static_cast<unsigned long long>(row.size), Pad(row.created, 21).c_str(),
                    Pad(row.modified, 21).c_str(), static_cast<unsigned long long>(row.id),
                    row.parent ? std::to_string(*row.parent).c_str() : "-");
      }
    }
    for (const auto& child : node.children) print(child, path, &node, depth + 1);
  }

 private:
  const LsOptions& options_;
  std::string line_;
};

void PrintHeader(const LsOptions& o, const char* idName, const char* parentName) {
  if (o.json) return;
  std::printf("%s%s%s  %s%s%s  %s\n", Pad("名称", 48).c_str(), Pad("状态", 12).c_str(), "        大小",
              Pad("创建时间", 21).c_str(), Pad("修改时间", 21).c_str(), idName, parentName);
}

int RunLs(const LsOptions& o) {
  ScannedPartition scanned;
  if (const int code = ScanPartition(o.source, o.partition, o.mode, scanned); code != kExitOk) return code;
  TreePrinter printer(o);
  if (scanned.ntfs) {
    PrintHeader(o, "    记录号", "父记录");
    for (const fs::NtfsNode* top : scanned.ntfsTops) printer.print(*top, "", static_cast<const fs::NtfsNode*>(nullptr), 0);
  } else {
    PrintHeader(o, "      首簇", "父簇");
    for (const fs::FatNode* top : scanned.fatTops) printer.print(*top, "", static_cast<const fs::FatNode*>(nullptr), 0);
  }
  return scanned.partial ? kExitIncomplete : kExitOk;
}

}  // namespace

void AddLsCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand("ls", "List the files and folders of a FAT16, FAT32 or NTFS partition, deleted ones too");
  auto o = std::make_shared<LsOptions>();
  cmd->add_option("SOURCE", o->source, "Disk image file or block device")->required();
  cmd->add_option("PART", o->partition, "Partition: index or name as 'orvaldi parts' shows it, or mount point")
      ->required();
  cmd->add_option("--mode", o->mode, "walk: follow the tree from the root (FAT) or the MFT (NTFS); search: look at "
                                     "every cluster for folders (formatted or damaged FAT volumes); deep: look at "
                                     "every sector for file records, documents and pictures (formatted or damaged "
                                     "NTFS volumes)")
      ->check(CLI::IsMember({"walk", "search", "deep"}));
  cmd->add_flag("--json", o->json, "Print JSON Lines, one object per file or folder");
  auto* deleted = cmd->add_flag("--deleted", o->deletedOnly, "Only deleted files and folders");
  cmd->add_flag("--existing", o->existingOnly, "Only existing files and folders")->excludes(deleted);
  cmd->callback([o, &exitCode] { exitCode = RunLs(*o); });
}

}  // namespace orvaldi::cli
