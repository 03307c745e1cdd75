#include "common/path.h"

#include <vector>

#include "common/platform.h"

namespace {

constexpr char16_t SEP = platform::PREFERRED_SEPARATOR;

bool is_drive_letter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

// Length of the root name at the start of the path, 0 when there is none.
std::size_t root_name_length(std::u16string_view p) {
  if (p.size() >= 2 && is_drive_letter(p[0]) && p[1] == u':') return 2;
  // Device and verbatim prefixes: \\?\ \\.\ \??\ — three characters and a separator.
  if (p.size() >= 4 && is_separator(p[3]) && is_separator(p[0]) &&
      ((is_separator(p[1]) && (p[2] == u'?' || p[2] == u'.')) || (p[1] == u'?' && p[2] == u'?')))
    return 3;
  // A network prefix: two separators and a server name.
  if (p.size() >= 3 && is_separator(p[0]) && is_separator(p[1]) && !is_separator(p[2])) {
    std::size_t end = 2;
    while (end < p.size() && !is_separator(p[end])) ++end;
    return end;
  }
  return 0;
}

bool is_network_root_name(std::u16string_view name) {
  return name.size() >= 3 && is_separator(name[0]) && is_separator(name[1]) && name[2] != u'?' && name[2] != u'.';
}

bool is_verbatim_or_device_root_name(std::u16string_view name) {
  return name.size() == 3 && !is_drive_letter(name[0]) && !is_network_root_name(name);
}

bool is_unc(std::u16string_view element) {
  return element.size() == 3 && (element[0] | 0x20) == u'u' && (element[1] | 0x20) == u'n' &&
         (element[2] | 0x20) == u'c';
}

std::size_t element_length(std::u16string_view relative) {
  std::size_t end = 0;
  while (end < relative.size() && !is_separator(relative[end])) ++end;
  return end;
}

// The root name with its separators made preferred. The two leading separators of a network or
// device prefix are kept: folding them into one would turn \\server\share into a path on the
// current drive.
std::u16string normal_root_name(std::u16string_view name) {
  std::u16string out(name);
  for (char16_t& c : out)
    if (is_separator(c)) c = SEP;
  return out;
}

// The relative part cut at separator runs; a trailing separator gives a final empty element.
std::vector<std::u16string> elements_of(std::u16string_view relative) {
  std::vector<std::u16string> elements;
  std::size_t i = 0;
  while (i < relative.size()) {
    std::size_t end = i;
    while (end < relative.size() && !is_separator(relative[end])) ++end;
    elements.emplace_back(relative.substr(i, end - i));
    while (end < relative.size() && is_separator(relative[end])) ++end;
    i = end;
    if (i == relative.size() && is_separator(relative.back())) elements.emplace_back();
  }
  return elements;
}

// Removes elements[i], keeping a trailing separator when it was the last of several elements.
void remove_element(std::vector<std::u16string>& elements, std::size_t i, std::size_t count) {
  bool was_last = i + count == elements.size();
  elements.erase(elements.begin() + static_cast<std::ptrdiff_t>(i),
                 elements.begin() + static_cast<std::ptrdiff_t>(i + count));
  if (was_last && !elements.empty() && !elements.back().empty()) elements.emplace_back();
}

}  // namespace

bool is_separator(char16_t c) { return c == u'\\' || c == u'/'; }

bool is_verbatim_path(std::u16string_view path) {
  return path.size() >= 4 && path[0] == u'\\' && path[2] == u'?' && path[3] == u'\\' &&
         (path[1] == u'\\' || path[1] == u'?');
}

PathParts split_path(std::u16string_view path) {
  std::size_t name = root_name_length(path);
  std::size_t dir_end = name;
  while (dir_end < path.size() && is_separator(path[dir_end])) ++dir_end;
  return {path.substr(0, name), path.substr(name, dir_end - name), path.substr(dir_end)};
}

bool is_absolute_path(std::u16string_view path) {
  PathParts parts = split_path(path);
  if (parts.root_name.empty()) return platform::ROOT_DIRECTORY_IS_ABSOLUTE && !parts.root_directory.empty();
  bool drive = parts.root_name.size() == 2 && parts.root_name[1] == u':';
  return !drive || !parts.root_directory.empty();
}

