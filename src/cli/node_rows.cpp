// The text and JSON rows of a listed node.
#include "cli/node_rows.h"

#include <cstdio>
#include <string_view>

#include "cli/text_columns.h"
#include "platform/text.h"

namespace orvaldi::cli {
namespace {

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

}  // namespace

void NodeRowPrinter::header(disk::FsFamily family) const {
  if (json_) return;
  const bool ntfs = family == disk::FsFamily::kNtfs;
  std::printf("%s%s%s  %s%s%s  %s%s\n", Pad("名称", 48).c_str(), Pad("状态", 12).c_str(), "        大小",
              Pad("创建时间", 21).c_str(), Pad("修改时间", 21).c_str(), ntfs ? "    记录号" : "      首簇",
              damageColumn_ ? Pad(ntfs ? "父记录" : "父簇", 10).c_str() : (ntfs ? "父记录" : "父簇"),
              damageColumn_ ? "坏区" : "");
}

void NodeRowPrinter::print(const fs::NodeRef& node, const std::string& path, const std::string& shownName,
                           std::optional<uint64_t> parentId, const RowDamage* damage) {
  const uint8_t flags = node.flags();
  const disk::CarvedNode* carved = node.carvedKind() == fs::CarvedKind::kFile ? node.carved() : nullptr;
  const bool found = carved != nullptr && !carved->foundName.empty();
  if (!json_) {
    // A carved file that a volume's record names shows that name beside its own.
    const std::string foundText =
        !found ? ""
        : carved->foundPath.empty()
            ? "  原文件: " + carved->foundName
            : "  原文件: " + carved->foundPath + (carved->foundPath.ends_with('/') ? "" : "/") + carved->foundName;
    const std::string state = std::string(fs::StateWord(flags)) + (node.intact() ? "" : "(不完整)");
    const std::string parent = parentId ? std::to_string(*parentId) : "-";
    std::string hit;
    if (damage && damage->any())
      hit = damage->data && damage->metadata ? "数据+元数据" : damage->data ? "数据" : "元数据";
    std::printf("%s%s%12llu  %s%s%10llu  %s%s\n", Pad(shownName, 48).c_str(), Pad(state, 12).c_str(),
                static_cast<unsigned long long>(node.size()), Pad(node.created(), 21).c_str(),
                Pad(node.modified(), 21).c_str(), static_cast<unsigned long long>(node.id()),
                damageColumn_ ? Pad(parent, 10).c_str() : parent.c_str(), (hit + foundText).c_str());
    return;
  }
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
  if (node.isStream()) {
    line_ += ",\"stream\":";
    AppendJsonString(line_, node.streamName());
  }
  if (!node.intact()) line_ += ",\"intact\":false";
  if (found) {
    line_ += ",\"foundName\":";
    AppendJsonString(line_, carved->foundName);
    if (!carved->foundPath.empty()) {
      line_ += ",\"foundPath\":";
      AppendJsonString(line_, carved->foundPath);
    }
  }
  line_ += ",\"id\":" + std::to_string(node.id());
  line_ += parentId ? ",\"parent\":" + std::to_string(*parentId) : std::string(",\"parent\":null");
  line_ += ",\"created\":";
  AppendJsonString(line_, node.created());
  line_ += ",\"modified\":";
  AppendJsonString(line_, node.modified());
  line_ += ",\"accessed\":";
  AppendJsonString(line_, node.accessed());
  if (damage && damage->any()) {
    // Byte positions and lengths as the map gives them, from its own position 0.
    line_ += ",\"damaged\":[";
    for (size_t i = 0; i < damage->ranges.size(); ++i) {
      const platform::ByteRange& r = damage->ranges[i];
      line_ += (i ? ",{\"pos\":" : "{\"pos\":") + std::to_string(r.begin - damage->mapBase) +
               ",\"size\":" + std::to_string(r.size()) + "}";
    }
    line_ += damage->data ? "],\"damaged_data\":true" : "],\"damaged_data\":false";
    line_ += damage->metadata ? ",\"damaged_metadata\":true" : ",\"damaged_metadata\":false";
  }
  line_ += "}\n";
  std::fwrite(line_.data(), 1, line_.size(), stdout);
}

}  // namespace orvaldi::cli
