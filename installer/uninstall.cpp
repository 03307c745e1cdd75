#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "common/file_io.h"
#include "common/launch_copy.h"
#include "common/path.h"
#include "common/path_safety.h"
#include "common/patch_error.h"
#include "common/platform.h"
#include "common/text.h"
#include "installer/game_dir.h"
#include "installer/install_state.h"
#include "installer/operations.h"
#include "installer/file_digest.h"
#include "integrity/sha256.h"

namespace {

constexpr char RUNTIME_LOG_PATH[] = "_vanro/runtime.log";

// The configuration files that the user may change; a changed one is kept in user-edits/ under
// this name before it is removed. Every other recorded file must still hold what the install wrote.
const char* user_copy_name(const std::string& path) {
  if (path == "_vanro/hook.ini") return "hook.ini";
  if (path == "_vanro/core-files.tsv") return "core-files.tsv";
  if (path == "_vanro/core-files.sig") return "core-files.sig";
  return nullptr;
}

// Reads the recorded file and raises unless it may be removed without losing the user's work.
// Returns its digest.
std::string check_removable(const ManifestRecord& record, const std::u16string& file) {
  if (record.path == LAUNCH_COPY_PATH) {
    LaunchCopyDigest copy = launch_copy_digest(file);
    if (copy.sha256 != record.sha256 || !copy.has_launch_fixes) throw PatchError("内部启动副本已改变，未删除该文件。");
    return copy.sha256;
  }
  std::string digest = sha256_file_hex(file);
  if (digest != record.sha256 && !user_copy_name(record.path))
    throw PatchError("安装后有剧本、图片或 DLL 被修改，已停止卸载以保护这些修改。");
  return digest;
}

// Looks at every recorded file before anything is removed, so that a refusal changes nothing.
void protection_pass(const std::u16string& game_dir, const InstallState& state) {
  for (const ManifestRecord& record : state.entries) {
    reported_file = utf8_to_wide(record.path);
    platform::AttributeQuery found;
    std::u16string file = resolve_package_path(game_dir, record.path, &found);
    std::optional<uint32_t> attributes = present_attributes(found);
    if (!attributes) continue;
    if (!is_plain(*attributes)) throw PatchError("目标不是普通文件。");
    check_removable(record, file);
  }
}

// Only for a file judged removable: a read-only attribute (a package unpacked from a disc, or an
// install made before the install cleared it) must not keep our own file in place.
void remove_judged_file(const std::u16string& file, uint32_t attributes, const char* message) {
  if ((attributes & platform::ATTRIBUTE_READ_ONLY) && !platform::clear_read_only(file)) throw PatchError(message);
  if (!platform::delete_file(file)) throw PatchError(message);
}

// A crash between creating a staging file and renaming it leaves TARGET.vanro-new behind, and a
// leftover staging name refuses every later install. Such a file goes with the install only when
// nothing of the user's is lost with it: it holds exactly the recorded content; it is a generated
// launch copy (it carries the byte fixes, and is made again from ZDH.EXE at will) or the empty file
// its writer made before it was ended; or it belongs to
// a configuration file, and is kept in user-edits/ first as the file itself would be. Anything else
// is left where it is, like any file the state does not list.
void remove_leftover_staging(const ManifestRecord& record, const std::u16string& target, const InstallState& state) {
  std::u16string staging = target + STAGING_SUFFIX;
  std::optional<uint32_t> attributes = present_attributes(staging);
  if (!attributes || !is_plain(*attributes)) return;
  uint64_t size = 0;
  const bool sized = !platform::file_size(staging, size);
  if (record.path == LAUNCH_COPY_PATH) {
    // Empty, it is what the writer leaves when it is ended between creating the file and writing it.
    if (!(sized && size == 0) && !file_has_launch_fixes(staging)) return;
  } else {
    if (!sized || size > FILE_HASH_LIMIT) return;
    const char* copy_name = user_copy_name(record.path);
    if (sha256_file_hex(staging) != record.sha256) {
      if (!copy_name) return;
      save_user_copy(staging, state.record_dir, copy_name);
    }
  }
  remove_judged_file(staging, *attributes, "无法移除补丁新增文件。");
}

// Each file is judged again from its bytes as they are now: a file that the user changed after the
// protection pass is still never deleted, and a changed configuration file is kept first.
void removal_pass(const std::u16string& game_dir, const InstallState& state) {
  for (const ManifestRecord& record : state.entries) {
    reported_file = utf8_to_wide(record.path);
    platform::AttributeQuery found;
    std::u16string file = resolve_package_path(game_dir, record.path, &found);
    if (std::optional<uint32_t> attributes = present_attributes(found)) {
      std::string digest = check_removable(record, file);
      if (digest != record.sha256) save_user_copy(file, state.record_dir, user_copy_name(record.path));
      // A crash from here on leaves the kept copy and the file; a new run keeps another copy.
      remove_judged_file(file, *attributes, "无法移除补丁新增文件。");
    }
    remove_leftover_staging(record, file, state);
  }
}

void remove_runtime_log(const std::u16string& game_dir, const InstallState& state) {
  platform::AttributeQuery found;
  std::u16string log = resolve_package_path(game_dir, RUNTIME_LOG_PATH, &found);
  std::optional<uint32_t> attributes = present_attributes(found);
  if (!attributes) return;
  save_user_copy(log, state.record_dir, "runtime.log");
  remove_judged_file(log, *attributes, "无法移除运行日志。");
}

// A path as compared here: lexical normal form, without a trailing separator after an element.
std::u16string comparable(const std::u16string& path) {
  std::u16string normal = lexically_normal(path);
  if (!split_path(normal).relative.empty() && is_separator(normal.back())) normal = parent_path(normal);
  return normal;
}

bool is_below(const std::u16string& key, const std::u16string& top) {
  if (key.size() <= top.size() || key.compare(0, top.size(), top) != 0) return false;
  return is_separator(key[top.size()]) || (!top.empty() && is_separator(top.back()));
}

bool is_empty_directory(const std::u16string& path) {
  std::error_code error;
  bool empty = std::filesystem::is_empty(std::filesystem::path(path), error);
  return !error && empty;
}

// Every directory between a recorded file under _vanro and the game directory, never the game
// directory itself or anything above it; removed deepest first. A directory that still holds
// something (a file the user put there) stays without a word. One that is empty and still cannot
// be removed stops the run before the state is retired: a leftover empty _vanro would refuse every
// later install, and a new run of the uninstall removes it once whatever held it lets go.
void remove_emptied_directories(const std::u16string& game_dir, const InstallState& state) {
  const std::u16string top = comparable(game_dir);
  std::map<std::u16string, std::u16string> directories;
  for (const ManifestRecord& record : state.entries) {
    if (record.path.compare(0, 7, "_vanro/") != 0) continue;
    std::u16string directory = parent_path(resolve_package_path(game_dir, record.path));
    for (std::u16string key = comparable(directory); is_below(key, top); key = comparable(directory)) {
      directories.emplace(key, directory);
      std::u16string parent = parent_path(directory);
      if (parent == directory) break;
      directory = parent;
    }
  }
  std::vector<std::u16string> ordered;
  for (const auto& entry : directories) ordered.push_back(entry.second);
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const std::u16string& a, const std::u16string& b) { return a.size() > b.size(); });
  for (const std::u16string& directory : ordered) {
    check_no_reparse_points(directory);
    if (!platform::remove_directory(directory) && is_empty_directory(directory))
      throw PatchError("无法移除补丁新增目录。");
  }
}

