#include "common/launch_copy.h"
#include "common/patch_error.h"
#include "common/path_safety.h"
#include "common/platform.h"
#include "common/text.h"
#include "installer/file_digest.h"
#include "installer/game_dir.h"
#include "installer/install_state.h"
#include "installer/operations.h"
#include "integrity/core_list.h"
#include "integrity/sha256.h"
#include "package/component_signature.h"
#include "package/save_compat.h"

// Reads only: it runs while the game runs, and changes no file, state or record.
void verify_installation(const std::u16string& game_dir) {
  check_game_dir(game_dir);
  InstallState state = read_install_state(game_dir);
  check_component_signature(game_dir, state.entries);

  HashedFiles hashed;
  for (const ManifestRecord& record : state.entries) {
    reported_file = utf8_to_wide(record.path);
    platform::AttributeQuery found;
    std::u16string file = resolve_package_path(game_dir, record.path, &found);
    std::optional<uint32_t> attributes = present_attributes(found);
    if (!attributes || !is_plain(*attributes)) throw PatchError("补丁文件缺失。");
    if (record.path == LAUNCH_COPY_PATH) {
      LaunchCopyDigest copy = launch_copy_digest(file);
      if (copy.sha256 != record.sha256 || !copy.has_launch_fixes) throw PatchError("启动副本的补丁完整性校验失败。");
    } else if (record.path != "_vanro/hook.ini") {
      // hook.ini holds the hotkey the user chose, so only its presence counts.
      if (sha256_file_hex(file) != record.sha256) throw PatchError("已安装补丁文件哈希不符。");
      hashed[record.path] = record.sha256;
    }
  }

  // Every translated script was read whole just now: the table check takes those digests.
  check_save_compat(game_dir, game_dir, state.entries, hashed);
  reported_file.clear();
}
