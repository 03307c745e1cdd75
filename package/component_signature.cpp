#include "package/component_signature.h"

#include <set>
#include <string_view>

#include "common/launch_copy.h"
#include "common/patch_error.h"

namespace {

// The four files of the package that the list cannot vouch for: the one the installer edits, the
// list and its signature, and the launch copy made on the user's machine.
bool is_uncovered_path(const std::string& path) {
  return path == LAUNCH_COPY_PATH || path == "_vanro/hook.ini" || path == CORE_LIST_PATH || path == CORE_SIGNATURE_PATH;
}

}  // namespace

void check_coverage(const CoreFileList& list, const std::vector<ManifestRecord>& records) {
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

void check_component_signature(const std::u16string& base, const std::vector<ManifestRecord>& records) {
  reported_file = u"补丁组件签名";
  check_coverage(verify_core_signature(base), records);
}
