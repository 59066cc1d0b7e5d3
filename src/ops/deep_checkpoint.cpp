// Checkpoints of the search of every sector of an NTFS partition.
#include "ops/deep_checkpoint.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "raw/scan_checkpoint.h"

namespace orvaldi::ops {
namespace {

constexpr std::string_view kMagic = "orvaldi deep-search checkpoint 1";

// The lines of `bytes`, each without its newline; false when the last one is not ended.
bool SplitLines(std::string_view bytes, std::vector<std::string_view>& lines) {
  while (!bytes.empty()) {
    const size_t nl = bytes.find('\n');
    if (nl == std::string_view::npos) return false;
    lines.push_back(bytes.substr(0, nl));
    bytes.remove_prefix(nl + 1);
  }
  return true;
}

bool ParseNumber(std::string_view text, uint64_t& out) {
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

// "key value": the value when the line starts with the key.
bool Field(std::string_view line, std::string_view key, std::string_view& value) {
  if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != ' ') return false;
  value = line.substr(key.size() + 1);
  return true;
}

bool NumberField(std::string_view line, std::string_view key, uint64_t& out) {
  std::string_view value;
  return Field(line, key, value) && ParseNumber(value, out);
}

// "A B": two numbers.
bool Pair(std::string_view line, uint64_t& a, std::string_view& b) {
  const size_t space = line.find(' ');
  if (space == std::string_view::npos) return false;
  b = line.substr(space + 1);
  return ParseNumber(line.substr(0, space), a);
}

std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\n' || c == '\r') c = ' ';
  return text;
}

}  // namespace

DeepCheckpointIdentity DeepIdentityOf(const disk::DiskInfo& disk, const disk::PartitionInfo& partition) {
  DeepCheckpointIdentity id;
  id.diskName = OneLine(disk::DisplayName(disk));
  id.sourceBytes = disk.sizeBytes > 0 ? static_cast<uint64_t>(disk.sizeBytes) : 0;
  id.partition = OneLine(partition.name);
  id.first = partition.startSector;
  id.count = partition.sectorCount;
  id.options = "mode=deep";
  return id;
}

std::string FormatDeepCheckpoint(const DeepCheckpointIdentity& id, const fs::DeepSearchState& state) {
  std::string out;
  out.reserve(256 + state.unread.size() * 24 + state.finds.size() * 16);
  out += kMagic;
  out += "\ndisk " + id.diskName + "\nsource-bytes " + std::to_string(id.sourceBytes) + "\npartition " + id.partition +
         "\nfirst " + std::to_string(id.first) + "\ncount " + std::to_string(id.count) + "\noptions " + id.options +
         "\nnext " + std::to_string(state.next) + "\ncomplete " + (state.complete ? "1" : "0") + "\nunread " +
         std::to_string(state.unread.size()) + "\n";
  for (const auto& [first, count] : state.unread) out += std::to_string(first) + " " + std::to_string(count) + "\n";
  out += "finds " + std::to_string(state.finds.size()) + "\n";
  for (const auto& [sector, kind] : state.finds) {
    out += std::to_string(sector);
    out += ' ';
    out += kind;
    out += '\n';
  }
  out += "end\n";
  return out;
}

