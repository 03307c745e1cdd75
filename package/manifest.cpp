// patch-manifest.tsv: the list of every file an install puts into the game directory.
//
// The manifest is not signed, so its shape is what makes it trustworthy: a fixed number of records,
// only known targets, no duplicates even when letter case is folded the way the file system folds
// it. The record rules are checked in a fixed order because that order decides which message the
// user sees when a record breaks several of them.
#include "package/manifest.h"

#include <set>

#include "common/file_io.h"
#include "common/launch_copy.h"
#include "common/patch_error.h"
#include "common/path.h"
#include "common/path_safety.h"
#include "common/platform.h"
#include "common/text.h"

namespace {

constexpr std::string_view MANIFEST_MAGIC = "VANROPATCH04";
constexpr std::string_view GENERATED_DIGEST = "generated";
constexpr std::string_view RESOURCE_PREFIX = "_vanro/patch/AdvData/";

struct AllowedTarget {
  std::string_view path;
  bool is_prefix;  // a prefix must be followed by at least one more byte
};

// Every target a record may name. Nothing outside this table is ever written into the game
// directory, whatever the package says.
constexpr AllowedTarget ALLOWED_TARGETS[] = {
    {"_vanro/patch/AdvData/MES/", true},
    {"_vanro/patch/AdvData/GRP/SYSTEM/", true},
    {"_vanro/characters.bin", false},
    {"_vanro/japanese.bin", false},
    {"_vanro/japanese-emphasis.bin", false},
    {"_vanro/save-offsets.bin", false},
    {"_vanro/hook.ini", false},
    {"_vanro/sarasa-gothic-sc-bold.ttf", false},
    {"_vanro/FONT-LICENSE.txt", false},
    {"_vanro/core-files.tsv", false},
    {"_vanro/core-files.sig", false},
    {"_vanro/runtime/winmm.dll", false},
    {"VANROLauncher.exe", false},
    {LAUNCH_COPY_PATH, false},
};

bool is_allowed_target(std::string_view path) {
  for (const AllowedTarget& target : ALLOWED_TARGETS) {
    if (target.is_prefix ? path.size() > target.path.size() && path.starts_with(target.path)
                         : path == target.path) {
      return true;
    }
  }
  return false;
}

// The launch copy is made on the user's machine, so a manifest can only promise to generate it;
// the install state later records the digest of the copy that was actually made.
bool is_valid_digest_field(std::string_view sha256, bool is_launch_copy, RecordMode mode) {
  if (is_hex_digest(sha256)) {
    return true;
  }
  return mode == RecordMode::manifest && is_launch_copy && sha256 == GENERATED_DIGEST;
}

// The records' paths and the folders above them, folded.
struct FoldedNames {
  std::set<std::u16string> paths, folders;
};

// False when the path is taken already, as a file or as a folder, or one of its folders is a file.
bool add_folded_path(const std::u16string& path, FoldedNames& names) {
  if (names.folders.count(path) || !names.paths.insert(path).second) return false;
  for (std::size_t slash = path.find(u'/'); slash != std::u16string::npos; slash = path.find(u'/', slash + 1)) {
    std::u16string folder = path.substr(0, slash);
    if (names.paths.count(folder)) return false;
    names.folders.insert(std::move(folder));
  }
  return true;
}

}  // namespace

std::vector<std::string> split_lines(const std::string& bytes) {
  // Converted only to prove the whole file is UTF-8; the lines themselves stay UTF-8.
  utf8_to_wide(bytes);
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\n', start);
    if (end == std::string::npos) {
      end = bytes.size();
    }
    std::size_t length = end - start;
    if (length > 0 && bytes[end - 1] == '\r') {
      --length;
    }
    lines.emplace_back(bytes, start, length);
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> split_fields(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', start);
    if (tab == std::string::npos) {
      fields.emplace_back(line, start);
      return fields;
    }
    fields.emplace_back(line, start, tab - start);
    start = tab + 1;
  }
}

std::vector<ManifestRecord> parse_manifest_records(const std::vector<std::string>& lines, std::size_t first,
                                                   RecordMode mode) {
  std::vector<ManifestRecord> records;
  FoldedNames folded;
  std::size_t resource_count = 0;
  for (std::size_t i = first; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.empty()) {
      continue;
    }
    std::vector<std::string> fields = split_fields(line);
    if (fields.size() != 3) {
      throw PatchError("补丁清单格式错误。");
    }
    ManifestRecord record{std::move(fields[0]), std::move(fields[1]), std::move(fields[2])};
    const bool is_launch_copy = record.path == LAUNCH_COPY_PATH;
    // A device name reaches a device wherever it stands, and a name that ends like a staging file
    // is another file's staging name: the copy of one would take the other's final name.
    if (!is_safe_relative_path(record.path) || names_a_device(record.path) || ends_with_staging_suffix(record.path)) {
      throw PatchError("补丁清单路径或哈希无效。");
    }
    if (record.replaced_sha256 != "-" && !is_hex_digest(record.replaced_sha256)) {
      throw PatchError("补丁清单路径或哈希无效。");
    }
    if (!is_valid_digest_field(record.sha256, is_launch_copy, mode)) {
      throw PatchError("补丁清单路径或哈希无效。");
    }
    // Folded the way the file system compares names, so that two records can never land on
    // the same file on disk, nor one on a folder that another's file needs.
    if (!add_folded_path(platform::lower_case(utf8_to_wide(record.path)), folded)) {
      throw PatchError("补丁清单包含重名文件。");
    }
    if (record.replaced_sha256 != "-") {
      throw PatchError("隔离版补丁不得替换原游戏文件；旧版请用原安装器卸载。");
    }
    if (!is_allowed_target(record.path)) {
      throw PatchError("清单包含不兼容的目标类型；已装旧版补丁请先使用原安装器卸载。");
    }
    if (mode == RecordMode::manifest && is_launch_copy && record.sha256 != GENERATED_DIGEST) {
      throw PatchError("补丁生成程序的清单信息无效。");
    }
    if (record.path.starts_with(RESOURCE_PREFIX)) {
      ++resource_count;
    }
    records.push_back(std::move(record));
  }
  if (records.size() != MANIFEST_RECORD_COUNT || resource_count != MANIFEST_RESOURCE_COUNT) {
    throw PatchError("隔离版补丁清单条数或资源数量无效。");
  }
  return records;
}

std::string format_manifest_records(const std::vector<ManifestRecord>& records) {
  std::string text;
  for (const ManifestRecord& record : records)
    text += record.path + "\t" + record.replaced_sha256 + "\t" + record.sha256 + "\n";
  return text;
}

std::string format_patch_manifest(const std::vector<ManifestRecord>& records) {
  return std::string(MANIFEST_MAGIC) + "\n" + format_manifest_records(records);
}

PatchManifest read_patch_manifest(const std::u16string& installer_dir) {
  const std::string bytes = read_whole_file(join_path(installer_dir, u"patch-manifest.tsv"), MANIFEST_LIMIT);
  const std::vector<std::string> lines = split_lines(bytes);
  if (lines.size() < 2) {
    throw PatchError("补丁清单缺失。");
  }
  const std::vector<std::string> header = split_fields(lines[0]);
  if (header.size() != 1 || header[0] != MANIFEST_MAGIC) {
    throw PatchError("补丁清单格式不正确。");
  }
  return parse_manifest_records(lines, 1, RecordMode::manifest);
}
