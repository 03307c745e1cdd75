#include <array>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "common/file_io.h"
#include "common/launch_copy.h"
#include "common/patch_error.h"
#include "common/path.h"
#include "common/path_safety.h"
#include "common/platform.h"
#include "common/profile.h"
#include "common/retrying.h"
#include "common/text.h"
#include "installer/entry.h"
#include "installer/file_digest.h"
#include "installer/game_dir.h"
#include "installer/install_state.h"
#include "installer/operations.h"
#include "installer/settings.h"
#include "integrity/core_list.h"
#include "integrity/sha256.h"
#include "package/component_signature.h"
#include "package/manifest.h"
#include "package/save_compat.h"

namespace {

constexpr uint64_t INSTALL_SPACE_RESERVE = 16777216;
constexpr uint64_t HOOK_INI_LIMIT = PROFILE_FILE_LIMIT;
constexpr char HOOK_INI_PATH[] = "_vanro/hook.ini";
constexpr char EXISTING_INSTALL_MESSAGE[] =
    "已有补丁安装记录。旧版覆盖式补丁请先使用原安装器卸载，再安装本隔离版补丁。";

bool is_launch_copy(const ManifestRecord& record) { return record.path == LAUNCH_COPY_PATH; }

// An earlier install, another patch's files or anything else in our folder's place.
void refuse_earlier_components(const std::u16string& game_dir) {
  struct Refusal {
    const char16_t* name;
    const char* message;
  };
  const Refusal refusals[] = {
      {INSTALL_STATE_NAME, EXISTING_INSTALL_MESSAGE},
      {u"winmm.dll", "游戏目录已有 winmm.dll。已装旧版补丁请先使用原安装器卸载；其他组件请先妥善保留。"},
      {u"VANROGame.exe", "游戏目录已有旧版内部游戏组件，请先使用安装该版本的原安装器卸载。"},
      {u"_vanro", "游戏目录已有补丁组件。已装旧版补丁请先使用原安装器卸载；其他文件请先妥善保留。"},
  };
  for (const Refusal& refusal : refusals)
    if (path_exists(join_path(game_dir, refusal.name))) throw PatchError(refusal.message);
}

ManifestRecord& launch_copy_record(PatchManifest& records) {
  ManifestRecord* found = nullptr;
  int count = 0;
  for (ManifestRecord& record : records)
    if (is_launch_copy(record)) {
      found = &record;
      ++count;
    }
  if (count != 1) throw PatchError("补丁清单必须包含完整的启动副本生成信息。");
  return *found;
}

void check_default_hotkey(const std::u16string& package_root) {
  reported_file = utf8_to_wide(HOOK_INI_PATH);
  std::u16string hook = resolve_package_path(package_root, HOOK_INI_PATH);
  std::u16string value = get_profile_string(u"hud", u"toggle_key", u"", hook, 32);
  std::optional<int> key = parse_hotkey_letter(value);
  if (!key || hotkey_text(*key) != u"X") throw PatchError("补丁默认原文热键配置无效。");
}

uint64_t source_size(const std::u16string& source) {
  uint64_t size = 0;
  if (std::error_code error = platform::file_size(source, size))
    throw std::filesystem::filesystem_error("file_size", std::filesystem::path(source), error);
  return size;
}

// Every packaged file is proven whole and every target free before anything is written.
// Returns the space the install needs: each file twice (staging copy and final name) plus a reserve;
// `hashed` gets the digest of every packaged file read.
uint64_t check_records(const std::u16string& game_dir, const std::u16string& package_root,
                       const PatchManifest& records, uint64_t launch_copy_size, HashedFiles& hashed) {
  uint64_t needed = INSTALL_SPACE_RESERVE;
  for (const ManifestRecord& record : records) {
    reported_file = utf8_to_wide(record.path);
    // The walks of resolution ask about the source and the target themselves last: what they learnt
    // answers whether each is there.
    platform::AttributeQuery source_found, target_found;
    std::u16string source = resolve_package_path(package_root, record.path, &source_found);
    std::u16string target = resolve_package_path(game_dir, record.path, &target_found);
    if (!is_launch_copy(record)) {
      if (!source_found.attributes || !is_plain(*source_found.attributes) || sha256_file_hex(source) != record.sha256)
        throw PatchError("补丁文件缺失或哈希不符。");
      hashed[record.path] = record.sha256;
    }
    if (target_found.attributes) throw PatchError("新增文件的目标已存在。");
    if (path_exists(target + STAGING_SUFFIX)) throw PatchError("发现残留的补丁临时文件。");
    needed += 2 * (is_launch_copy(record) ? launch_copy_size : source_size(source));
  }
  return needed;
}

void check_free_space(const std::u16string& game_dir, uint64_t needed) {
  reported_file = game_dir;
  std::optional<uint64_t> free = platform::free_disk_space(game_dir);
  if (!free || *free < needed) throw PatchError("磁盘剩余空间不足。");
}

// The state file tells every later operation that files may have been added, so it must never
// stand half-written in the game directory: a torn state file would refuse both a new install and
// the uninstall. It is written and flushed inside this install's own record directory (named by
// time and process id, so no other process writes there) and then renamed into place without
// replacement. The rename is therefore also the one point at which two installers started at once
// are told apart: the loser fails here, before it has copied anything.
void publish_install_state(const std::u16string& game_dir, const std::u16string& record_dir,
                           const std::string& content) {
  reported_file = INSTALL_STATE_NAME;
  write_staged_file({join_path(record_dir, std::u16string(INSTALL_STATE_NAME) + STAGING_SUFFIX),
                     join_path(game_dir, INSTALL_STATE_NAME), "Cannot create new file", "Incomplete file write",
                     "Cannot create new file", EXISTING_INSTALL_MESSAGE},
                    content);
}

// The record directory, its text and the state file, all before the first patch file, so that
// the state always lists everything this install may have added.
void write_records(const std::u16string& game_dir, const PatchManifest& records) {
  std::u16string name = make_record_dir_name();
  std::u16string record_dir = join_path(game_dir, name);
  reported_file = name;
  if (path_exists(record_dir)) throw PatchError("备份目录已存在，请稍后重试。");
  if (std::error_code error = retrying::create_directory(record_dir))
    throw std::filesystem::filesystem_error("create_directory", std::filesystem::path(record_dir), error);
  reported_file = name + u"/" + RECORD_TEXT_NAME;
  write_new_file(join_path(record_dir, RECORD_TEXT_NAME), format_record_text(game_dir));
  publish_install_state(game_dir, record_dir, format_install_state(name, records));
}

// A packaged file's staging copy: written and checked, still open so that nobody else can open it
// before it is flushed, not yet renamed.
struct StagedFile {
  std::u16string reported;  // the record's path, as reported_file names it
  std::u16string staging;
  std::u16string target;
  platform::FileHandle handle{};
  bool open = false;
};

// Whatever ends the copy phase, no staging file stays open: the rollback must be able to delete them.
struct StagedFiles {
  std::vector<StagedFile> files;
  ~StagedFiles() {
    for (StagedFile& file : files) close(file);
  }
  static void close(StagedFile& file) {
    if (file.open) platform::close_file(file.handle);
    file.open = false;
  }
};

// install_file up to its rename: the copy under the staging name, its digest taken from the bytes
// as they are written. The caller has resolved (and so walked) the source and the target in this
// same step. The staging file is made by this program, not copied with the package's attributes, so
// a read-only package file (unpacked from a disc or by an archive tool) gives a file that the
// uninstall and the rollback can remove.
void stage_file(const std::u16string& source, const std::u16string& target, const std::string& digest,
                StagedFiles& staged) {
  std::u16string staging = target + STAGING_SUFFIX;
  if (path_exists(staging)) throw PatchError("发现上次操作留下的临时文件，请保留现场并查看日志。");
  Sha256 hasher;
  hasher.reset();
  platform::FileHandle handle = copy_into_new_file(source, staging, [&](uint64_t, const char* bytes, uint64_t length) {
    hasher.update(bytes, static_cast<std::size_t>(length));
  });
  staged.files.push_back({reported_file, staging, target, handle, true});
  std::array<uint8_t, 32> written = hasher.finish();
  if (to_hex(written.data(), written.size()) != digest) {
    StagedFiles::close(staged.files.back());
    retrying::delete_file(staging);
    staged.files.pop_back();
    throw PatchError("写入后的哈希不符。");
  }
  platform::start_writeback(handle);
}

// Every file's data is on disk before its final name exists, and the whole batch pays for it
// together: all files are copied and checked (their writes started as each is done, so that they
// overlap), then all are flushed, then all are renamed.
void copy_files(const std::u16string& game_dir, const std::u16string& package_root, const PatchManifest& records,
                std::string& launch_copy) {
  // 1. Each file under its staging name, checked; the launch copy is written, flushed and renamed
  //    by its own writer in its turn. A crash here leaves staging files and no final name but the
  //    launch copy's: the uninstall, run from the state written before, removes the launch copy and
  //    every staging file that holds the recorded content; one cut short stays, for the user.
  StagedFiles staged;
  for (const ManifestRecord& record : records) {
    reported_file = utf8_to_wide(record.path);
    std::u16string target = resolve_package_path(game_dir, record.path);
    if (is_launch_copy(record)) {
      write_launch_copy(target, launch_copy);
      std::string().swap(launch_copy);
      continue;
    }
    stage_file(resolve_package_path(package_root, record.path), target, record.sha256, staged);
  }

  // 2. Each staging file flushed through the handle that wrote it, then closed. A crash here leaves
  //    what step 1 leaves; after a power cut a staging file whose data had not reached the disk may
  //    hold something else, and stays for the user.
  for (StagedFile& file : staged.files) {
    reported_file = file.reported;
    if (platform::flush_file(file.handle)) throw PatchError("Incomplete file write");
    StagedFiles::close(file);
  }

  // 3. Each staging file renamed to its final name, write-through. A crash here leaves some files in
  //    place and the rest under their staging names, all on disk: the uninstall removes both.
  std::vector<platform::FileMove> moves;
  for (const StagedFile& file : staged.files) moves.push_back({file.staging, file.target});
  std::size_t moved = 0;
  if (retrying::move_files_new(moves, moved)) {
    reported_file = staged.files[moved].reported;
    retrying::delete_file(staged.files[moved].staging);
    throw PatchError("无法创建补丁文件；目标可能已存在或正被使用。");
  }
}

void check_installed_files(const std::u16string& game_dir, const PatchManifest& records) {
  for (const ManifestRecord& record : records) {
    reported_file = utf8_to_wide(record.path);
    std::u16string target = resolve_package_path(game_dir, record.path);
    if (is_launch_copy(record)) {
      LaunchCopyDigest copy = launch_copy_digest(target, retrying::Owner::this_run);
      if (copy.sha256 != record.sha256 || !copy.has_launch_fixes) throw PatchError("启动副本的补丁完整性校验失败。");
    } else if (sha256_file_hex(target, {}, retrying::Owner::this_run) != record.sha256) {
      throw PatchError("安装后最终哈希核对失败。");
    }
  }
}

void change_files(const std::u16string& game_dir, const std::u16string& package_root, const PatchManifest& records,
                  std::string& launch_copy) {
  copy_files(game_dir, package_root, records, launch_copy);
  check_installed_files(game_dir, records);
  if (selected_hotkey != u"X") store_selected_hotkey(game_dir);
}

}  // namespace