DeepCheckpointRead ParseDeepCheckpoint(std::string_view bytes) {
  DeepCheckpointRead out;
  std::vector<std::string_view> lines;
  const auto damaged = [&out](const std::string& why) {
    out.ok = false;
    out.error = "damaged checkpoint: " + why;
    return out;
  };
  if (!SplitLines(bytes, lines) || lines.size() < 12 || lines[0] != kMagic)
    return damaged("not a checkpoint of a deep search");
  DeepCheckpointIdentity& id = out.identity;
  fs::DeepSearchState& st = out.state;
  std::string_view value;
  uint64_t complete = 0;
  uint64_t unread = 0;
  if (!Field(lines[1], "disk", value)) return damaged("no disk line");
  id.diskName = std::string(value);
  if (!NumberField(lines[2], "source-bytes", id.sourceBytes)) return damaged("no source size");
  if (!Field(lines[3], "partition", value)) return damaged("no partition line");
  id.partition = std::string(value);
  if (!NumberField(lines[4], "first", id.first) || !NumberField(lines[5], "count", id.count) ||
      id.count > UINT64_MAX - id.first)
    return damaged("no partition sectors");
  if (!Field(lines[6], "options", value)) return damaged("no options line");
  id.options = std::string(value);
  if (!NumberField(lines[7], "next", st.next) || st.next < id.first || st.next > id.first + id.count)
    return damaged("position outside the partition");
  if (!NumberField(lines[8], "complete", complete) || complete > 1) return damaged("no completion mark");
  st.complete = complete == 1;
  if (!NumberField(lines[9], "unread", unread) || unread > lines.size() - 12) return damaged("bad unread count");
  size_t at = 10;
  for (uint64_t k = 0; k < unread; ++k, ++at) {
    uint64_t first = 0;
    uint64_t count = 0;
    if (!Pair(lines[at], first, value) || !ParseNumber(value, count) || count == 0 || count > UINT64_MAX - first)
      return damaged("bad unread run");
    st.unread.emplace_back(first, count);
  }
  uint64_t finds = 0;
  if (!NumberField(lines[at], "finds", finds) || finds != lines.size() - at - 2) return damaged("bad find count");
  ++at;
  for (uint64_t k = 0; k < finds; ++k, ++at) {
    uint64_t sector = 0;
    if (!Pair(lines[at], sector, value) || value.size() != 1 ||
        (value[0] != fs::DeepSearchState::kRecord && value[0] != fs::DeepSearchState::kDocument &&
         value[0] != fs::DeepSearchState::kJpeg))
      return damaged("bad find");
    if (sector < id.first || sector >= st.next || (!st.finds.empty() && sector <= st.finds.back().first))
      return damaged("find out of place");
    st.finds.emplace_back(sector, value[0]);
  }
  if (lines[at] != "end") return damaged("no end mark");
  out.ok = true;
  return out;
}

bool DeepCheckpointer::prepare(const disk::DiskInfo& disk, const disk::PartitionInfo& partition,
                               const SweepCheckpointOptions& settings) {
  active_ = settings.any() || settings.stopAt != UINT64_MAX;
  if (!active_) return true;
  identity_ = DeepIdentityOf(disk, partition);
  if (!settings.resumeFrom.empty()) {
    const std::string& path = settings.resumeFrom;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      error_ = "cannot resume: " + path + ": " + std::strerror(errno);
      return false;
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    DeepCheckpointRead read = ParseDeepCheckpoint(bytes.str());
    if (!read.ok) {
      error_ = "cannot resume: " + path + ": " + read.error;
      return false;
    }
    const DeepCheckpointIdentity& was = read.identity;
    std::string why;
    if (was.diskName != identity_.diskName || was.sourceBytes != identity_.sourceBytes)
      why = "it was written for another source (" + was.diskName + ", " + std::to_string(was.sourceBytes) + " bytes)";
    else if (was.partition != identity_.partition || was.first != identity_.first || was.count != identity_.count)
      why = "it was written for another partition (" + was.partition + ", sectors " + std::to_string(was.first) + "+" +
            std::to_string(was.count) + ")";
    else if (was.options != identity_.options)
      why = "it was written with other options (" + was.options + ")";
    if (!why.empty()) {
      error_ = "cannot resume from " + path + ": " + why;
      return false;
    }
    resumed_ = std::move(read.state);
    checkpoints_.resume = &resumed_;
  }
  checkpoints_.interval = settings.interval;
  checkpoints_.stopAt = settings.stopAt;
  path_ = settings.writeTo;
  if (!path_.empty()) {
    checkpoints_.save = [this](const fs::DeepSearchState& state) {
      const std::string failed = raw::WriteCheckpointFile(path_, FormatDeepCheckpoint(identity_, state));
      std::lock_guard<std::mutex> guard(writeLock_);
      writeError_ = failed;
    };
  }
  return true;
}

std::string DeepCheckpointer::writeError() const {
  std::lock_guard<std::mutex> guard(writeLock_);
  return writeError_;
}

}  // namespace orvaldi::ops
