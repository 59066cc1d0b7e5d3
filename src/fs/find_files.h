// Finding files and folders in a scanned tree by name, by extension or by a
// "*"/"?" pattern, with the deleted/existing and file/folder switches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fs/node_view.h"
#include "platform/progress.h"

namespace orvaldi::fs {

enum class FindBy : uint8_t {
  kName,       // the text occurs in the name; with `exact`, it is the whole name
  kExtension,  // a list "txt; doc; xls", each compared with the text after the last dot
  kPattern,    // a list "*r*me.t?t;*jp*", each a glob over the whole name
};

struct FindQuery {
  FindBy by = FindBy::kName;
  std::string text;
  bool exact = false;  // kName only
  bool includeDeleted = true;
  bool includeExisting = true;
  bool files = true;
  bool folders = true;
  bool streams = true;  // NTFS named data streams
};

// The test a query makes of one name; letters compare without regard to
// ASCII case, other characters as they are. Built once per search.
class NameMatcher {
 public:
  explicit NameMatcher(const FindQuery& query);
  bool matches(std::string_view name) const;
  // Nothing to look for: an extension or pattern list with no entries, or an
  // empty whole name. A name part that is empty is found in every name.
  bool empty() const;

 private:
  FindBy by_;
  bool exact_;
  std::string text_;                  // kName, lower-cased
  std::vector<std::string> entries_;  // kExtension and kPattern, lower-cased
  mutable std::string lower_;         // scratch: one matcher serves one thread
};

// The entries of a list typed by the operator: split at ';', spaces and tabs
// trimmed, empty entries left out.
std::vector<std::string> SplitFindList(std::string_view text);

// Whether `name` matches the glob `pattern` as a whole: '*' stands for any
// run of characters (none too), '?' for exactly one UTF-8 character, every
// other byte for itself. Case is the caller's (both are compared as given).
bool GlobMatch(std::string_view pattern, std::string_view name);

enum class FindStatus : uint8_t { kOk, kCancelled };

// A folder on the way to a result; `parent` indexes the same table, kNone
// for a top node.
struct FoundFolder {
  static constexpr size_t kNone = static_cast<size_t>(-1);
  NodeRef node;
  size_t parent = kNone;
};

struct FoundNode {
  NodeRef node;
  size_t folder = FoundFolder::kNone;  // its parent in FindResult::folders
};

struct FindResult {
  FindStatus status = FindStatus::kOk;
  std::vector<FoundNode> found;  // in the order of a listing of the tree
  // The folders the search passed through, each once: results share their
  // chains instead of each holding a copy (a pattern like "*" finds them all).
  std::vector<FoundFolder> folders;
  uint64_t visited = 0;  // nodes looked at, tops included

  // The folders from the top node down to the parent of found[i].
  std::vector<NodeRef> folderChain(size_t i) const;
  // The path as a listing prints it: "根目录/文档/会议纪要.txt".
  std::string path(size_t i) const;
};

// Searches everything below `tops` (a partition's top folders, or the nodes
// a window shows). The tops themselves are the reader's own folders and are
// not candidates. Progress: one stage over the nodes, positions now and then,
// the text "%d 项被找到"; on cancel it returns at once with what it found.
FindResult FindFiles(const std::vector<NodeRef>& tops, const FindQuery& query, platform::ProgressBlock& progress);

}  // namespace orvaldi::fs
