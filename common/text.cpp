#include "common/text.h"

#include <optional>

#include "common/patch_error.h"
#include "common/platform.h"

std::u16string utf8_to_wide(std::string_view utf8) {
  std::u16string wide;
  if (utf8.empty()) return wide;
  if (!platform::utf8_to_utf16(utf8, wide)) throw PatchError("Invalid UTF-8");
  return wide;
}

std::string wide_to_utf8(std::u16string_view wide) {
  std::string utf8;
  if (wide.empty()) return utf8;
  if (!platform::utf16_to_utf8(wide, utf8)) throw PatchError("Invalid Unicode");
  return utf8;
}

namespace {

// One code point decoded by the same rules the strict conversion enforces, or nullopt.
std::optional<char32_t> decode_one(std::string_view s, std::size_t& i) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char lead = byte(i);
  if (lead < 0x80) {
    ++i;
    return lead;
  }
  std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (length == 0 || lead > 0xF4 || i + length > s.size()) return std::nullopt;
  char32_t code = lead & (0xFF >> (length + 1));
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return std::nullopt;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  static constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return std::nullopt;
  i += length;
  return code;
}

}  // namespace

std::u16string utf8_to_wide_lossy(std::string_view utf8) {
  std::u16string wide;
  for (std::size_t i = 0; i < utf8.size();) {
    std::optional<char32_t> code = decode_one(utf8, i);
    if (!code) {
      wide.push_back(u'\uFFFD');
      ++i;
    } else if (*code >= 0x10000) {
      wide.push_back(static_cast<char16_t>(0xD800 + ((*code - 0x10000) >> 10)));
      wide.push_back(static_cast<char16_t>(0xDC00 + ((*code - 0x10000) & 0x3FF)));
    } else {
      wide.push_back(static_cast<char16_t>(*code));
    }
  }
  return wide;
}

std::u16string get_module_path() {
  std::optional<std::u16string> path = platform::module_file_name();
  if (!path) throw PatchError("Invalid module path");
  return *path;
}

std::string ascii_lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}
