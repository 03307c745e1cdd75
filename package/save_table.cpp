// _vanro/save-offsets.bin, the save compatibility table ("ZDHSV001").
//
// The file comes from the package and may be hostile, and it can be large (up to 64 MiB). So the
// parser walks the buffer once, front to back, checks every value as soon as it has read it (the
// first fault in file order decides the message), and checks every count against its budget
// before it reserves anything for it. Where a run of fixed-size entries is fully present, the
// entries are read in a tight loop, without a bounds check per field.
#include "package/save_table.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string_view>

#include "common/patch_error.h"
#include "integrity/sha256.h"

namespace {

constexpr std::string_view TABLE_MAGIC = "ZDHSV001";
constexpr uint32_t NAME_LIMIT = 64;
constexpr uint32_t TEXT_LIMIT = 8192;
constexpr uint32_t OUTER_BOUND_LIMIT = 1048576;
constexpr uint32_t RANGE_START = 3;
constexpr uint32_t RANGE_END_LIMIT = 104000;
constexpr uint32_t SCRIPT_TOKEN_LIMIT = 100000;
constexpr uint64_t TOTAL_TOKEN_LIMIT = 3000000;
constexpr uint64_t TOTAL_ANCHOR_LIMIT = 200000;
constexpr uint32_t SCRIPT_BLOCK_LIMIT = 65536;
constexpr std::size_t TOKEN_SIZE = 20;
constexpr std::size_t BLOCK_SIZE = 12;
constexpr std::size_t ANCHOR_MIN_SIZE = 12;  // token index and two empty texts
constexpr std::size_t DIGEST_SIZE = 32;

struct Cursor {
  const unsigned char* at;
  const unsigned char* end;

  std::size_t remaining() const { return static_cast<std::size_t>(end - at); }
};

// Callers have made sure the four bytes are there.
uint32_t load_u32(const unsigned char* p) {
  uint32_t value;
  std::memcpy(&value, p, 4);
  if constexpr (std::endian::native == std::endian::big) {
    value = (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) | (value << 24);
  }
  return value;
}

void require(const Cursor& cursor, std::size_t n) {
  if (cursor.remaining() < n) {
    throw PatchError("Truncated save compatibility table");
  }
}

uint32_t read_u32(Cursor& cursor) {
  require(cursor, 4);
  const uint32_t value = load_u32(cursor.at);
  cursor.at += 4;
  return value;
}

std::string_view read_bytes(Cursor& cursor, std::size_t n) {
  require(cursor, n);
  const std::string_view bytes(reinterpret_cast<const char*>(cursor.at), n);
  cursor.at += n;
  return bytes;
}

std::string_view read_string(Cursor& cursor, uint32_t max) {
  const uint32_t length = read_u32(cursor);
  if (length > max) {
    throw PatchError("Oversized save compatibility string");
  }
  return read_bytes(cursor, length);
}

// How many of `count` entries of `size` bytes the rest of the buffer can hold: room is reserved
// for no more entries than the file could actually contain.
std::size_t entries_present(const Cursor& cursor, uint32_t count, std::size_t size) {
  return std::min<std::size_t>(count, cursor.remaining() / size);
}

bool is_name_byte(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'; }

void read_name(Cursor& cursor, SaveCompatScript& script) {
  const std::string_view name = read_string(cursor, NAME_LIMIT);
  const bool valid = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return is_name_byte(static_cast<unsigned char>(c));
  });
  if (!valid) {
    throw PatchError("Invalid save compatibility script name");
  }
  script.name = name;
}

void read_bounds(Cursor& cursor, SaveCompatScript& script) {
  script.bound1 = read_u32(cursor);
  script.bound2 = read_u32(cursor);
  script.bound3 = read_u32(cursor);
  script.bound4 = read_u32(cursor);
  if (script.bound1 > OUTER_BOUND_LIMIT || script.bound2 > OUTER_BOUND_LIMIT || script.bound3 < RANGE_START ||
      script.bound3 > RANGE_END_LIMIT || script.bound4 < RANGE_START || script.bound4 > RANGE_END_LIMIT) {
    throw PatchError("Invalid save compatibility script bounds");
  }
}

std::string read_digest(Cursor& cursor) {
  const std::string_view raw = read_bytes(cursor, DIGEST_SIZE);
  return to_hex(raw.data(), raw.size());
}

