// The stand-in in-game runtime, built as winmm.dll (on Linux an ELF shared object of that name).
// The game loads it from the folder of its own image and calls its entry. It reads what the real
// runtime reads, from the game directory (the process's current directory), and appends one line
// saying what it found to _vanro/runtime.log:
//
//   vanro-runtime: toggle_key=X save-offsets=ZDHSV001 scripts=511
//
// toggle_key is the key's value, or "missing" (no hook.ini), "not-utf16" (no UTF-16 LE byte order
// mark) or "absent" (no such key in [hud]). save-offsets is the magic found, or "missing" or
// "bad-magic"; scripts is the count stored after the magic, or "?" when the file is too short.
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>

namespace {

std::optional<std::string> read_file(const char* path, std::size_t limit) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes(limit, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(limit));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string trim(const std::string& text) {
  std::size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

std::string lower(std::string text) {
  for (char& c : text) c = ascii_lower(c);
  return text;
}

// UTF-16 LE to text in which every character outside ASCII shows as '?': the key is one letter.
std::string narrow_utf16le(const std::string& bytes) {
  std::string text;
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
    unsigned unit = static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8;
    text.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  }
  return text;
}

// Section and key names match without regard to ASCII case, as the profile functions match them.
std::string toggle_key() {
  std::optional<std::string> bytes = read_file("_vanro/hook.ini", 65536);
  if (!bytes) return "missing";
  if (bytes->size() < 2 || (*bytes)[0] != '\xFF' || (*bytes)[1] != '\xFE') return "not-utf16";
  std::string text = narrow_utf16le(*bytes);
  bool in_hud = false;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = trim(text.substr(start, end - start));
    if (!line.empty() && line.back() == '\r') line = trim(line.substr(0, line.size() - 1));
    start = end + 1;
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      in_hud = lower(trim(line.substr(1, line.size() - 2))) == "hud";
      continue;
    }
    std::size_t equals = line.find('=');
    if (in_hud && equals != std::string::npos && lower(trim(line.substr(0, equals))) == "toggle_key")
      return trim(line.substr(equals + 1));
  }
  return "absent";
}

std::string save_offsets() {
  std::optional<std::string> bytes = read_file("_vanro/save-offsets.bin", 12);
  if (!bytes) return "save-offsets=missing scripts=?";
  std::string magic = bytes->substr(0, 8);
  std::string result = "save-offsets=" + (magic == "ZDHSV001" ? magic : std::string("bad-magic"));
  if (bytes->size() < 12) return result + " scripts=?";
  uint32_t count = 0;
  for (int i = 3; i >= 0; --i) count = count << 8 | static_cast<unsigned char>((*bytes)[8 + i]);
  return result + " scripts=" + std::to_string(count);
}

}  // namespace

// Called by the game; nothing may escape into it.
extern "C" void vanro_runtime_start() {
  try {
    std::string line = "vanro-runtime: toggle_key=" + toggle_key() + " " + save_offsets();
    // Text mode: the log gets the platform's line end, CR LF on Windows.
    std::ofstream log("_vanro/runtime.log", std::ios::app);
    log << line << '\n';
  } catch (...) {
  }
}
