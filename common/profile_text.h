// The text of a profile (INI) file, read and changed the way the Windows profile functions read and
// change it. The Linux build's profile functions are made of these, and so is the Windows build's
// way around a path the profile functions refuse; the installer's check of what a write left on
// disk reads the file through them too.
#pragma once

#include <optional>
#include <string>
#include <string_view>

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

// The text with `key` in `section` set to `value`, as WritePrivateProfileStringW leaves it: an
// existing key keeps its stored spelling and gets the new value; a missing key is added at the end
// of its section, a missing section at the end of the text. Every other line stays as it is.
std::u16string with_profile_value(const std::u16string& text, const std::u16string& section,
                                  const std::u16string& key, const std::u16string& value);