// The tokens cut [3, bound3) and [3, bound4) into consecutive non-empty pieces, in step.
void read_tokens(Cursor& cursor, SaveCompatScript& script, uint64_t& token_total) {
  const uint32_t count = read_u32(cursor);
  token_total += count;
  if (count > SCRIPT_TOKEN_LIMIT || token_total > TOTAL_TOKEN_LIMIT) {
    throw PatchError("Save compatibility token budget exceeded");
  }
  // Tokens that are whole in the buffer are checked before the cut that ends it is reported,
  // so that the first fault in file order decides the message.
  const std::size_t present = entries_present(cursor, count, TOKEN_SIZE);
  script.tokens.reserve(present);
  uint32_t first_start = RANGE_START;
  uint32_t second_start = RANGE_START;
  const unsigned char* p = cursor.at;
  for (std::size_t i = 0; i < present; ++i, p += TOKEN_SIZE) {
    const SaveCompatToken token{load_u32(p), load_u32(p + 4), load_u32(p + 8), load_u32(p + 12), load_u32(p + 16)};
    const bool broken = (token.first_begin != first_start) | (token.second_begin != second_start) |
                        (token.first_end <= token.first_begin) | (token.second_end <= token.second_begin) |
                        (token.first_end > script.bound3) | (token.second_end > script.bound4) |
                        (token.opcode > 255);
    if (broken) {
      throw PatchError("Invalid save compatibility token boundary");
    }
    script.tokens.push_back(token);
    first_start = token.first_end;
    second_start = token.second_end;
  }
  cursor.at = p;
  require(cursor, (count - present) * TOKEN_SIZE);
  if (first_start != script.bound3 || second_start != script.bound4) {
    throw PatchError("Incomplete save compatibility script");
  }
}

bool can_carry_anchor(uint32_t opcode) { return opcode == 106 || opcode == 107 || opcode == 109; }

void read_anchors(Cursor& cursor, SaveCompatScript& script, uint64_t& anchor_total) {
  const uint32_t count = read_u32(cursor);
  anchor_total += count;
  if (count > script.tokens.size() || anchor_total > TOTAL_ANCHOR_LIMIT) {
    throw PatchError("Save compatibility anchor budget exceeded");
  }
  script.anchors.reserve(entries_present(cursor, count, ANCHOR_MIN_SIZE));
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t token_index = read_u32(cursor);
    if (token_index >= script.tokens.size() || (i > 0 && token_index <= script.anchors.back().token_index)) {
      throw PatchError("Invalid save compatibility anchor order");
    }
    if (!can_carry_anchor(script.tokens[token_index].opcode)) {
      throw PatchError("Invalid save compatibility anchor opcode");
    }
    const std::string_view first_text = read_string(cursor, TEXT_LIMIT);
    const std::string_view second_text = read_string(cursor, TEXT_LIMIT);
    if (first_text.find('\0') != std::string_view::npos || second_text.find('\0') != std::string_view::npos) {
      throw PatchError("Save compatibility anchor contains NUL");
    }
    script.anchors.push_back(SaveCompatAnchor{token_index, std::string(first_text), std::string(second_text)});
  }
}

void read_blocks(Cursor& cursor, SaveCompatScript& script) {
  const uint32_t count = read_u32(cursor);
  if (count > SCRIPT_BLOCK_LIMIT) {
    throw PatchError("Save compatibility block budget exceeded");
  }
  const std::size_t present = entries_present(cursor, count, BLOCK_SIZE);
  script.blocks.reserve(present);
  const unsigned char* p = cursor.at;
  for (std::size_t i = 0; i < present; ++i, p += BLOCK_SIZE) {
    const SaveCompatBlock block{load_u32(p), load_u32(p + 4), load_u32(p + 8)};
    if (block.token_index >= script.tokens.size() || (block.flag_word != 0 && block.flag_word != 0x80000000u) ||
        block.value > 65535) {
      throw PatchError("Invalid save compatibility block");
    }
    script.blocks.push_back(block);
  }
  cursor.at = p;
  require(cursor, (count - present) * BLOCK_SIZE);
}

SaveCompatScript read_script(Cursor& cursor, uint64_t& token_total, uint64_t& anchor_total) {
  SaveCompatScript script{};
  read_name(cursor, script);
  read_bounds(cursor, script);
  script.digest1 = read_digest(cursor);
  script.digest2 = read_digest(cursor);
  script.digest3 = read_digest(cursor);
  script.digest4 = read_digest(cursor);
  read_tokens(cursor, script, token_total);
  read_anchors(cursor, script, anchor_total);
  read_blocks(cursor, script);
  return script;
}

}  // namespace

SaveCompatTable parse_save_compat_table(const std::string& bytes) {
  if (bytes.size() > SAVE_TABLE_LIMIT) {
    throw PatchError("Save compatibility table exceeds budget");
  }
  const auto* begin = reinterpret_cast<const unsigned char*>(bytes.data());
  Cursor cursor{begin, begin + bytes.size()};
  if (read_bytes(cursor, TABLE_MAGIC.size()) != TABLE_MAGIC || read_u32(cursor) != SAVE_TABLE_SCRIPT_COUNT) {
    throw PatchError("Wrong save compatibility table identity");
  }
  SaveCompatTable table;
  uint64_t token_total = 0;
  uint64_t anchor_total = 0;
  for (uint32_t i = 0; i < SAVE_TABLE_SCRIPT_COUNT; ++i) {
    SaveCompatScript script = read_script(cursor, token_total, anchor_total);
    std::string name = script.name;
    if (!table.try_emplace(std::move(name), std::move(script)).second) {
      throw PatchError("Duplicate save compatibility script");
    }
  }
  if (cursor.remaining() != 0) {
    throw PatchError("Trailing save compatibility data");
  }
  return table;
}
