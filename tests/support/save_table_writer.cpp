#include "tests/support/save_table_writer.h"

#include <cstdio>
#include <stdexcept>

namespace {

unsigned hex_value(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  throw std::invalid_argument("not a lower-case hex digit");
}

void append_digest(std::string& out, const std::string& hex) {
  if (hex.size() != 64) throw std::invalid_argument("a digest needs 64 hex characters");
  for (std::size_t i = 0; i < 64; i += 2) {
    out.push_back(static_cast<char>(hex_value(hex[i]) * 16 + hex_value(hex[i + 1])));
  }
}

void append_text(std::string& out, const std::string& text) {
  append_u32(out, static_cast<uint32_t>(text.size()));
  out += text;
}

}  // namespace

void append_u32(std::string& out, uint32_t value) {
  const char bytes[4] = {static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF),
                         static_cast<char>((value >> 16) & 0xFF), static_cast<char>(value >> 24)};
  out.append(bytes, 4);
}

std::string save_table_header(uint32_t script_count, std::string_view magic) {
  std::string out(magic);
  append_u32(out, script_count);
  return out;
}

void append_save_script(std::string& out, const SaveCompatScript& script) {
  append_text(out, script.name);
  for (uint32_t bound : {script.bound1, script.bound2, script.bound3, script.bound4}) append_u32(out, bound);
  for (const std::string* digest : {&script.digest1, &script.digest2, &script.digest3, &script.digest4}) {
    append_digest(out, *digest);
  }
  append_u32(out, static_cast<uint32_t>(script.tokens.size()));
  for (const SaveCompatToken& t : script.tokens) {
    for (uint32_t v : {t.first_begin, t.first_end, t.second_begin, t.second_end, t.opcode}) append_u32(out, v);
  }
  append_u32(out, static_cast<uint32_t>(script.anchors.size()));
  for (const SaveCompatAnchor& a : script.anchors) {
    append_u32(out, a.token_index);
    append_text(out, a.first_text);
    append_text(out, a.second_text);
  }
  append_u32(out, static_cast<uint32_t>(script.blocks.size()));
  for (const SaveCompatBlock& b : script.blocks) {
    for (uint32_t v : {b.token_index, b.flag_word, b.value}) append_u32(out, v);
  }
}

std::string save_table_bytes(const std::vector<SaveCompatScript>& scripts) {
  std::string out = save_table_header(static_cast<uint32_t>(scripts.size()));
  for (const SaveCompatScript& script : scripts) append_save_script(out, script);
  return out;
}

std::string pattern_digest(uint32_t seed) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string hex;
  uint32_t x = seed * 2654435761u + 12345u;
  for (int i = 0; i < 64; ++i) {
    x = x * 1103515245u + 12345u;
    hex.push_back(digits[(x >> 16) & 0xF]);
  }
  return hex;
}

SaveCompatScript minimal_save_script(const std::string& name) {
  SaveCompatScript script{};
  script.name = name;
  uint32_t seed = 0;
  for (char c : name) seed = seed * 31 + static_cast<unsigned char>(c);
  script.digest1 = pattern_digest(seed * 4);
  script.digest2 = pattern_digest(seed * 4 + 1);
  script.digest3 = pattern_digest(seed * 4 + 2);
  script.digest4 = pattern_digest(seed * 4 + 3);
  script.bound1 = 0;
  script.bound2 = 0;
  script.bound3 = 3;
  script.bound4 = 3;
  return script;
}

std::vector<SaveCompatScript> minimal_save_scripts() {
  std::vector<SaveCompatScript> scripts;
  for (unsigned i = 0; i < SAVE_TABLE_SCRIPT_COUNT; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "s%03u", i);
    scripts.push_back(minimal_save_script(name));
  }
  return scripts;
}

void give_tokens(SaveCompatScript& script, uint32_t count, uint32_t opcode) {
  script.tokens.clear();
  script.tokens.reserve(count);
  for (uint32_t i = 0; i < count; ++i) script.tokens.push_back({3 + i, 4 + i, 3 + i, 4 + i, opcode});
  script.bound3 = 3 + count;
  script.bound4 = 3 + count;
}