void install_patch(const std::u16string& game_dir) {
  check_game_dir(game_dir);
  check_game_not_running(game_dir);
  refuse_earlier_components(game_dir);

  const std::u16string package_root = join_path(installer_dir, u"patch");
  PatchManifest records = read_patch_manifest(installer_dir);
  ManifestRecord& launch_record = launch_copy_record(records);
  check_component_signature(package_root, records);
  reported_file = utf8_to_wide(LAUNCH_COPY_PATH);
  if (path_exists(resolve_package_path(package_root, LAUNCH_COPY_PATH)))
    throw PatchError("补丁包不应包含完整游戏启动程序，请使用原始补丁文件。");

  // Built from the player's own ZDH.EXE: a refusal here is about that file, not the package.
  reported_file = u"ZDH.EXE";
  std::string launch_copy = build_launch_copy(join_path(game_dir, u"ZDH.EXE"));
  if (!has_launch_fixes(launch_copy)) throw PatchError("生成的启动副本未通过补丁指令校验。");
  launch_record.sha256 = sha256_hex(launch_copy);
  check_default_hotkey(package_root);

  HashedFiles hashed;
  uint64_t needed = check_records(game_dir, package_root, records, launch_copy.size(), hashed);
  check_save_compat(game_dir, package_root, records, hashed);
  check_free_space(game_dir, needed);

  // Nothing has changed on disk so far.
  write_records(game_dir, records);

  try {
    change_files(game_dir, package_root, records, launch_copy);
  } catch (const std::exception& error) {
    std::string message = error.what();
    // A rollback that cannot finish names the file that stops it; one that finishes leaves the
    // report naming the file whose step failed.
    const std::u16string failed_file = reported_file;
    try {
      uninstall_patch(game_dir, true);
    } catch (const std::exception& rollback_error) {
      throw PatchError(message + "\n自动还原未完成：" + rollback_error.what() +
                       "\n请保留游戏目录中的安装状态文件和安装记录。");
    }
    reported_file = failed_file;
    throw PatchError(message + "\n已撤销本次安装的补丁文件，原游戏资源未改动。");
  }
  reported_file.clear();
}

