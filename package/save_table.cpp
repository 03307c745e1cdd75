// _vanro/save-offsets.bin, the save compatibility table ("ZDHSV001").
//
// The file comes from the package and may be hostile, and it can be large (up to 64 MiB). So the
// parser walks the buffer once, front to back, checks every value as soon as it has read it (the
// first fault in file order decides the message), and checks every count against its budget
// before it reserves anything for it. Where a run of fixed-size entries is fully present, the
// entries are read in a tight loop, without a bounds check per field.
//
// The compatibility check needs nothing of a table but each script's name and the digest of its
// translated script, so it reads the file through one small window and keeps only those: the
// table's 3 MB and its parsed form (a hundred thousand tokens, thousands of anchor texts) would be
// fresh memory that every page of costs a fault, for values that are checked once and dropped.
// Both forms run the same checks in the same order.
#include "package/save_table.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string_view>
#include <vector>

#include "common/file_io.h"
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
// What a streamed table holds in hand at most: more than its longest value (an anchor text).
constexpr std::size_t WINDOW_SIZE = 65536;
static_assert(WINDOW_SIZE >= TEXT_LIMIT);

// The bytes of the table in hand, from `at` to `end`. A table streamed from its file holds only a
// window of it in hand: `unread` more bytes follow, and `next` brings them into `window`.
struct Cursor {
  const unsigned char* at;
  const unsigned char* end;
  uint64_t unread = 0;
  const FilePieceSource* next = nullptr;
  unsigned char* window = nullptr;
  std::size_t window_size = 0;

  std::size_t in_hand() const { return static_cast<std::size_t>(end - at); }
  uint64_t remaining() const { return in_hand() + unread; }
};