std::u16string parent_path(std::u16string_view path) {
  PathParts parts = split_path(path);
  if (parts.relative.empty()) return std::u16string(path);
  std::size_t end = parts.relative.size();
  while (end > 0 && !is_separator(parts.relative[end - 1])) --end;  // the last element
  while (end > 0 && is_separator(parts.relative[end - 1])) --end;   // the separators before it
  std::size_t keep = path.size() - parts.relative.size() + end;
  return std::u16string(path.substr(0, keep));
}

std::u16string join_path(std::u16string_view directory, std::u16string_view relative) {
  // Windows passes a verbatim path to the file system as it stands, where '/' is no separator: a
  // record's _vanro/... below \\?\C:\game would name a file that does not exist.
  const bool verbatim = is_verbatim_path(directory);
  std::u16string joined(directory);
  if (!joined.empty() && !is_separator(joined.back())) joined.push_back(verbatim ? u'\\' : SEP);
  const std::size_t appended = joined.size();
  joined.append(relative);
  if (verbatim)
    for (std::size_t i = appended; i < joined.size(); ++i)
      if (joined[i] == u'/') joined[i] = u'\\';
  return joined;
}

std::size_t volume_root_length(std::u16string_view path) {
  PathParts parts = split_path(path);
  std::size_t length = parts.root_name.size() + parts.root_directory.size();
  std::size_t elements = 0;  // of the relative part that still belong to the volume's name
  if (is_network_root_name(parts.root_name)) {
    elements = 1;  // the share
  } else if (is_verbatim_or_device_root_name(parts.root_name)) {
    // UNC with the server and the share, or else a drive or a volume name.
    elements = is_unc(parts.relative.substr(0, element_length(parts.relative))) ? 3 : 1;
  }
  std::u16string_view rest = parts.relative;
  for (; elements > 0 && !rest.empty(); --elements) {
    std::size_t taken = element_length(rest);
    while (taken < rest.size() && is_separator(rest[taken])) ++taken;
    length += taken;
    rest.remove_prefix(taken);
  }
  return length;
}

std::u16string without_verbatim_prefix(std::u16string_view path) {
  if (!is_verbatim_path(path)) return std::u16string(path);
  std::u16string_view rest = path.substr(4);
  std::u16string_view first = rest.substr(0, element_length(rest));
  if (first.size() == 2 && is_drive_letter(first[0]) && first[1] == u':') return std::u16string(rest);
  if (is_unc(first) && first.size() < rest.size()) return u"\\\\" + std::u16string(rest.substr(4));
  return std::u16string(path);
}

std::u16string lexically_normal(std::u16string_view path) {
  if (path.empty()) return {};
  PathParts parts = split_path(path);
  std::vector<std::u16string> elements = elements_of(parts.relative);

  for (std::size_t i = 0; i < elements.size();) {
    if (elements[i] == u".") {
      remove_element(elements, i, 1);
    } else {
      ++i;
    }
  }
  for (bool changed = true; changed;) {
    changed = false;
    for (std::size_t i = 0; i + 1 < elements.size(); ++i) {
      if (!elements[i].empty() && elements[i] != u".." && elements[i + 1] == u"..") {
        remove_element(elements, i, 2);
        changed = true;
        break;
      }
    }
  }
  if (!parts.root_directory.empty()) {
    while (!elements.empty() && elements.front() == u"..") elements.erase(elements.begin());
  }
  if (elements.size() >= 2 && elements.back().empty() && elements[elements.size() - 2] == u"..")
    elements.pop_back();
  if (elements.size() == 1 && elements.front().empty()) elements.clear();

  std::u16string out = normal_root_name(parts.root_name);
  if (!parts.root_directory.empty()) out.push_back(SEP);
  for (std::size_t i = 0; i < elements.size(); ++i) {
    if (i > 0) out.push_back(SEP);
    out += elements[i];
  }
  if (out.empty()) out = u".";
  return out;
}
