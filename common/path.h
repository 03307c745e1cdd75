// The forms of full paths, computed on the text alone, never by asking the file system.
// Both '\' and '/' separate elements; a run of separators counts as one.
#pragma once

#include <string>
#include <string_view>

struct PathParts {
  std::u16string_view root_name;       // "C:", "\\server", "\\?\" ... or empty
  std::u16string_view root_directory;  // the separator run after the root name, or empty
  std::u16string_view relative;        // the rest
};

bool is_separator(char16_t c);
PathParts split_path(std::u16string_view path);
bool is_absolute_path(std::u16string_view path);
// Whether the path starts with \\?\ or \??\: below them it reaches the file system unchanged.
bool is_verbatim_path(std::u16string_view path);

// The path without its last element and the separators before it; never cuts into the root.
std::u16string parent_path(std::u16string_view path);
// One separator between the two unless the directory already ends with one; `relative` as it is,
// except below a verbatim root (\\?\), where Windows takes '/' as part of a name: there each '/' of
// `relative` becomes '\'.
std::u16string join_path(std::u16string_view directory, std::u16string_view relative);
// The length of the path's leading text that names a whole volume, with the separators after it:
// a drive's root (C:\), a share (\\srv\share\), their verbatim and device forms (\\?\C:\,
// \\?\UNC\srv\share\, \\.\C:\), or a root directory alone (\ or /); 0 for a relative path.
// A volume's root is never a link of its own, and a share's server is no directory at all.
std::size_t volume_root_length(std::u16string_view path);
// The path with its verbatim prefix taken off where the plain form names the same file:
// \\?\C:\x is C:\x and \\?\UNC\srv\share\x is \\srv\share\x. Other paths stay as they are.
std::u16string without_verbatim_prefix(std::u16string_view path);
// The lexical normal form: single preferred separators, no "." elements, "x/.." pairs removed.
std::u16string lexically_normal(std::u16string_view path);
