#include <algorithm>
#include <exception>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "common/file_io.h"
#include "common/launch_copy.h"
#include "common/path.h"
#include "common/path_safety.h"
#include "common/patch_error.h"
#include "common/platform.h"
#include "common/retrying.h"
#include "common/text.h"
#include "installer/game_dir.h"
#include "installer/install_state.h"
#include "installer/operations.h"
#include "installer/file_digest.h"
#include "integrity/sha256.h"

namespace {

constexpr char RUNTIME_LOG_PATH[] = "_vanro/runtime.log";

// A recorded file that the protection pass judged removable. It stays open from then on, shared
// for reading only: until it is deleted through this same handle nobody can write, rename or delete
// it, so the removal deletes exactly the bytes that were judged, whatever happens to its name.
struct JudgedFile {
  std::u16string path;
  uint32_t attributes = 0;
  std::string digest;
  platform::FileHandle handle{};
  bool open = false;
};

// What one run knows beyond the state: the folders walked and what the folders above the files
// reach, the files judged, the launch copy that ZDH.EXE gives now, what the folders list, and what
// this run has deleted.
struct Run {
  const std::u16string& game_dir;
  const InstallState& state;
  WalkedFolders walked{};
  ReachedFolders folders{};
  std::map<const ManifestRecord*, JudgedFile> judged{};
  std::optional<std::string> regenerated_copy{};  // its digest, once asked; empty when none can be made
  std::map<std::u16string, std::set<std::u16string>> listed{};  // by folder, by deletion_key
  std::set<std::u16string> deleted{};                           // by deletion_key
  ~Run() {
    for (auto& [record, file] : judged) close(file);
  }
  static void close(JudgedFile& file) {
    if (file.open) platform::close_file(file.handle);
    file.open = false;
  }
};

// Paths of one file compare equal here whatever their separators and ASCII case.
std::u16string deletion_key(const std::u16string& path) { return platform::lower_case(lexically_normal(path)); }

// After a game update, the launcher rebuilds a missing launch copy from the new ZDH.EXE: that copy
// holds nothing of the player's either, since it is exactly what the generation makes now.
const std::string& regenerated_copy_digest(Run& run) {
  if (!run.regenerated_copy) {
    try {
      run.regenerated_copy = sha256_hex(build_launch_copy(join_path(run.game_dir, u"ZDH.EXE")));
    } catch (const std::exception&) {
      run.regenerated_copy = "";  // no copy can be made from it: nothing matches
    }
  }
  return *run.regenerated_copy;
}

// The configuration files that the user may change; a changed one is kept in user-edits/ under
// this name before it is removed. Every other recorded file must still hold what the install wrote.
const char* user_copy_name(const std::string& path) {
  if (path == "_vanro/hook.ini") return "hook.ini";
  if (path == "_vanro/core-files.tsv") return "core-files.tsv";
  if (path == "_vanro/core-files.sig") return "core-files.sig";
  return nullptr;
}

// Reads the recorded file through its open handle and raises unless it may be removed without
// losing the user's work. Returns its digest.
std::string check_removable(const ManifestRecord& record, platform::FileHandle file, Run& run) {
  if (record.path == LAUNCH_COPY_PATH) {
    LaunchCopyDigest copy = launch_copy_digest(file);
    bool generated = copy.sha256 == record.sha256 || copy.sha256 == regenerated_copy_digest(run);
    if (!generated || !copy.has_launch_fixes) throw PatchError("内部启动副本已改变，未删除该文件。");
    return record.sha256;
  }
  std::string digest = sha256_open_file_hex(file);
  if (digest != record.sha256 && !user_copy_name(record.path))
    throw PatchError("安装后有剧本、图片或 DLL 被修改，已停止卸载以保护这些修改。");
  return digest;
}

// Looks at every recorded file before anything is removed, so that a refusal changes nothing. Each
// is opened once: what it reaches and its bytes are asked of that one handle. A file reached through
// a link is refused, even one that Wine shows as a plain file: deleting it would delete what it
// points to, inside the game or outside it. The walks may take the answer of a folder walked for an
// earlier file: the uninstall makes no folder, and one that someone else makes a link meanwhile
// cannot change which file a held handle deletes.
void protection_pass(Run& run) {
  reported_file = INSTALL_STATE_NAME;
  check_not_disguised_link(join_path(run.game_dir, INSTALL_STATE_NAME), &run.folders);
  // The kept copies go below the record directory, which its resolution has walked already.
  check_no_reparse_points(join_path(run.state.record_dir, u"user-edits"));
  for (const ManifestRecord& record : run.state.entries) {
    reported_file = utf8_to_wide(record.path);
    platform::AttributeQuery found;
    std::u16string path = resolve_package_path(run.game_dir, record.path, &found, &run.walked);
    std::optional<uint32_t> attributes = present_attributes(found);
    if (!attributes) continue;
    if (!is_plain(*attributes)) throw PatchError("目标不是普通文件。");
    JudgedFile& file = run.judged[&record];
    file.path = path;
    file.attributes = *attributes;
    if (retrying::open_for_removal(path, file.handle)) throw PatchError("Cannot open input file");
    file.open = true;
    check_not_disguised_link(path, file.handle, &run.folders);
    file.digest = check_removable(record, file.handle, run);
  }
}

// Only for a file judged removable: a read-only attribute (a package unpacked from a disc, or an
// install made before the install cleared it) must not keep our own file in place.
void remove_judged_file(const std::u16string& file, uint32_t attributes, const char* message, Run& run) {
  if ((attributes & platform::ATTRIBUTE_READ_ONLY) && retrying::clear_read_only(file)) throw PatchError(message);
  if (retrying::delete_file(file)) throw PatchError(message);
  run.deleted.insert(deletion_key(file));
}

// The same for a file that the protection pass holds open: it is deleted through that handle.
void remove_held_file(JudgedFile& file, Run& run) {
  const char* message = "无法移除补丁新增文件。";
  if ((file.attributes & platform::ATTRIBUTE_READ_ONLY) && retrying::clear_read_only(file.path))
    throw PatchError(message);
  if (retrying::delete_open_file(file.handle, file.path)) throw PatchError(message);
  Run::close(file);
  run.deleted.insert(deletion_key(file.path));
}

// Whether the folder of the path lists something of that name. Each folder is listed once, when
// first asked: the run itself makes no staging file, and one that appears later stays for a new run.
bool is_listed(const std::u16string& path, Run& run) {
  const std::u16string folder = parent_path(path);
  auto found = run.listed.find(folder);
  if (found == run.listed.end()) {
    found = run.listed.emplace(folder, std::set<std::u16string>()).first;
    std::vector<std::u16string> names;
    if (!platform::list_directory(folder, names))
      for (const std::u16string& name : names) found->second.insert(deletion_key(join_path(folder, name)));
  }
  return found->second.count(deletion_key(path)) != 0;
}

// What a leftover staging file holds, from one read of it.
struct StagingContent {
  std::string sha256;
  bool only_zeros = true;  // an empty file too
  bool has_launch_fixes = false;
};

StagingContent look_at_staging(const std::u16string& staging) {
  StagingContent content;
  std::size_t fixes = 0;
  uint64_t size = 0;
  content.sha256 = sha256_file_hex(staging, [&](uint64_t offset, const char* bytes, uint64_t length) {
    content.only_zeros = content.only_zeros && std::all_of(bytes, bytes + length, [](char c) { return c == 0; });
    fixes += launch_fixes_in_piece(offset, bytes, length);
    size = offset + length;
  }, retrying::Owner::this_run);
  content.has_launch_fixes = fixes == LAUNCH_FIX_TABLE.size() && size <= LAUNCH_COPY_READ_LIMIT;
  return content;
}

// A crash between creating a staging file and renaming it leaves TARGET.vanro-new behind, and a
// leftover staging name refuses every later install. Such a file goes with the install only when
// nothing of the user's is lost with it: it holds exactly the recorded content; it holds nothing
// but zero bytes, or nothing at all (what a power cut leaves of a file whose data had not reached
// the disk, or a writer ended before it wrote); it is a generated launch copy (it carries the byte
// fixes, and is made again from ZDH.EXE at will); or it belongs to a configuration file, and is kept
// in user-edits/ first as the file itself would be. Anything else is left where it is, like any
// file the state does not list, and so is a staging name reached through a link.
void remove_leftover_staging(const ManifestRecord& record, const std::u16string& target, Run& run) {
  std::u16string staging = target + STAGING_SUFFIX;
  if (!is_listed(staging, run)) return;
  std::optional<uint32_t> attributes = present_attributes(staging);
  uint64_t size = 0;
  if (!attributes || !is_plain(*attributes) || platform::file_size(staging, size) || size > FILE_HASH_LIMIT ||
      is_disguised_link(staging, &run.folders))
    return;
  const StagingContent content = look_at_staging(staging);
  const char* copy_name = user_copy_name(record.path);
  if (!content.only_zeros) {
    if (record.path == LAUNCH_COPY_PATH) {
      if (!content.has_launch_fixes) return;
    } else if (content.sha256 != record.sha256) {
      if (!copy_name) return;
      save_user_copy(staging, run.state.record_dir, copy_name);
    }
  }
  remove_judged_file(staging, *attributes, "无法移除补丁新增文件。", run);
}

// Every judged file goes, after a copy of a changed configuration file is kept; then whatever
// staging file a crash left beside it.
void removal_pass(Run& run) {
  for (const ManifestRecord& record : run.state.entries) {
    reported_file = utf8_to_wide(record.path);
    std::u16string target = join_path(run.game_dir, reported_file);
    if (auto judged = run.judged.find(&record); judged != run.judged.end()) {
      JudgedFile& file = judged->second;
      if (file.digest != record.sha256) save_user_copy(file.handle, run.state.record_dir, user_copy_name(record.path));
      // A crash from here on leaves the kept copy and the file; a new run keeps another copy.
      remove_held_file(file, run);
    }
    remove_leftover_staging(record, target, run);
  }
}

// Only a plain file there is the runtime's log. Anything else (a folder, a link, a link that Wine
// shows as a file) was not made by the runtime and stays, like any content the install did not add.
void remove_runtime_log(Run& run) {
  reported_file = utf8_to_wide(RUNTIME_LOG_PATH);
  std::u16string log = join_path(run.game_dir, reported_file);
  if (crosses_reparse_point(log)) return;
  std::optional<uint32_t> attributes = present_attributes(log);
  if (!attributes || !is_plain(*attributes) || is_disguised_link(log, &run.folders)) return;
  save_user_copy(log, run.state.record_dir, "runtime.log");
  remove_judged_file(log, *attributes, "无法移除运行日志。", run);
}

// Whether the folder lists nothing but what this run has deleted. Such a folder stands only because
// a deleted file is still held open: where deleting does not take the name away at once (Wine, FAT
// and exFAT drives, network shares, older Windows), the name stays until the holder closes it.
bool holds_only_deleted(const std::u16string& directory, const Run& run) {
  std::vector<std::u16string> names;
  if (platform::list_directory(directory, names)) return false;
  return std::all_of(names.begin(), names.end(),
                     [&](const std::u16string& name) { return run.deleted.count(deletion_key(join_path(directory, name))); });
}

// Removes one folder. One that still holds something of the player's stays without a word, and so
// does one that is gone or is no folder. One that holds only deleted files still held open is waited
// for; if it still stands, the run stops with the state kept: a leftover _vanro would refuse every
// later install, and a new run of the uninstall removes it once the holder has let go.
void remove_directory_of_ours(const std::u16string& directory, Run& run) {
  std::error_code error = retrying::remove_directory(directory);
  const bool held_open = error == std::errc::directory_not_empty && holds_only_deleted(directory, run);
  if (held_open && retrying::until_done([&] { return !platform::remove_directory(directory); })) error.clear();
  if (!error) {
    run.deleted.insert(deletion_key(directory));
    return;
  }
  if (held_open || (error != std::errc::directory_not_empty && error != std::errc::no_such_file_or_directory &&
                    error != std::errc::not_a_directory))
    throw PatchError("无法移除补丁新增目录。");
}

// Every folder between a recorded file under _vanro and the game directory, never the game
// directory itself or anything above it (the folders of a checked relative path lie below it);
// removed deepest first. Any failure but a folder that holds the player's files, is gone or is no
// folder stops the run before the state is retired.
void remove_emptied_directories(Run& run) {
  std::set<std::string> folders;  // relative paths
  for (const ManifestRecord& record : run.state.entries) {
    if (record.path.compare(0, 7, "_vanro/") != 0) continue;
    for (std::size_t slash = record.path.find('/'); slash != std::string::npos; slash = record.path.find('/', slash + 1))
      folders.insert(record.path.substr(0, slash));
  }
  std::vector<std::pair<std::u16string, std::u16string>> ordered;  // relative, full
  for (const std::string& relative : folders) {
    std::u16string wide = utf8_to_wide(relative);
    ordered.emplace_back(wide, join_path(run.game_dir, wide));
  }
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const auto& a, const auto& b) { return a.second.size() > b.second.size(); });
  for (const auto& [relative, directory] : ordered) {
    reported_file = relative;
    check_no_reparse_points(directory);
    remove_directory_of_ours(directory, run);
  }
}

