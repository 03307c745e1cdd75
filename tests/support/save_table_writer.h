// Save compatibility tables built in memory. The writer serialises whatever the records hold,
// valid or not, so that a test can break one field and watch the parser's answer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "package/save_table.h"

void append_u32(std::string& out, uint32_t value);
// The magic and the script count.
std::string save_table_header(uint32_t script_count, std::string_view magic = "ZDHSV001");
// One record as it stands: name, bounds, the four digests (hex text turned into raw bytes), then
// each of tokens, anchors and blocks preceded by its count.
void append_save_script(std::string& out, const SaveCompatScript& script);
// The header with scripts.size() as the count, then every record in the order given.
std::string save_table_bytes(const std::vector<SaveCompatScript>& scripts);

// 64 hex characters of a digest that differs for every seed.
std::string pattern_digest(uint32_t seed);
// A valid record without tokens: bounds 3, digests derived from the name.
SaveCompatScript minimal_save_script(const std::string& name);
// The 511 valid records "s000" to "s510", in byte order of name.
std::vector<SaveCompatScript> minimal_save_scripts();
// Replaces the record's tokens by `count` one-step tokens with the given opcode and moves bound3
// and bound4 to where they end. Anchors and blocks are left alone.
void give_tokens(SaveCompatScript& script, uint32_t count, uint32_t opcode = 106);