// What one reading of a table keeps between its records.
struct Reading {
  Cursor cursor;
  bool keep_all;  // the whole parsed form, or only what the compatibility check needs
  uint64_t token_total = 0;
  uint64_t anchor_total = 0;
  std::vector<uint8_t> opcodes;  // of the current record's tokens, for its anchors; reused
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

// What is still in hand moves to the front of the window, and the file fills the rest.
void refill(Cursor& cursor) {
  const std::size_t kept = cursor.in_hand();
  std::memmove(cursor.window, cursor.at, kept);
  const std::size_t take = static_cast<std::size_t>(std::min<uint64_t>(cursor.unread, cursor.window_size - kept));
  (*cursor.next)(reinterpret_cast<char*>(cursor.window + kept), take);
  cursor.unread -= take;
  cursor.at = cursor.window;
  cursor.end = cursor.window + kept + take;
}

// Makes n bytes (at most a window's worth) available in hand.
void require(Cursor& cursor, std::size_t n) {
  if (cursor.in_hand() >= n) return;
  if (cursor.remaining() < n) {
    throw PatchError("Truncated save compatibility table");
  }
  refill(cursor);
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

// Room for no more entries than the rest of the table could actually contain.
std::size_t entries_possible(const Cursor& cursor, uint32_t count, std::size_t size) {
  return static_cast<std::size_t>(std::min<uint64_t>(count, cursor.remaining() / size));
}

// Hands each of `count` entries of `size` bytes to `entry`, as many at a time as are in hand,
// without a bounds check per field. Entries that are whole in the table are checked before the
// cut that ends it is reported, so that the first fault in file order decides the message.
template <typename Entry>
void read_run(Cursor& cursor, uint32_t count, std::size_t size, Entry entry) {
  for (uint32_t left = count; left > 0;) {
    require(cursor, size);
    const std::size_t present = std::min<std::size_t>(left, cursor.in_hand() / size);
    const unsigned char* p = cursor.at;
    for (std::size_t i = 0; i < present; ++i, p += size) entry(p);
    cursor.at = p;
    left -= static_cast<uint32_t>(present);
  }
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

std::string read_digest(Cursor& cursor, bool keep) {
  const std::string_view raw = read_bytes(cursor, DIGEST_SIZE);
  return keep ? to_hex(raw.data(), raw.size()) : std::string();
}

// The tokens cut [3, bound3) and [3, bound4) into consecutive non-empty pieces, in step.
void read_tokens(Reading& reading, SaveCompatScript& script) {
  Cursor& cursor = reading.cursor;
  const uint32_t count = read_u32(cursor);
  reading.token_total += count;
  if (count > SCRIPT_TOKEN_LIMIT || reading.token_total > TOTAL_TOKEN_LIMIT) {
    throw PatchError("Save compatibility token budget exceeded");
  }
  const std::size_t possible = entries_possible(cursor, count, TOKEN_SIZE);
  if (reading.keep_all) script.tokens.reserve(possible);
  reading.opcodes.clear();
  reading.opcodes.reserve(possible);
  uint32_t first_start = RANGE_START;
  uint32_t second_start = RANGE_START;
  read_run(cursor, count, TOKEN_SIZE, [&](const unsigned char* p) {
    const SaveCompatToken token{load_u32(p), load_u32(p + 4), load_u32(p + 8), load_u32(p + 12), load_u32(p + 16)};
    const bool broken = (token.first_begin != first_start) | (token.second_begin != second_start) |
                        (token.first_end <= token.first_begin) | (token.second_end <= token.second_begin) |
                        (token.first_end > script.bound3) | (token.second_end > script.bound4) |
                        (token.opcode > 255);
    if (broken) {
      throw PatchError("Invalid save compatibility token boundary");
    }
    if (reading.keep_all) script.tokens.push_back(token);
    reading.opcodes.push_back(static_cast<uint8_t>(token.opcode));
    first_start = token.first_end;
    second_start = token.second_end;
  });
  if (first_start != script.bound3 || second_start != script.bound4) {
    throw PatchError("Incomplete save compatibility script");
  }
}

bool can_carry_anchor(uint32_t opcode) { return opcode == 106 || opcode == 107 || opcode == 109; }

void read_anchors(Reading& reading, SaveCompatScript& script) {
  Cursor& cursor = reading.cursor;
  const uint32_t count = read_u32(cursor);
  const std::size_t token_count = reading.opcodes.size();
  reading.anchor_total += count;
  if (count > token_count || reading.anchor_total > TOTAL_ANCHOR_LIMIT) {
    throw PatchError("Save compatibility anchor budget exceeded");
  }
  if (reading.keep_all) script.anchors.reserve(entries_possible(cursor, count, ANCHOR_MIN_SIZE));
  uint32_t previous = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t token_index = read_u32(cursor);
    if (token_index >= token_count || (i > 0 && token_index <= previous)) {
      throw PatchError("Invalid save compatibility anchor order");
    }
    if (!can_carry_anchor(reading.opcodes[token_index])) {
      throw PatchError("Invalid save compatibility anchor opcode");
    }
    previous = token_index;
    // Bringing in the second text may move the first out of the window: it is looked at first.
    const std::string_view first = read_string(cursor, TEXT_LIMIT);
    const bool first_has_nul = first.find('\0') != std::string_view::npos;
    std::string first_text = reading.keep_all ? std::string(first) : std::string();
    const std::string_view second = read_string(cursor, TEXT_LIMIT);
    if (first_has_nul || second.find('\0') != std::string_view::npos) {
      throw PatchError("Save compatibility anchor contains NUL");
    }
    if (reading.keep_all) script.anchors.push_back(SaveCompatAnchor{token_index, std::move(first_text), std::string(second)});
  }
}

void read_blocks(Reading& reading, SaveCompatScript& script) {
  Cursor& cursor = reading.cursor;
  const uint32_t count = read_u32(cursor);
  if (count > SCRIPT_BLOCK_LIMIT) {
    throw PatchError("Save compatibility block budget exceeded");
  }
  const std::size_t token_count = reading.opcodes.size();
  if (reading.keep_all) script.blocks.reserve(entries_possible(cursor, count, BLOCK_SIZE));
  read_run(cursor, count, BLOCK_SIZE, [&](const unsigned char* p) {
    const SaveCompatBlock block{load_u32(p), load_u32(p + 4), load_u32(p + 8)};
    if (block.token_index >= token_count || (block.flag_word != 0 && block.flag_word != 0x80000000u) ||
        block.value > 65535) {
      throw PatchError("Invalid save compatibility block");
    }
    if (reading.keep_all) script.blocks.push_back(block);
  });
}

SaveCompatScript read_script(Reading& reading) {
  Cursor& cursor = reading.cursor;
  SaveCompatScript script{};
  read_name(cursor, script);
  read_bounds(cursor, script);
  script.digest1 = read_digest(cursor, reading.keep_all);
  script.digest2 = read_digest(cursor, true);
  script.digest3 = read_digest(cursor, reading.keep_all);
  script.digest4 = read_digest(cursor, reading.keep_all);
  read_tokens(reading, script);
  read_anchors(reading, script);
  read_blocks(reading, script);
  return script;
}

// The whole table of `size` bytes, front to back; `insert` takes each record and answers false for
// a name that the table already holds.
template <typename Insert>
void read_table(Reading& reading, uint64_t size, Insert insert) {
  if (size > SAVE_TABLE_LIMIT) {
    throw PatchError("Save compatibility table exceeds budget");
  }
  Cursor& cursor = reading.cursor;
  if (read_bytes(cursor, TABLE_MAGIC.size()) != TABLE_MAGIC || read_u32(cursor) != SAVE_TABLE_SCRIPT_COUNT) {
    throw PatchError("Wrong save compatibility table identity");
  }
  for (uint32_t i = 0; i < SAVE_TABLE_SCRIPT_COUNT; ++i) {
    if (!insert(read_script(reading))) {
      throw PatchError("Duplicate save compatibility script");
    }
  }
  if (cursor.remaining() != 0) {
    throw PatchError("Trailing save compatibility data");
  }
}

// A table of `size` bytes that `next` brings in piece by piece, through one window.
SaveCompatDigests stream_digests(uint64_t size, const FilePieceSource& next) {
  unsigned char window[WINDOW_SIZE];
  Reading reading{{window, window, size, &next, window, sizeof window}, false, 0, 0, {}};
  SaveCompatDigests digests;
  read_table(reading, size, [&](SaveCompatScript&& script) {
    return digests.try_emplace(std::move(script.name), std::move(script.digest2)).second;
  });
  return digests;
}

}  // namespace

SaveCompatTable parse_save_compat_table(const std::string& bytes) {
  const auto* begin = reinterpret_cast<const unsigned char*>(bytes.data());
  Reading reading{{begin, begin + bytes.size(), 0, nullptr, nullptr, 0}, true, 0, 0, {}};
  SaveCompatTable table;
  read_table(reading, bytes.size(), [&](SaveCompatScript&& script) {
    std::string name = script.name;
    return table.try_emplace(std::move(name), std::move(script)).second;
  });
  return table;
}

SaveCompatDigests parse_save_compat_digests(const std::string& bytes) {
  uint64_t offset = 0;
  return stream_digests(bytes.size(), [&](char* buffer, uint64_t length) {
    std::memcpy(buffer, bytes.data() + offset, static_cast<std::size_t>(length));
    offset += length;
  });
}

SaveCompatDigests read_save_compat_digests(const std::u16string& path) {
  SaveCompatDigests digests;
  read_file_pulled(path, SAVE_TABLE_LIMIT,
                   [&](uint64_t size, const FilePieceSource& next) { digests = stream_digests(size, next); });
  return digests;
}
