// The signed core file list: the signature check, the parser and the writer.
#include "integrity/core_list.h"

#include <algorithm>
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

constexpr std::string_view CORE_LIST_MAGIC = "VANROAUTH01\n";
constexpr std::size_t SIGNATURE_SIZE = 64;

bool is_reserved_core_path(const std::string& folded) {
  return folded == "_vanro/hook.ini" || folded == CORE_LIST_PATH || folded == CORE_SIGNATURE_PATH;
}

void check_signature_file(const std::u16string& path) {
  if (!is_plain_file(path)) throw PatchError("补丁核心签名文件无效。");
}

}  // namespace

PublicKeyBlob public_key_blob(std::string_view x_then_y_hex) {
  PublicKeyBlob blob = {0x45, 0x43, 0x53, 0x31, 0x20, 0x00, 0x00, 0x00};
  const std::string x_then_y = from_hex(x_then_y_hex);
  std::copy_n(x_then_y.begin(), std::min<std::size_t>(x_then_y.size(), 64), blob.begin() + 8);
  return blob;
}

std::string_view embedded_public_key_hex() {
  return
#include "public_key_hex.inc"
      ;
}

void check_core_signature(const std::string& list, const std::string& signature_bytes, const PublicKeyBlob& key) {
  const auto digest_array = sha256_digest(list.data(), list.size());
  uint8_t digest[32];
  std::memcpy(digest, digest_array.data(), sizeof digest);
  uint8_t signature[SIGNATURE_SIZE];
  std::memcpy(signature, signature_bytes.data(), std::min(sizeof signature, signature_bytes.size()));
  uint8_t blob[72];
  std::memcpy(blob, key.data(), sizeof blob);

  switch (platform::verify_p256(blob, digest, signature)) {
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

CoreFileList verify_core_signature(const std::u16string& base) {
  const std::u16string list_path = join_path(base, utf8_to_wide(CORE_LIST_PATH));
  const std::u16string signature_path = join_path(base, utf8_to_wide(CORE_SIGNATURE_PATH));
  check_signature_path(list_path);
  check_signature_path(signature_path);
  check_signature_file(list_path);
  check_signature_file(signature_path);

  const std::string list = read_whole_file(list_path, CORE_LIST_LIMIT);
  const std::string signature = read_whole_file(signature_path, SIGNATURE_SIZE);
  if (signature.size() != SIGNATURE_SIZE) throw PatchError("补丁核心签名长度不正确。");
  static const PublicKeyBlob key = public_key_blob(embedded_public_key_hex());
  check_core_signature(list, signature, key);

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
    std::string folded = ascii_lower(path);
    if (is_reserved_core_path(folded)) throw PatchError("补丁核心清单路径或校验值不正确。");
    if (!folded_paths.insert(std::move(folded)).second) throw PatchError("补丁核心清单路径或校验值不正确。");

    result.emplace(std::string(path), std::string(digest));
    previous = path;
    position = end + 1;
  }
  if (result.size() != CORE_RECORD_COUNT) throw PatchError("补丁核心清单条数不正确。");
  return result;
}

std::string format_core_file_list(const CoreFileList& list) {
  std::string text(CORE_LIST_MAGIC);
  for (const auto& [path, digest] : list) text += path + "\t" + digest + "\n";
  return text;
}
