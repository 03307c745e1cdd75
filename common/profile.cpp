#include "common/profile.h"

#include <cstdint>
#include <vector>

#include "common/file_io.h"
#include "common/path_safety.h"
#include "common/patch_error.h"
#include "common/platform.h"
#include "common/retrying.h"

namespace {

std::u16string trim(std::u16string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && (s[b] == u' ' || s[b] == u'\t')) ++b;
  while (e > b && (s[e - 1] == u' ' || s[e - 1] == u'\t' || s[e - 1] == u'\r')) --e;
  return std::u16string(s.substr(b, e - b));
}

bool equal_ignoring_case(std::u16string_view a, std::u16string_view b) {
  return platform::lower_case(std::u16string(a)) == platform::lower_case(std::u16string(b));
}

struct Line {
  std::size_t begin, end;  // the line without its LF
};

std::vector<Line> lines_of(const std::u16string& text) {
  std::vector<Line> lines;
  for (std::size_t begin = 0; begin < text.size();) {
    std::size_t lf = text.find(u'\n', begin);
    std::size_t end = lf == std::u16string::npos ? text.size() : lf;
    lines.push_back({begin, end});
    begin = end + 1;
  }
  return lines;
}

std::u16string_view line_text(const std::u16string& text, const Line& line) {
  return std::u16string_view(text).substr(line.begin, line.end - line.begin);
}

std::optional<std::u16string> section_of(std::u16string_view line) {
  std::u16string t = trim(line);
  if (t.size() >= 2 && t.front() == u'[' && t.back() == u']') return trim(std::u16string_view(t).substr(1, t.size() - 2));
  return std::nullopt;
}

// Where the key stands in its section, and the line after the section's last line that is not blank.
struct KeyPlace {
  bool section_found = false;
  std::vector<std::size_t> key_lines;
  std::size_t insert_at = 0;
};

KeyPlace find_key(const std::u16string& text, const std::vector<Line>& lines, const std::u16string& section,
                  const std::u16string& key) {
  KeyPlace place;
  bool inside = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::u16string_view line = line_text(text, lines[i]);
    if (std::optional<std::u16string> name = section_of(line)) {
      inside = equal_ignoring_case(*name, section);
      place.section_found = place.section_found || inside;
      if (inside) place.insert_at = i + 1;
      continue;
    }
    if (!inside) continue;
    if (!trim(line).empty()) place.insert_at = i + 1;
    std::size_t equals = line.find(u'=');
    if (equals != std::u16string_view::npos && equal_ignoring_case(trim(line.substr(0, equals)), key))
      place.key_lines.push_back(i);
  }
  return place;
}

}  // namespace

ProfileText decode_profile(std::string_view bytes) {
  ProfileText profile;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
    profile.utf16 = true;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2)
      profile.text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                                   (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  } else {
    for (unsigned char c : bytes) profile.text.push_back(c);
  }
  return profile;
}

std::string encode_profile(const ProfileText& profile) {
  std::string bytes;
  if (profile.utf16) {
    bytes = "\xFF\xFE";
    for (char16_t c : profile.text) {
      bytes.push_back(static_cast<char>(c & 0xFF));
      bytes.push_back(static_cast<char>(c >> 8));
    }
  } else {
    for (char16_t c : profile.text) bytes.push_back(static_cast<char>(c));
  }
  return bytes;
}

std::vector<std::u16string> profile_values(const std::u16string& text, const std::u16string& section,
                                           const std::u16string& key) {
  std::vector<Line> lines = lines_of(text);
  std::vector<std::u16string> values;
  for (std::size_t at : find_key(text, lines, section, key).key_lines) {
    std::u16string_view line = line_text(text, lines[at]);
    std::u16string value = trim(line.substr(line.find(u'=') + 1));
    if (value.size() >= 2 && value.front() == value.back() && (value.front() == u'"' || value.front() == u'\''))
      value = value.substr(1, value.size() - 2);
    values.push_back(value);
  }
  return values;
}

std::optional<std::u16string> profile_value(const std::u16string& text, const std::u16string& section,
                                            const std::u16string& key) {
  std::vector<std::u16string> values = profile_values(text, section, key);
  if (values.empty()) return std::nullopt;
  return values.front();
}

std::u16string with_profile_value(const std::u16string& text, const std::u16string& section,
                                  const std::u16string& key, const std::u16string& value) {
  std::u16string changed = text;
  std::vector<Line> lines = lines_of(changed);
  KeyPlace place = find_key(changed, lines, section, key);
  std::u16string eol = changed.find(u"\r\n") != std::u16string::npos || changed.empty() ? u"\r\n" : u"\n";
  if (!place.key_lines.empty()) {
    const Line& line = lines[place.key_lines.front()];
    std::u16string_view old = line_text(changed, line);
    std::u16string entry = trim(old.substr(0, old.find(u'='))) + u"=" + value;
    std::size_t end = line.end > line.begin && changed[line.end - 1] == u'\r' ? line.end - 1 : line.end;
    changed.replace(line.begin, end - line.begin, entry);
  } else if (place.section_found) {
    std::size_t at = place.insert_at < lines.size() ? lines[place.insert_at].begin : changed.size();
    if (at == changed.size() && !changed.empty() && changed.back() != u'\n') {
      changed += eol;  // the last line gets its end before the key follows it
      at = changed.size();
    }
    changed.insert(at, key + u"=" + value + eol);
  } else {
    if (!changed.empty() && changed.back() != u'\n') changed += eol;
    changed += u"[" + section + u"]" + eol + key + u"=" + value + eol;
  }
  return changed;
}

namespace {

// The file as the profile functions would find it: nothing, when there is none to read.
std::optional<ProfileText> load_profile(const std::u16string& path) {
  if (!platform::file_attributes(path)) return std::nullopt;
  return decode_profile(read_whole_file(path, PROFILE_FILE_LIMIT));
}

// Create-only under the staging name, flushed, then renamed over the file.
bool save_profile(const std::u16string& path, const ProfileText& profile) {
  try {
    write_staged_file({path + STAGING_SUFFIX, path, "", "", "", nullptr, true}, encode_profile(profile));
    return true;
  } catch (const PatchError&) {
    return false;
  }
}

}  // namespace

std::u16string get_profile_string(const std::u16string& section, const std::u16string& key,
                                  const std::u16string& fallback, const std::u16string& path,
                                  std::size_t buffer_chars) {
  if (std::optional<std::u16string> value = platform::system_profile_string(section, key, fallback, path, buffer_chars))
    return *value;
  if (buffer_chars == 0) return {};
  std::optional<ProfileText> profile = load_profile(path);
  std::u16string value = profile ? profile_value(profile->text, section, key).value_or(fallback) : fallback;
  if (value.size() > buffer_chars - 1) value.resize(buffer_chars - 1);
  return value;
}

bool write_profile_string(const std::u16string& section, const std::u16string& key, const std::u16string& value,
                          const std::u16string& path) {
  if (std::optional<std::error_code> error = retrying::write_system_profile_string(section, key, value, path))
    return !*error;
  ProfileText profile = load_profile(path).value_or(ProfileText{});
  profile.text = with_profile_value(profile.text, section, key, value);
  return save_profile(path, profile);
}

void flush_profile(const std::u16string& path) { platform::flush_system_profile(path); }
