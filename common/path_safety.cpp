#include "common/path_safety.h"

#include <array>
#include <optional>
#include <vector>

#include "common/path.h"
#include "common/patch_error.h"
#include "common/platform.h"
#include "common/retrying.h"
#include "common/text.h"

namespace {

constexpr uint32_t DIRECTORY_OR_REPARSE = platform::ATTRIBUTE_DIRECTORY | platform::ATTRIBUTE_REPARSE_POINT;

bool is_reparse(const std::optional<uint32_t>& attributes) {
  return attributes && (*attributes & platform::ATTRIBUTE_REPARSE_POINT);
}

// The lengths of the path and of every directory above it (each a prefix of the path), deepest
// first, down to the root of its volume, which is not among them: a drive's root is never a link
// (Wine reports the root of a drive that maps a Linux folder as one all the same, which would shut
// out every game on Z:), and the server of a share is no directory to ask about.
std::vector<std::size_t> walked_lengths(std::u16string_view path) {
  std::vector<std::size_t> lengths;
  const std::size_t root = volume_root_length(path);
  for (std::u16string_view current = path; current.size() > root;) {
    lengths.push_back(current.size());
    std::size_t parent = parent_path(current).size();
    if (parent == current.size()) break;
    current = current.substr(0, parent);
  }
  return lengths;
}

// The names Windows keeps for devices in every folder, as the stem of an element: the part before
// its first dot, where the blanks before that dot do not count either. The signed core list has
// always let COM0 and LPT0 through (`with_zero` false); nothing else can differ for its paths,
// which hold no blank, '$' or byte above 0x7F.
bool is_reserved_device(std::string_view element, bool with_zero = true) {
  std::string_view stem = element.substr(0, element.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  std::string lower = ascii_lower(stem);
  if (lower == "con" || lower == "prn" || lower == "aux" || lower == "nul" || lower == "conin$" || lower == "conout$")
    return true;
  if (lower.size() < 4 || (lower.compare(0, 3, "com") != 0 && lower.compare(0, 3, "lpt") != 0)) return false;
  std::string_view number = std::string_view(lower).substr(3);
  // The digits, and the superscript one, two and three that Windows takes for them.
  return (number.size() == 1 && number[0] >= (with_zero ? '0' : '1') && number[0] <= '9') || number == "\xC2\xB9" ||
         number == "\xC2\xB2" || number == "\xC2\xB3";
}

// The folder part of a path and its last element, without the separators between or after them.
std::pair<std::u16string_view, std::u16string_view> split_last(std::u16string_view path) {
  std::size_t end = path.size();
  while (end > 0 && is_separator(path[end - 1])) --end;
  std::size_t name = end;
  while (name > 0 && !is_separator(path[name - 1])) --name;
  std::size_t folder = name;
  while (folder > 0 && is_separator(path[folder - 1])) --folder;
  return {path.substr(0, folder), path.substr(name, end - name)};
}

// Whether `reached`, what an open of something named `own_name` reached, is that name in
// `folder_reached`, what an open of its folder reached; names compared as the volume compares them.
bool reaches_own_name(std::u16string_view reached, std::u16string_view folder_reached, std::u16string_view own_name) {
  auto [reached_folder, reached_name] = split_last(reached);
  while (!folder_reached.empty() && is_separator(folder_reached.back())) folder_reached.remove_suffix(1);
  return reached_folder == folder_reached &&
         platform::lower_case(std::u16string(reached_name)) == platform::lower_case(std::u16string(own_name));
}

// Wine marks every Linux mount point with the reparse-point attribute: a Steam Deck's /home, an SD
// card or a second disk under /run/media or /mnt. Such a folder leads nowhere else: it holds no
// reparse data, and an open of it reaches the folder itself, by its own name in the folder above it,
// on a volume other than that folder's. What does lead elsewhere is told apart: every reparse point
// of Windows holds its data (a junction, a volume mount point, a link, a cloud folder), and a Unix
// link, which Wine gives none, reaches another name.
bool is_mount_point_of_its_own(const std::u16string& folder) {
  if (platform::holds_reparse_data(folder)) return false;
  platform::Reached reached, above;
  if (retrying::reached(folder, reached) || retrying::reached(parent_path(folder), above)) return false;
  return reached.identity.volume != above.identity.volume &&
         reaches_own_name(reached.path, above.path, split_last(folder).second);
}

bool leads_elsewhere(const std::u16string& path, const std::optional<uint32_t>& attributes) {
  if (!is_reparse(attributes)) return false;
  return !(*attributes & platform::ATTRIBUTE_DIRECTORY) || !is_mount_point_of_its_own(path);
}

struct Walk {
  std::optional<std::u16string> reparse_point;  // the topmost one, if any
  platform::AttributeQuery path;                // what the walk learnt of the path itself
};

// Asks about the folders from the top down and stops at the first reparse point, or below the first
// folder that is not found: nothing can exist below it, so no link either. A target whose folders
// are still to be made is asked about once, not once a missing folder (each of which costs Wine a
// scan of the folder above). A path below a missing folder is missing too.
Walk walk_down(const std::u16string& path, WalkedFolders* walked = nullptr) {
  std::vector<std::size_t> lengths = walked_lengths(path);
  Walk walk;
  std::u16string current;  // one buffer for every prefix
  for (auto length = lengths.rbegin(); length != lengths.rend(); ++length) {
    current.assign(path, 0, *length);
    const bool is_folder_above = *length != path.size();
    if (walked && is_folder_above && walked->count(current)) continue;
    walk.path = platform::query_attributes(current);
    if (leads_elsewhere(current, walk.path.attributes)) return {current, walk.path};
    if (walk.path.missing) return {std::nullopt, {std::nullopt, true}};
    if (walked && is_folder_above && walk.path.attributes && (*walk.path.attributes & platform::ATTRIBUTE_DIRECTORY))
      walked->insert(current);
  }
  return walk;
}

std::optional<platform::Reached> folder_reached(const std::u16string& folder, ReachedFolders* known) {
  auto ask = [&]() -> std::optional<platform::Reached> {
    platform::Reached reached;
    if (retrying::reached(folder, reached)) return std::nullopt;
    return reached;
  };
  if (!known) return ask();
  auto found = known->find(folder);
  if (found == known->end()) found = known->emplace(folder, ask()).first;
  return found->second;
}

bool is_core_path_byte(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
         c == '-' || c == '/';
}

// Cuts at '/' and applies `element_ok` to every element; false at the first refusal.
template <typename ElementOk>
bool every_element(std::string_view path, ElementOk element_ok) {
  std::size_t start = 0;
  while (true) {
    std::size_t end = path.find('/', start);
    std::string_view element = path.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (element.empty() || element == "." || element == ".." || !element_ok(element)) return false;
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

}  // namespace

bool path_exists(const std::u16string& path) { return platform::file_attributes(path).has_value(); }

std::optional<uint32_t> present_attributes(const platform::AttributeQuery& query) {
  if (!query.attributes && !query.missing) throw PatchError("无法读取文件属性，操作已停止。");
  return query.attributes;
}

std::optional<uint32_t> present_attributes(const std::u16string& path) {
  return present_attributes(platform::query_attributes(path));
}

bool is_plain(uint32_t attributes) { return !(attributes & DIRECTORY_OR_REPARSE); }

std::vector<std::u16string> reparse_walk_paths(const std::u16string& path) {
  std::vector<std::u16string> paths;
  for (std::size_t length : walked_lengths(path)) paths.push_back(path.substr(0, length));
  return paths;
}

bool is_plain_file(const std::u16string& path) {
  std::optional<uint32_t> attributes = platform::file_attributes(path);
  return attributes && is_plain(*attributes);
}

std::optional<std::u16string> reparse_point_on(const std::u16string& path) { return walk_down(path).reparse_point; }

bool crosses_reparse_point(const std::u16string& path) { return reparse_point_on(path).has_value(); }

platform::AttributeQuery check_no_reparse_points(const std::u16string& path) {
  Walk walk = walk_down(path);
  if (walk.reparse_point) throw PatchError(REPARSE_POINT_MESSAGE);
  return walk.path;
}

void check_signature_path(const std::u16string& path) {
  if (!is_absolute_path(path)) throw PatchError("补丁签名路径无效。");
  PathParts parts = split_path(path);
  for (std::u16string_view piece : {parts.root_name, parts.root_directory})
    if (piece == u"." || piece == u"..") throw PatchError("补丁签名路径无效。");
  std::u16string_view relative = parts.relative;
  for (std::size_t start = 0; start <= relative.size();) {
    std::size_t end = start;
    while (end < relative.size() && !is_separator(relative[end])) ++end;
    std::u16string_view element = relative.substr(start, end - start);
    if (element == u"." || element == u"..") throw PatchError("补丁签名路径无效。");
    start = end + 1;
  }
  for (const std::u16string& p : reparse_walk_paths(path)) {
    std::optional<uint32_t> attributes = platform::file_attributes(p);
    if (!attributes || leads_elsewhere(p, attributes)) throw PatchError("补丁签名路径缺失或包含重解析点。");
  }
}

bool is_safe_core_path(std::string_view path) {
  if (path.empty() || path.size() > 240 || path.front() == '/' || path.back() == '/') return false;
  for (char c : path)
    if (!is_core_path_byte(c)) return false;
  return every_element(path, [](std::string_view element) {
    return element.back() != '.' && !is_reserved_device(element, false);
  });
}

bool is_safe_relative_path(std::string_view path) {
  if (path.empty() || path.size() > 32760 || path.front() == '/' || path.back() == '/') return false;
  if (path.find('\\') != std::string_view::npos || path.find(':') != std::string_view::npos) return false;
  return every_element(path, [](std::string_view element) {
    if (element.back() == '.' || element.back() == ' ') return false;
    for (char c : element) {
      unsigned char b = static_cast<unsigned char>(c);
      if (b < 0x20 || b == 0x7F || c == '<' || c == '>' || c == '"' || c == '|' || c == '?' || c == '*') return false;
    }
    return true;
  });
}

std::u16string resolve_package_path(const std::u16string& base, std::string_view relative,
                                    platform::AttributeQuery* found, WalkedFolders* walked) {
  if (!is_safe_relative_path(relative)) throw PatchError("补丁清单包含非法路径。");
  std::u16string joined = join_path(base, utf8_to_wide(relative));
  Walk walk = walk_down(joined, walked);
  if (walk.reparse_point) throw PatchError(REPARSE_POINT_MESSAGE);
  if (found) *found = walk.path;
  return joined;
}

bool names_a_device(std::string_view path) {
  bool device = false;
  every_element(path, [&](std::string_view element) {
    device = device || is_reserved_device(element);
    return true;
  });
  return device;
}

bool ends_with_staging_suffix(std::string_view path) {
  constexpr std::u16string_view suffix = STAGING_SUFFIX;
  if (path.size() < suffix.size()) return false;
  std::string tail = ascii_lower(path.substr(path.size() - suffix.size()));
  return std::equal(tail.begin(), tail.end(), suffix.begin(), suffix.end(),
                    [](char a, char16_t b) { return static_cast<char16_t>(a) == b; });
}

namespace {

// A file is its own when what an open of it reaches is a file of that name, on the same volume, in
// the folder that an open of its folder reaches.
bool reaches_itself(const std::u16string& path, const platform::Reached& reached, ReachedFolders* known) {
  std::optional<platform::Reached> folder = folder_reached(parent_path(path), known);
  return folder && reached.identity.volume == folder->identity.volume &&
         reaches_own_name(reached.path, folder->path, split_last(path).second);
}

}  // namespace

bool is_disguised_link(const std::u16string& path, ReachedFolders* known) {
  platform::Reached reached;
  return retrying::reached(path, reached) || !reaches_itself(path, reached, known);
}

void check_not_disguised_link(const std::u16string& path, ReachedFolders* known) {
  if (is_disguised_link(path, known)) throw PatchError(REPARSE_POINT_MESSAGE);
}

void check_not_disguised_link(const std::u16string& path, platform::FileHandle file, ReachedFolders* known) {
  platform::Reached reached;
  if (platform::reached_by_handle(file, reached) || !reaches_itself(path, reached, known))
    throw PatchError(REPARSE_POINT_MESSAGE);
}

bool same_path(std::u16string_view a, std::u16string_view b) {
  // A game started from C:\Games\Lirra is the same game to an installer given \\?\C:\Games\Lirra.
  auto comparable = [](std::u16string_view path) {
    std::u16string normal = lexically_normal(without_verbatim_prefix(path));
    for (char16_t& c : normal)
      if (c == u'/') c = u'\\';
    if (!split_path(normal).relative.empty() && is_separator(normal.back())) normal = parent_path(normal);
    return normal;
  };
  std::u16string x = comparable(a), y = comparable(b);
  if (x.size() != y.size()) return false;
  for (std::size_t i = 0; i < x.size(); ++i) {
    auto fold = [](char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c; };
    if (fold(x[i]) != fold(y[i])) return false;
  }
  return true;
}