void retire_state(const std::u16string& game_dir, const InstallState& state, bool rollback) {
  reported_file = INSTALL_STATE_NAME;
  std::u16string retired = join_path(state.record_dir, rollback ? u"rolled-back-state.tsv" : u"uninstalled-state.tsv");
  if (retrying::move_file_new(join_path(game_dir, INSTALL_STATE_NAME), retired))
    throw PatchError("无法保存还原状态。");
}

}  // namespace

void uninstall_patch(const std::u16string& game_dir, bool rollback) {
  check_game_dir(game_dir);
  check_game_not_running(game_dir);
  InstallState state = read_install_state(game_dir);
  Run run{game_dir, state};
  protection_pass(run);

  // From here on a failure leaves the state file in place, and a new run continues: files that
  // are already gone are passed over in both passes.
  removal_pass(run);
  remove_runtime_log(run);
  remove_emptied_directories(run);
  retire_state(game_dir, state, rollback);
}

namespace {

// The first free name for a kept copy; walked by its resolution in this step.
std::u16string free_user_copy_name(const std::u16string& record_dir, const std::string& name) {
  std::u16string candidate = resolve_package_path(record_dir, user_edits_candidate(name, 0));
  for (std::size_t attempt = 1; path_exists(candidate); ++attempt)
    candidate = resolve_package_path(record_dir, user_edits_candidate(name, attempt));
  return candidate;
}

}  // namespace

// The file itself is deleted next: the copy is flushed before it returns, or a power cut could take
// both.
void save_user_copy(const std::u16string& file, const std::u16string& record_dir, const std::string& name) {
  if (!present_attributes(file)) return;
  // The file was walked by the caller in this step.
  copy_walked_to_new_file(file, free_user_copy_name(record_dir, name));
}

void save_user_copy(platform::FileHandle file, const std::u16string& record_dir, const std::string& name) {
  copy_open_file_to_new_file(file, free_user_copy_name(record_dir, name));
}
