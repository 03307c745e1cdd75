// The only two conversions between UTF-8 and UTF-16, both strict, and the program's own path.
#pragma once

#include <string>
#include <string_view>

// Raises PatchError "Invalid UTF-8" for any malformed input; nothing is replaced.
std::u16string utf8_to_wide(std::string_view utf8);
// Raises PatchError "Invalid Unicode" for an unpaired surrogate.
std::string wide_to_utf8(std::u16string_view wide);
// For reports that must never fail: malformed sequences become U+FFFD.
std::u16string utf8_to_wide_lossy(std::string_view utf8);

// The text with ASCII A-Z turned into a-z and every other byte as it is: how paths and names of the
// program's own formats are compared without regard to case.
std::string ascii_lower(std::string_view text);

// The full path of the running program file; raises PatchError "Invalid module path".
std::u16string get_module_path();
