// What a folder holds, to show that a run left it as it was: every entry below it, by
// relative path, with its kind, contents and modification time.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

namespace vxtest {

struct FolderEntry {
  bool bFolder = false;
  std::string sContents;
  std::filesystem::file_time_type modified{};
  bool operator==(const FolderEntry&) const = default;
};

using FolderSnapshot = std::map<std::string, FolderEntry>;

inline FolderSnapshot SnapshotOf(const std::filesystem::path& folder) {
  FolderSnapshot snapshot;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    FolderEntry entry;
    entry.bFolder = it->is_directory(ec);
    entry.modified = it->last_write_time(ec);
    if (it->is_regular_file(ec)) {
      std::ifstream in(it->path(), std::ios::binary);
      entry.sContents.assign(std::istreambuf_iterator<char>(in), {});
    }
    snapshot[std::filesystem::relative(it->path(), folder, ec).generic_string()] = entry;
  }
  return snapshot;
}

}  // namespace vxtest
