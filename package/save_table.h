// The save compatibility table, _vanro/save-offsets.bin ("ZDHSV001").
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct SaveCompatToken {
  uint32_t first_begin, first_end, second_begin, second_end, opcode;
};
struct SaveCompatAnchor {
  uint32_t token_index;
  std::string first_text, second_text;
};
struct SaveCompatBlock {
  uint32_t token_index, flag_word, value;
};
struct SaveCompatScript {
  std::string name;
  std::string digest1, digest2, digest3, digest4;  // 64 lower-case hex characters each
  uint32_t bound1, bound2, bound3, bound4;
  std::vector<SaveCompatToken> tokens;
  std::vector<SaveCompatAnchor> anchors;
  std::vector<SaveCompatBlock> blocks;
};
using SaveCompatTable = std::map<std::string, SaveCompatScript>;

inline constexpr uint64_t SAVE_TABLE_LIMIT = 67108864;
inline constexpr uint32_t SAVE_TABLE_SCRIPT_COUNT = 511;

SaveCompatTable parse_save_compat_table(const std::string& bytes);

// What the compatibility check needs of a table: each script's name and digest2 (the digest of its
// translated script, as hex), by name in byte order.
using SaveCompatDigests = std::map<std::string, std::string>;
// The checks of parse_save_compat_table, in the same order and with the same messages, keeping
// only the digests. The table goes through a window of 64 KiB, whether it comes from memory or from
// its file, which is read front to back with the table's size limit (failing as read_whole_file fails).
SaveCompatDigests parse_save_compat_digests(const std::string& bytes);
SaveCompatDigests read_save_compat_digests(const std::u16string& path);
