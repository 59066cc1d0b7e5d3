// The find-file search over a scanned tree and its name tests.
#include "fs/find_files.h"

#include <algorithm>
#include <limits>

namespace orvaldi::fs {
namespace {

void LowerInto(std::string_view s, std::string& out) {
  out.assign(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
}

std::string Lower(std::string_view s) {
  std::string out;
  LowerInto(s, out);
  return out;
}

// The index after the UTF-8 character at `i`. A byte that does not start a
// well-formed sequence counts as one character by itself.
size_t NextChar(std::string_view s, size_t i) {
  const auto lead = static_cast<unsigned char>(s[i]);
  const size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 1;
  size_t end = i + 1;
  while (end < i + length && end < s.size() && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) ++end;
  return end;
}

// A found folder's chain from the top down, read out of the shared table.
template <typename F>
void ForChain(const std::vector<FoundFolder>& folders, size_t folder, F&& f) {
  std::vector<size_t> up;
  for (size_t at = folder; at != FoundFolder::kNone && at < folders.size(); at = folders[at].parent) up.push_back(at);
  for (auto it = up.rbegin(); it != up.rend(); ++it) f(folders[*it].node);
}

bool KindWanted(const NodeRef& node, const FindQuery& query) {
  const bool folder = node.isFolderLike();
  if (!folder && !node.isFileLike()) return false;
  if (folder ? !query.folders : !query.files) return false;
  if (node.isStream() && !query.streams) return false;
  // A carved file is what is left of a deleted one, whatever its kind bits say.
  const bool deleted = node.isDeleted() || node.carvedKind() == CarvedKind::kFile;
  return deleted ? query.includeDeleted : query.includeExisting;
}

constexpr uint64_t kReportEvery = 4096;

}  // namespace

std::vector<std::string> SplitFindList(std::string_view text) {
  std::vector<std::string> entries;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t end = std::min(text.find(';', start), text.size());
    std::string_view entry = text.substr(start, end - start);
    while (!entry.empty() && (entry.front() == ' ' || entry.front() == '\t')) entry.remove_prefix(1);
    while (!entry.empty() && (entry.back() == ' ' || entry.back() == '\t')) entry.remove_suffix(1);
    if (!entry.empty()) entries.emplace_back(entry);
    start = end + 1;
  }
  return entries;
}

bool GlobMatch(std::string_view pattern, std::string_view name) {
  // The greedy walk with one remembered star: on a mismatch the last star
  // takes one more character of the name and the rest is tried again. Linear
  // in practice, and no recursion however many stars the pattern holds.
  size_t p = 0;
  size_t n = 0;
  size_t starP = std::string_view::npos;
  size_t starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = ++p;
      starN = n;
    } else if (p < pattern.size() && pattern[p] == '?') {
      ++p;
      n = NextChar(name, n);
    } else if (p < pattern.size() && pattern[p] == name[n]) {
      ++p;
      ++n;
    } else if (starP != std::string_view::npos) {
      starN = NextChar(name, starN);
      n = starN;
      p = starP;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

NameMatcher::NameMatcher(const FindQuery& query) : by_(query.by), exact_(query.exact) {
  if (by_ == FindBy::kName) {
    text_ = Lower(query.text);
    return;
  }
  for (std::string& entry : SplitFindList(query.text)) {
    // ".txt" is how many would write the extension txt.
    if (by_ == FindBy::kExtension && entry.front() == '.') entry.erase(0, 1);
    if (!entry.empty()) entries_.push_back(Lower(entry));
  }
}

bool NameMatcher::empty() const { return by_ == FindBy::kName ? exact_ && text_.empty() : entries_.empty(); }

bool NameMatcher::matches(std::string_view name) const {
  switch (by_) {
    case FindBy::kName:
      LowerInto(name, lower_);
      return exact_ ? lower_ == text_ : lower_.find(text_) != std::string::npos;
    case FindBy::kExtension: {
      const size_t dot = name.rfind('.');
      if (dot == std::string_view::npos) return false;  // no extension at all
      LowerInto(name.substr(dot + 1), lower_);
      return std::find(entries_.begin(), entries_.end(), lower_) != entries_.end();
    }
    case FindBy::kPattern:
      LowerInto(name, lower_);
      return std::any_of(entries_.begin(), entries_.end(),
                         [&](const std::string& entry) { return GlobMatch(entry, lower_); });
  }
  return false;
}

std::vector<NodeRef> FindResult::folderChain(size_t i) const {
  std::vector<NodeRef> chain;
  if (i < found.size()) ForChain(folders, found[i].folder, [&](const NodeRef& f) { chain.push_back(f); });
  return chain;
}

std::string FindResult::path(size_t i) const {
  std::string out;
  if (i >= found.size()) return out;
  ForChain(folders, found[i].folder, [&](const NodeRef& f) { out += f.name() + "/"; });
  return out + found[i].node.name();
}

FindResult FindFiles(const std::vector<NodeRef>& tops, const FindQuery& query, platform::ProgressBlock& progress) {
  FindResult result;
  const NameMatcher matcher(query);
  // The scan tree holds its children by value, so a walk of it cannot come
  // back to a node it has passed: it ends after each node was seen once.
  // Explicit stacks, because a tree found on a damaged disk can be deeper
  // than a thread's stack.
  struct Pending {
    NodeRef node;
    size_t folder;  // the parent's entry in result.folders
    bool top;
  };
  std::vector<Pending> stack;
  auto pushChildren = [&](const NodeRef& parent, size_t folder) {
    const size_t before = stack.size();
    parent.forEachChild([&](const NodeRef& child) { stack.push_back({child, folder, false}); });
    // Popped in listing order.
    std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(before), stack.end());
  };

  // A first pass counts the nodes for the progress bar; it costs a fraction
  // of the search, which compares names.
  uint64_t total = 0;
  {
    std::vector<NodeRef> counting(tops.begin(), tops.end());
    while (!counting.empty()) {
      const NodeRef n = counting.back();
      counting.pop_back();
      if ((++total % kReportEvery) == 0 && progress.cancelled()) {
        result.status = FindStatus::kCancelled;
        return result;
      }
      n.forEachChild([&](const NodeRef& child) { counting.push_back(child); });
    }
  }
  progress.beginStage(static_cast<int64_t>(std::min<uint64_t>(total, std::numeric_limits<int64_t>::max())), 1);
  progress.setText("0 项被找到");

  if (matcher.empty() || !(query.files || query.folders) || !(query.includeDeleted || query.includeExisting))
    return result;
  for (auto it = tops.rbegin(); it != tops.rend(); ++it) stack.push_back({*it, FoundFolder::kNone, true});
  while (!stack.empty()) {
    const Pending at = stack.back();
    stack.pop_back();
    if ((++result.visited % kReportEvery) == 0) {
      if (progress.cancelled()) {
        result.status = FindStatus::kCancelled;
        return result;
      }
      progress.setPosition(result.visited);
      progress.setText(std::to_string(result.found.size()) + " 项被找到");
    }
    if (!at.top && KindWanted(at.node, query) && matcher.matches(at.node.name()))
      result.found.push_back({at.node, at.folder});
    if (!at.node.hasChildren()) continue;
    result.folders.push_back({at.node, at.folder});
    pushChildren(at.node, result.folders.size() - 1);
  }
  progress.setPosition(result.visited);
  progress.setText(std::to_string(result.found.size()) + " 项被找到");
  return result;
}

}  // namespace orvaldi::fs
