// The save operation: copies picked files, folders and carved files of a
// partition to a target folder, rebuilding the folder structure below it.
// It only reads the source disk.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "disk/carved_node.h"
#include "disk/disk_info.h"
#include "disk/partition_info.h"
#include "fs/extract.h"
#include "fs/node_copy.h"
#include "fs/node_view.h"
#include "platform/progress.h"
#include "raw/manifest.h"
#include "raw/save_target.h"
#include "raw/start_cluster_search.h"

namespace orvaldi::raw {

// The choices of the "Recover" dialog plus the partition window's filter.
struct SaveOptions {
  std::string target;           // "输出路径:"
  bool useFat = true;           // "是否以FAT做参考" (FAT partitions)
  bool recoverDeleted = true;   // "恢复删除文件"
  bool recoverExisting = true;  // "恢复正常文件"
  std::string filter;           // name filter, empty = everything
  bool recoverStreams = true;   // NTFS named streams, saved as "file_stream"
};

// One picked item: a node of a scanned tree, a carved file or the
// carved-files folder. `folders` names the folders above it, rebuilt below
// the target (each passes the name check like any folder of the walk).
struct SaveItem {
  fs::NodeRef node;
  std::vector<std::string> folders;
  // Non-empty: the item is saved under this name rather than its own (a
  // carved file under the name a file record gives it); checked as any name.
  std::string name = {};
};

// What one worker copies: items of one partition, whose tree was scanned.
struct SaveJob {
  disk::DiskInfo* disk = nullptr;
  disk::PartitionInfo* partition = nullptr;
  std::vector<SaveItem> items;
};

struct SaveSettings {
  SaveOptions options;
  NameAsker ask;                                // empty: invalid names are skipped
  platform::ProgressBlock* progress = nullptr;  // may be null
  std::function<void(const std::string&)> log;  // one line per file that had trouble; may be empty
  // Bytes free on the target; empty asks the platform (FreeBytes).
  std::function<std::optional<uint64_t>(const std::string&)> freeSpace;
  // Write a manifest (kManifestName, or the first free name after it) into
  // the target: one line per saved file with its digest, the sectors read,
  // its verdict and its content check.
  bool manifest = false;
};

struct SaveSummary {
  std::string refusal;          // non-empty: nothing was saved, and why
  uint64_t files = 0;           // files written
  uint64_t bytes = 0;           // bytes written
  uint64_t skipped = 0;         // refused names and files whose target could not be created
  uint64_t damaged = 0;         // written, but not intact: unreadable sectors, a broken or unknown chain, corrupt
                                // compressed data, or a write that failed part way (the part written stays)
  uint64_t failed = 0;          // not written (no file left): unreadable records, data not found, write errors
  uint64_t sourceFailures = 0;  // jobs dropped because their disk could not be opened
  bool cancelled = false;
  std::string manifestPath;   // the manifest written, empty when none
  std::string manifestError;  // why no manifest (or only part of it) could be written
  ManifestCounts manifest;    // of the files listed in it
};

// Bytes a job would write: the files below its items that pass the flags
// and the filter (carved files by their size).
uint64_t JobSize(const SaveJob& job, const SaveOptions& options);

// Refusals common to both forms, checked before anything is copied: an
// empty target ("选择保存路径") and a target on the disk being recovered.
std::string CheckTargetFolder(const disk::DiskInfo& disk, const std::string& target);

// Save of the selected item: one job, one worker, the full list of known
// extensions and one used-cluster set over the walk. Refused when the size
// is not below the free space of the target.
SaveSummary SaveSelected(const SaveJob& job, const SaveSettings& settings);

// Save of the checked items: each job on a pool of up to ten workers (each
// with its own disk handle and walk state), sharing byte counters; the short
// list of known extensions. Refused when the total exceeds the free space.
SaveSummary SaveChecked(const std::vector<SaveJob>& jobs, const SaveSettings& settings, unsigned workers);

inline constexpr unsigned kMaxSaveWorkers = 10;

// One file's bytes to `sink`, read as the save walk reads them (fs::CopyNode),
// a deleted FAT file from the first cluster whose header confirms its type
// (else its entry's cluster). `source` is null for dynamic volumes. Folders
// have no data (kFailed).
fs::NodeCopy CopyFileData(platform::SectorSource* source, const disk::PartitionInfo& partition, const fs::NodeRef& node,
                          fs::DataSink& sink, const fs::PieceFn& piece);

// Makes the target folder (and those above it) and checks that files can be
// created in it. False with errno set when not.
bool PrepareTargetFolder(const std::string& target);

}  // namespace orvaldi::raw
