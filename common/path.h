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

// The path without its last element and the separators before it; never cuts into the root.
std::u16string parent_path(std::u16string_view path);
// One separator between the two unless the directory already ends with one; `relative` as it is.
std::u16string join_path(std::u16string_view directory, std::u16string_view relative);
// The lexical normal form: single preferred separators, no "." elements, "x/.." pairs removed.
std::u16string lexically_normal(std::u16string_view path);
