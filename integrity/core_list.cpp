// The signed core file list: the signature check, the parser, and the coverage of manifest or
// install state records by the list.
#include "integrity/core_list.h"

#include <cstdint>
#include <cstring>
#include <set>
#include <string_view>

#include "common/file_io.h"
#include "common/patch_error.h"
#include "common/path.h"
#include "common/path_safety.h"
#include "common/platform.h"
#include "common/text.h"
#include "integrity/sha256.h"

namespace {

// ECCPUBLICBLOB of the signer's P-256 key, chosen when the build is configured.
const uint8_t PUBLIC_KEY_BLOB[72] = {
#include "public_key_blob.inc"
};

constexpr std::string_view CORE_LIST_MAGIC = "VANROAUTH01\n";
constexpr std::size_t SIGNATURE_SIZE = 64;

// The four files of the package that the list cannot vouch for: the one the installer edits, the
// list and its signature, and the launch copy made on the user's machine.
constexpr std::string_view UNCOVERED_PATHS[] = {"_vanro/runtime/VANROGame.exe", "_vanro/hook.ini",
                                                "_vanro/core-files.tsv", "_vanro/core-files.sig"};

std::string fold_ascii(std::string_view text) {
  std::string folded(text);
  for (char& c : folded)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return folded;
}

bool is_reserved_core_path(const std::string& folded) {
  return folded == "_vanro/hook.ini" || folded == "_vanro/core-files.tsv" || folded == "_vanro/core-files.sig";
}

bool is_uncovered_path(const std::string& path) {
  for (std::string_view reserved : UNCOVERED_PATHS)
    if (path == reserved) return true;
  return false;
}

void check_signature_file(const std::u16string& path) {
  if (!is_plain_file(path)) throw PatchError("补丁核心签名文件无效。");
}

void check_signature(const std::string& list, const std::string& signature_bytes) {
  Sha256 hasher;
  hasher.reset();
  hasher.update(list.data(), list.size());
  const auto digest_array = hasher.finish();
  uint8_t digest[32];
  std::memcpy(digest, digest_array.data(), sizeof digest);
  uint8_t signature[SIGNATURE_SIZE];
  std::memcpy(signature, signature_bytes.data(), sizeof signature);

  switch (platform::verify_p256(PUBLIC_KEY_BLOB, digest, signature)) {
    case platform::SignatureCheck::valid:
      return;
    case platform::SignatureCheck::cannot_open_algorithm:
      throw PatchError("无法初始化补丁签名校验。");
    case platform::SignatureCheck::cannot_import_key:
      throw PatchError("无法读取补丁签名公钥。");
    case platform::SignatureCheck::invalid:
      break;
  }
  throw PatchError("补丁核心签名无效，请重新获取完整补丁。");
}

}  // namespace

CoreFileList verify_core_signature(const std::u16string& base) {
  const std::u16string list_path = join_path(base, utf8_to_wide("_vanro/core-files.tsv"));
  const std::u16string signature_path = join_path(base, utf8_to_wide("_vanro/core-files.sig"));
  check_signature_path(list_path);
  check_signature_path(signature_path);
  check_signature_file(list_path);
  check_signature_file(signature_path);

  const std::string list = read_whole_file(list_path, CORE_LIST_LIMIT);
  const std::string signature = read_whole_file(signature_path, SIGNATURE_SIZE);
  if (signature.size() != SIGNATURE_SIZE) throw PatchError("补丁核心签名长度不正确。");
  check_signature(list, signature);

  // Only bytes that the signature vouches for reach the parser.
  return parse_core_file_list(list);
}

CoreFileList parse_core_file_list(const std::string& bytes) {
  if (bytes.size() < CORE_LIST_MAGIC.size() || bytes.size() > CORE_LIST_LIMIT)
    throw PatchError("补丁核心清单格式不正确。");
  if (std::string_view(bytes).substr(0, CORE_LIST_MAGIC.size()) != CORE_LIST_MAGIC || bytes.back() != '\n' ||
      bytes.find('\r') != std::string::npos || bytes.find('\0') != std::string::npos)
    throw PatchError("补丁核心清单格式不正确。");

  CoreFileList result;
  std::set<std::string> folded_paths;
  std::string_view previous;
  std::size_t position = CORE_LIST_MAGIC.size();
  while (position < bytes.size()) {
    const std::size_t end = bytes.find('\n', position);
    if (result.size() == CORE_RECORD_COUNT) throw PatchError("补丁核心清单条数不正确。");
    const std::string_view line = std::string_view(bytes).substr(position, end - position);

    const std::size_t tab = line.find('\t');
    if (line.empty() || tab == std::string_view::npos || line.find('\t', tab + 1) != std::string_view::npos)
      throw PatchError("补丁核心清单记录不正确。");
    const std::string_view path = line.substr(0, tab);
    const std::string_view digest = line.substr(tab + 1);

    if (!is_safe_core_path(path) || !is_hex_digest(digest)) throw PatchError("补丁核心清单路径或校验值不正确。");
    // Byte-wise unsigned order, a prefix first: what string_view's comparison does.
    if (!(previous < path)) throw PatchError("补丁核心清单路径或校验值不正确。");
    std::string folded = fold_ascii(path);
    if (is_reserved_core_path(folded)) throw PatchError("补丁核心清单路径或校验值不正确。");
    if (!folded_paths.insert(std::move(folded)).second) throw PatchError("补丁核心清单路径或校验值不正确。");

    result.emplace(std::string(path), std::string(digest));
    previous = path;
    position = end + 1;
  }
  if (result.size() != CORE_RECORD_COUNT) throw PatchError("补丁核心清单条数不正确。");
  return result;
}

void check_component_signature(const std::u16string& base, const std::vector<ManifestRecord>& records) {
  reported_file = u"补丁组件签名";
  const CoreFileList list = verify_core_signature(base);

  // Counted by list entry rather than by record, so that a record named twice cannot stand in for
  // an entry that no record names.
  std::set<std::string_view> covered;
  for (const ManifestRecord& record : records) {
    if (is_uncovered_path(record.path)) continue;
    const auto entry = list.find(record.path);
    if (entry == list.end() || entry->second != record.sha256)
      throw PatchError("补丁清单与组件签名不匹配，请使用完整的原始补丁。");
    covered.insert(entry->first);
  }
  if (covered.size() != CORE_RECORD_COUNT || covered.size() != list.size())
    throw PatchError("补丁组件签名未覆盖完整的安装内容。");
}
