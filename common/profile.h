// Profile (INI) files such as _vanro/hook.ini: read and changed as the Windows profile functions
// read and change them. The Windows build hands a file to the system's own profile functions where
// they take its path; every other file (any on Linux, and a long or verbatim path on Windows) is
// read and written here by the same rules, on the platform's own file calls: a change is written
// create-only under the file's staging name, flushed, and renamed over the file, so a crash leaves
// the old file or the new one whole, and at worst the staging file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The largest profile file read here, as the installer reads hook.ini to check what it wrote.
inline constexpr uint64_t PROFILE_FILE_LIMIT = 65536;

struct ProfileText {
  std::u16string text;
  bool utf16 = false;  // UTF-16 LE behind the byte-order mark FF FE; otherwise 8-bit text
};

ProfileText decode_profile(std::string_view bytes);
std::string encode_profile(const ProfileText& profile);

// The value of the first `key` in `section`, as GetPrivateProfileStringW reads it: section and key
// names match without regard to case and with the blanks around them dropped, the value loses the
// blanks around it and one pair of matching quotes. Nullopt when the key is not there.
std::optional<std::u16string> profile_value(const std::u16string& text, const std::u16string& section,
                                            const std::u16string& key);
// Every value of `key` in `section`, in file order, read the same way.
std::vector<std::u16string> profile_values(const std::u16string& text, const std::u16string& section,
                                           const std::u16string& key);

// The text with `key` in `section` set to `value`, as WritePrivateProfileStringW leaves it: an
// existing key keeps its stored spelling and gets the new value; a missing key is added at the end
// of its section, a missing section at the end of the text. Every other line stays as it is.
std::u16string with_profile_value(const std::u16string& text, const std::u16string& section,
                                  const std::u16string& key, const std::u16string& value);

// GetPrivateProfileStringW with a buffer of `buffer_chars` characters: the value, or the fallback
// when the file or the key is not there, cut to buffer_chars - 1 characters.
std::u16string get_profile_string(const std::u16string& section, const std::u16string& key,
                                  const std::u16string& fallback, const std::u16string& path, std::size_t buffer_chars);
// WritePrivateProfileStringW(section, key, value, path); false when the file could not be written.
bool write_profile_string(const std::u16string& section, const std::u16string& key, const std::u16string& value,
                          const std::u16string& path);
// WritePrivateProfileStringW(NULL, NULL, NULL, path): the system's cached copy of the file written
// out. A file changed here is on disk already. Windows answers FALSE even when it did so, so the
// answer tells nothing and is not given.
void flush_profile(const std::u16string& path);