void retire_state(const std::u16string& game_dir, const InstallState& state, bool rollback) {
  std::u16string retired = join_path(state.record_dir, rollback ? u"rolled-back-state.tsv" : u"uninstalled-state.tsv");
  if (!platform::move_file_new(join_path(game_dir, INSTALL_STATE_NAME), retired))
    throw PatchError("无法保存还原状态。");
}

}  // namespace

void uninstall_patch(const std::u16string& game_dir, bool rollback) {
  check_game_dir(game_dir);
  check_game_not_running(game_dir);
  InstallState state = read_install_state(game_dir);
  protection_pass(game_dir, state);

  // From here on a failure leaves the state file in place, and a new run continues: files that
  // are already gone are passed over in both passes.
  removal_pass(game_dir, state);
  remove_runtime_log(game_dir, state);
  remove_emptied_directories(game_dir, state);
  retire_state(game_dir, state, rollback);
}

void save_user_copy(const std::u16string& file, const std::u16string& record_dir, const std::string& name) {
  if (!present_attributes(file)) return;
  std::u16string candidate = resolve_package_path(record_dir, user_edits_candidate(name, 0));
  for (std::size_t attempt = 1; path_exists(candidate); ++attempt)
    candidate = resolve_package_path(record_dir, user_edits_candidate(name, attempt));
  // Both paths were walked in this step: the file by its caller, the candidate by its resolution.
  copy_walked_to_new_file(file, candidate);
}
