// `orvaldi ls SOURCE PART`: the files and folders of a FAT or NTFS partition, existing and deleted.
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/partition_scan.h"
#include "cli/result_options.h"
#include "cli/text_columns.h"
#include "fs/node_view.h"
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
  ResultOptions result;
};

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

  void print(const fs::NodeRef& node, const std::string& parentPath, const fs::NodeRef& parent, int depth) {
    const std::string& name = node.name();
    const uint8_t flags = node.flags();
    const std::string path = parentPath.empty() ? name : parentPath + "/" + name;
    const bool deleted = fs::IsDeletedKind(flags);
    const bool shown = !(options_.deletedOnly && !deleted) && !(options_.existingOnly && deleted);
    if (shown) {
      const std::optional<uint64_t> parentId = node.parentId(parent);
      if (options_.json) {
        printJson(node, path, parentId);
      } else {
        const std::string shownName =
            std::string(2 * static_cast<size_t>(depth), ' ') + name + (fs::IsFolderLike(flags) ? "/" : "");
        const std::string state = std::string(fs::StateWord(flags)) + (node.intact() ? "" : "(不完整)");
        std::printf("%s%s%12llu  %s%s%10llu  %s\n", Pad(shownName, 48).c_str(), Pad(state, 12).c_str(),
                    static_cast<unsigned long long>(node.size()), Pad(node.created(), 21).c_str(),
                    Pad(node.modified(), 21).c_str(), static_cast<unsigned long long>(node.id()),
                    parentId ? std::to_string(*parentId).c_str() : "-");
      }
    }
    node.forEachChild([&](const fs::NodeRef& child) { print(child, path, node, depth + 1); });
  }

 private:
  // Written by hand: a listing can run to millions of lines.
  void printJson(const fs::NodeRef& node, const std::string& path, std::optional<uint64_t> parentId) {
    const uint8_t flags = node.flags();
    const bool deleted = fs::IsDeletedKind(flags);
    line_.clear();
    line_ += "{\"path\":";
    AppendJsonString(line_, path);
    line_ += ",\"name\":";
    AppendJsonString(line_, node.name());
    line_ += fs::IsFolderLike(flags) ? ",\"type\":\"folder\"" : ",\"type\":\"file\"";
    line_ += deleted ? ",\"deleted\":true,\"state\":" : ",\"deleted\":false,\"state\":";
    AppendJsonString(line_, fs::StateWord(flags));
    line_ += ",\"size\":" + std::to_string(node.size());
    if (!node.intact()) line_ += ",\"intact\":false";
    line_ += ",\"id\":" + std::to_string(node.id());
    line_ += parentId ? ",\"parent\":" + std::to_string(*parentId) : std::string(",\"parent\":null");
    line_ += ",\"created\":";
    AppendJsonString(line_, node.created());
    line_ += ",\"modified\":";
    AppendJsonString(line_, node.modified());
    line_ += ",\"accessed\":";
    AppendJsonString(line_, node.accessed());
    line_ += "}\n";
    std::fwrite(line_.data(), 1, line_.size(), stdout);
  }

  const LsOptions& options_;
  std::string line_;
};

void PrintHeader(const LsOptions& o, const char* idName, const char* parentName) {
  if (o.json) return;
  std::printf("%s%s%s  %s%s%s  %s\n", Pad("名称", 48).c_str(), Pad("状态", 12).c_str(), "        大小",
              Pad("创建时间", 21).c_str(), Pad("修改时间", 21).c_str(), idName, parentName);
}

int RunLs(const LsOptions& o) {
  OpenedForCommand open;
  if (const int code = OpenPartitionForCommand(o.source, o.partition, o.mode, o.result.source(), open); code != kExitOk)
    return code;
  TreePrinter printer(o);
  if (open.opened.family == disk::FsFamily::kNtfs) {
    PrintHeader(o, "    记录号", "父记录");
  } else {
    PrintHeader(o, "      首簇", "父簇");
  }
  for (const fs::NodeRef& top : open.opened.tops) printer.print(top, "", fs::NodeRef(), 0);
  return open.partial() ? kExitIncomplete : kExitOk;
}

}  // namespace

void AddLsCommand(CLI::App& app, int& exitCode) {
  auto* cmd =
      app.add_subcommand("ls", "List the files and folders of a FAT16, FAT32 or NTFS partition, deleted ones too");
  auto o = std::make_shared<LsOptions>();
  cmd->add_option("SOURCE", o->source, "Disk image file or block device")->required();
  cmd->add_option("PART", o->partition, "Partition: index or name as 'orvaldi parts' shows it, or mount point")
      ->required();
  cmd->add_option("--mode", o->mode,
                  "walk: follow the tree from the root (FAT) or the MFT (NTFS); search: look at "
                  "every cluster for folders (formatted or damaged FAT volumes); deep: look at "
                  "every sector for file records, documents and pictures (formatted or damaged "
                  "NTFS volumes)")
      ->check(CLI::IsMember({"walk", "search", "deep"}));
  cmd->add_flag("--json", o->json, "Print JSON Lines, one object per file or folder");
  AddLoadResultOption(cmd, o->result);
  auto* deleted = cmd->add_flag("--deleted", o->deletedOnly, "Only deleted files and folders");
  cmd->add_flag("--existing", o->existingOnly, "Only existing files and folders")->excludes(deleted);
  cmd->callback([o, &exitCode] { exitCode = RunLs(*o); });
}

}  // namespace orvaldi::cli
