// Where saved files go: the name check, the name filter, free target names,
// free space, and the progress texts of a save.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "disk/disk_info.h"

namespace orvaldi::raw {

// One save walk's answers to invalid names.
struct NameCheckState {
  bool stop = false;        // "跳过所有": the whole walk ends
  bool replaceAll = false;  // "所有无效符号改为：" ticked
  std::string replacement = "$";
};

// What the operator answered for one invalid name.
struct NameAnswer {
  enum Action { kRename, kSkip, kSkipAll } action = kSkip;
  std::string newName;      // kRename: the edited name
  bool replaceAll = false;  // kRename: the state of "所有无效符号改为："
  std::string replacement;  // kRename: the text beside it
};

// Asked for each invalid name while the replace-all flag is off, with the
// old name and the proposed one (each invalid character replaced by "$").
// The GUI shows "残缺的名字"; the command line answers from its option.
using NameAsker = std::function<NameAnswer(const std::string& oldName, const std::string& proposed)>;

// A name is invalid when it holds one of ? / : * \ " < > |, a control
// character or NUL, or is empty, "." or "..": such a name could not be
// created on every target, or would leave the target folder.
bool IsInvalidName(std::string_view name);

// `name` with each invalid character replaced by `replacement`; an empty,
// "." or ".." name becomes the replacement once per character (at least once).
std::string ReplaceInvalid(std::string_view name, std::string_view replacement);

// The name check of a save walk: the name to use, or nothing when the node
// (and everything below it) is to be skipped. An answer that is still
// invalid is asked again, at most three times, then skipped.
std::optional<std::string> CheckName(const std::string& name, NameCheckState& state, const NameAsker& ask);

// The name filter ("*.doc", "abc*"; empty passes everything), matched on the
// lower-cased name: a pattern without "." or starting with "." must occur in
// the name ("*" removed); otherwise its part before the first "." must occur
// in the name's part before its first ".", and its part after in the name's
// part after it.
bool FilterMatches(std::string_view filter, std::string_view name);

// The candidate names for `path`: itself, then the full name followed by a
// counter and the extension ("a.jpg" -> "a.jpg0.jpg", "a.jpg1.jpg"), or by
// the counter alone when the name has no ".".
std::string CandidateName(const std::string& path, uint32_t counter);

// Creates a new file for `path` under the first free candidate name, never
// opening an existing file: each candidate is created exclusively and one
// that exists moves on to the next counter. Missing folders of the path are
// created when the first attempt finds none. Returns the open descriptor and
// the name used, or -1 with errno set.
int CreateTargetFile(const std::string& path, std::string* usedPath);

// Creates `folder` and its missing parents; true when it exists afterwards.
bool MakeFolders(const std::string& folder);

// Bytes free to the caller on the volume that holds `folder` (or its nearest
// existing parent); nothing when it cannot be asked.
std::optional<uint64_t> FreeBytes(const std::string& folder);

// "即将保存 %.1f" with a unit, followed by ",磁盘空间不够！".
std::string NotEnoughSpaceText(uint64_t size);
// The running total of an NTFS save: "%I64d BYTE被保存", "%.2f KB被保存",
// "%.2f MB被保存" or "%.2f GB被保存".
std::string SavedTotalText(uint64_t total);
// "%I64d BYTE被保存".
std::string SavedBytesText(uint64_t total);

// Whether `folder` lies on the disk being recovered (the device itself or one
// of its partitions); saving there would overwrite what is being saved.
// Image files are not devices: a target beside an image is fine.
bool TargetOnSourceDevice(const disk::DiskInfo& disk, const std::string& folder);

}  // namespace orvaldi::raw