void store_selected_hotkey(const std::u16string& game_dir) {
  reported_file = utf8_to_wide(HOOK_INI_PATH);
  std::u16string hook = resolve_package_path(game_dir, HOOK_INI_PATH);
  // The profile functions rewrite the file in place: through a link, the file it points to.
  check_not_disguised_link(hook);
  if (!write_profile_string(u"hud", u"toggle_key", selected_hotkey, hook))
    throw PatchError("无法保存所选原文热键。");
  flush_profile(hook);
  // That call writes the profile cache out, not the disk's: the install may report success only
  // once the chosen key is there.
  if (retrying::flush_file_at(hook)) throw PatchError("无法保存所选原文热键。");
  if (get_profile_string(u"hud", u"toggle_key", u"", hook, 32) != selected_hotkey)
    throw PatchError("所选原文热键写入后核对失败。");

  // The in-game runtime reads the file as UTF-16 LE; a profile writer that fell back to an ANSI
  // file would leave it unreadable there.
  std::string bytes = read_whole_file(hook, HOOK_INI_LIMIT);
  if (bytes.size() < 2 || bytes.size() % 2 != 0 || bytes[0] != '\xFF' || bytes[1] != '\xFE')
    throw PatchError("原文热键配置未保持 UTF-16 LE 编码。");
  // Read back as the profile functions read it: a packaged Toggle_Key=X is the same key to them and
  // to the runtime, and keeps its spelling when its value is written.
  if (profile_value(decode_profile(bytes).text, u"hud", u"toggle_key") != selected_hotkey)
    throw PatchError("所选原文热键未正确保存到配置文件。");
}
