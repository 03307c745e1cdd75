// The check that the save compatibility table fits both the game's own scripts and the patch's
// translated scripts. Saves made before the patch stay loadable only if every script the table
// maps exists in the game, and every translated script the patch brings is the one the table was
// made for: its digest must agree in the table, in the file list and on disk.
#include "package/save_compat.h"

#include <map>

#include "common/file_io.h"
#include "common/patch_error.h"
#include "common/path.h"
#include "common/path_safety.h"
#include "common/platform.h"
#include "common/text.h"
#include "integrity/sha256.h"
#include "package/save_table.h"

namespace {

constexpr std::string_view TRANSLATED_SCRIPT_PREFIX = "_vanro/patch/AdvData/MES/";

// Of the table, only each script's name and its translated script's digest are kept.
SaveCompatDigests load_table(const std::u16string& package_root) {
  reported_file = u"_vanro\\save-offsets.bin";
  return read_save_compat_digests(resolve_package_path(package_root, "_vanro/save-offsets.bin"));
}

// Keyed by the lower-cased path so that a script matches its table record whatever the case of
// its file name; of two records that differ only in case, the first one counts.
std::map<std::string, const ManifestRecord*> translated_scripts(const std::vector<ManifestRecord>& files) {
  std::map<std::string, const ManifestRecord*> scripts;
  for (const ManifestRecord& record : files) {
    if (record.path.starts_with(TRANSLATED_SCRIPT_PREFIX)) {
      scripts.try_emplace(ascii_lower(record.path), &record);
    }
  }
  return scripts;
}

// The game's own script is only required to exist; its content is the game's business.
void check_game_script(const std::u16string& game_dir, const std::string& name) {
  const std::u16string mes_dir = join_path(join_path(game_dir, u"AdvData"), u"MES");
  reported_file = join_path(mes_dir, utf8_to_wide(name) + u".MES");
  if (!is_plain_file(reported_file)) {
    throw PatchError("游戏目录缺少存档兼容表要求的原版剧本文件。");
  }
}

void check_translated_script(const std::u16string& package_root, const ManifestRecord& record,
                             const std::string& digest2, const HashedFiles& hashed) {
  if (record.sha256 != digest2) {
    throw PatchError("旧存档兼容表与汉化剧本清单不匹配。");
  }
  // A script the caller has just walked to, found plain and hashed is not asked about again: the
  // same questions would get the same answers.
  const auto known = hashed.find(record.path);
  if (known != hashed.end()) {
    reported_file = join_path(package_root, utf8_to_wide(record.path));
    if (known->second != digest2) throw PatchError("补丁内的汉化剧本与存档兼容数据不匹配。");
    return;
  }
  // Opened under the exact path the file list gives, not the lower-cased key.
  platform::AttributeQuery found;
  const std::u16string path = resolve_package_path(package_root, record.path, &found);
  reported_file = path;
  if (!found.attributes || !is_plain(*found.attributes)) throw PatchError("补丁内的汉化剧本与存档兼容数据不匹配。");
  if (sha256_file_hex(path) != digest2) throw PatchError("补丁内的汉化剧本与存档兼容数据不匹配。");
}

}  // namespace

void check_save_compat(const std::u16string& game_dir, const std::u16string& package_root,
                       const std::vector<ManifestRecord>& files, const HashedFiles& hashed) {
  const SaveCompatDigests table = load_table(package_root);
  const std::map<std::string, const ManifestRecord*> scripts = translated_scripts(files);
  std::size_t matched = 0;
  for (const auto& [name, digest2] : table) {
    check_game_script(game_dir, name);
    const auto found = scripts.find("_vanro/patch/advdata/mes/" + name + ".mes");
    if (found == scripts.end()) {
      continue;
    }
    check_translated_script(package_root, *found->second, digest2, hashed);
    ++matched;
  }
  // A translated script the table does not know would break old saves that reach it.
  if (matched != scripts.size()) {
    throw PatchError("汉化剧本没有完整的旧存档兼容映射。");
  }
}
