#include "package/save_table.h"

#include <gtest/gtest.h>

#include <functional>

#include "common/patch_error.h"
#include "tests/support/save_table_writer.h"
#include "tests/support/message.h"

namespace {

const std::string TRUNCATED = "Truncated save compatibility table";
const std::string IDENTITY = "Wrong save compatibility table identity";
const std::string OVERSIZED = "Oversized save compatibility string";
const std::string NAME = "Invalid save compatibility script name";
const std::string BOUNDS = "Invalid save compatibility script bounds";
const std::string TOKEN_BUDGET = "Save compatibility token budget exceeded";
const std::string BOUNDARY = "Invalid save compatibility token boundary";
const std::string INCOMPLETE = "Incomplete save compatibility script";
const std::string ANCHOR_BUDGET = "Save compatibility anchor budget exceeded";
const std::string ANCHOR_ORDER = "Invalid save compatibility anchor order";
const std::string ANCHOR_OPCODE = "Invalid save compatibility anchor opcode";
const std::string ANCHOR_NUL = "Save compatibility anchor contains NUL";
const std::string BLOCK_BUDGET = "Save compatibility block budget exceeded";
const std::string BLOCK = "Invalid save compatibility block";
const std::string DUPLICATE = "Duplicate save compatibility script";
const std::string TRAILING = "Trailing save compatibility data";

using Scripts = std::vector<SaveCompatScript>;

// A valid table changed in its records before it is written.
struct ScriptCase {
  const char* name;
  std::function<void(Scripts&)> change;
  std::string expected;  // empty: the table parses
};

// The full parse's answer, which the lean one, streamed through its window, must give too, with
// the same digests.
std::string message_of_both(const std::string& bytes, SaveCompatTable* table = nullptr) {
  SaveCompatTable full;
  const std::string message = message_of([&] { full = parse_save_compat_table(bytes); });
  SaveCompatDigests digests;
  EXPECT_EQ(message_of([&] { digests = parse_save_compat_digests(bytes); }), message);
  EXPECT_EQ(digests.size(), full.size());
  for (const auto& [name, script] : full) EXPECT_EQ(digests[name], script.digest2) << name;
  if (table) *table = std::move(full);
  return message;
}

SaveCompatAnchor anchor(uint32_t token_index, std::string first = "a", std::string second = "b") {
  return {token_index, std::move(first), std::move(second)};
}

TEST(SaveCompatTable, RecordRulesAtTheirBoundaries) {
  const std::vector<ScriptCase> cases = {
      {"minimal", [](Scripts&) {}, ""},
      {"name of 64 bytes", [](Scripts& s) { s[0].name = std::string(64, 'a'); }, ""},
      {"name of 65 bytes", [](Scripts& s) { s[0].name = std::string(65, 'a'); }, OVERSIZED},
      {"empty name", [](Scripts& s) { s[0].name = ""; }, NAME},
      {"every allowed name byte", [](Scripts& s) { s[0].name = "abcdefghijklmnopqrstuvwxyz_0123456789"; }, ""},
      {"upper-case letter", [](Scripts& s) { s[0].name = "s00A"; }, NAME},
      {"hyphen", [](Scripts& s) { s[0].name = "s-0"; }, NAME},
      {"dot", [](Scripts& s) { s[0].name = "s0.mes"; }, NAME},
      {"space", [](Scripts& s) { s[0].name = "s 0"; }, NAME},
      {"NUL", [](Scripts& s) { s[0].name = std::string("s\0", 2); }, NAME},
      {"byte 128", [](Scripts& s) { s[0].name = "s\x80"; }, NAME},
      {"byte 255", [](Scripts& s) { s[0].name = "\xff"; }, NAME},
      {"bad name wins over bad bounds", [](Scripts& s) { s[0].name = "S"; s[0].bound3 = 0; }, NAME},
      {"bound1 at its limit", [](Scripts& s) { s[0].bound1 = 1048576; s[0].bound2 = 1048576; }, ""},
      {"bound1 over", [](Scripts& s) { s[0].bound1 = 1048577; }, BOUNDS},
      {"bound2 over", [](Scripts& s) { s[0].bound2 = 1048577; }, BOUNDS},
      {"bound2 at UINT32_MAX", [](Scripts& s) { s[0].bound2 = 0xFFFFFFFF; }, BOUNDS},
      {"bound3 of 2", [](Scripts& s) { s[0].bound3 = 2; }, BOUNDS},
      {"bound4 of 2", [](Scripts& s) { s[0].bound4 = 2; }, BOUNDS},
      {"bound3 of 0", [](Scripts& s) { s[0].bound3 = 0; }, BOUNDS},
      {"bound3 and bound4 of 104000", [](Scripts& s) { s[0].tokens = {{3, 104000, 3, 104000, 0}}; s[0].bound3 = s[0].bound4 = 104000; }, ""},
      {"bound3 of 104001", [](Scripts& s) { s[0].tokens = {{3, 104001, 3, 104000, 0}}; s[0].bound3 = 104001; s[0].bound4 = 104000; }, BOUNDS},
      {"bound4 of 104001", [](Scripts& s) { s[0].tokens = {{3, 104000, 3, 104001, 0}}; s[0].bound3 = 104000; s[0].bound4 = 104001; }, BOUNDS},
      {"no tokens, bound3 of 4", [](Scripts& s) { s[0].bound3 = 4; }, INCOMPLETE},
      {"no tokens, bound4 of 4", [](Scripts& s) { s[0].bound4 = 4; }, INCOMPLETE},
      {"tokens of unequal steps", [](Scripts& s) { s[0].tokens = {{3, 10, 3, 4, 7}, {10, 11, 4, 90, 255}}; s[0].bound3 = 11; s[0].bound4 = 90; }, ""},
      {"first token starts at 0", [](Scripts& s) { s[0].tokens = {{0, 4, 3, 4, 0}}; s[0].bound3 = s[0].bound4 = 4; }, BOUNDARY},
      {"first token's second range starts at 0", [](Scripts& s) { s[0].tokens = {{3, 4, 0, 4, 0}}; s[0].bound3 = s[0].bound4 = 4; }, BOUNDARY},
      {"empty first range", [](Scripts& s) { give_tokens(s[0], 3); s[0].tokens[1].first_end = s[0].tokens[1].first_begin; }, BOUNDARY},
      {"empty second range", [](Scripts& s) { give_tokens(s[0], 3); s[0].tokens[1].second_end = s[0].tokens[1].second_begin; }, BOUNDARY},
      {"gap in the first chain", [](Scripts& s) { give_tokens(s[0], 3); s[0].tokens[2].first_begin += 1; s[0].tokens[2].first_end += 1; s[0].bound3 += 1; }, BOUNDARY},
      {"overlap in the second chain", [](Scripts& s) { give_tokens(s[0], 3); s[0].tokens[2].second_begin -= 1; }, BOUNDARY},
      {"first end past bound3", [](Scripts& s) { give_tokens(s[0], 3); s[0].bound3 -= 1; }, BOUNDARY},
      {"second end past bound4", [](Scripts& s) { give_tokens(s[0], 3); s[0].bound4 -= 1; }, BOUNDARY},
      {"opcode 255", [](Scripts& s) { give_tokens(s[0], 1, 255); }, ""},
      {"opcode 256", [](Scripts& s) { give_tokens(s[0], 3, 256); }, BOUNDARY},
      {"ends at bound3, short of bound4", [](Scripts& s) { give_tokens(s[0], 3); s[0].bound4 += 1; }, INCOMPLETE},
      {"short of bound3", [](Scripts& s) { give_tokens(s[0], 3); s[0].bound3 += 1; }, INCOMPLETE},
      {"100,000 tokens", [](Scripts& s) { give_tokens(s[0], 100000); }, ""},
      {"100,001 tokens", [](Scripts& s) { give_tokens(s[0], 100001); }, TOKEN_BUDGET},
      {"anchors on opcodes 106, 107, 109",
       [](Scripts& s) {
         s[0].tokens = {{3, 4, 3, 4, 106}, {4, 5, 4, 5, 107}, {5, 6, 5, 6, 108}, {6, 7, 6, 7, 109}};
         s[0].bound3 = s[0].bound4 = 7;
         s[0].anchors = {anchor(0), anchor(1), anchor(3)};
       },
       ""},
      {"anchor count one above the tokens", [](Scripts& s) { give_tokens(s[0], 2); s[0].anchors = {anchor(0), anchor(1), anchor(1)}; }, ANCHOR_BUDGET},
      {"anchor without tokens", [](Scripts& s) { s[0].anchors = {anchor(0)}; }, ANCHOR_BUDGET},
      {"anchor on every token", [](Scripts& s) { give_tokens(s[0], 3); s[0].anchors = {anchor(0), anchor(1), anchor(2)}; }, ""},
      {"two anchors on one token", [](Scripts& s) { give_tokens(s[0], 3); s[0].anchors = {anchor(1), anchor(1)}; }, ANCHOR_ORDER},
      {"anchors going backwards", [](Scripts& s) { give_tokens(s[0], 3); s[0].anchors = {anchor(2), anchor(1)}; }, ANCHOR_ORDER},
      {"anchor index equal to the token count", [](Scripts& s) { give_tokens(s[0], 3); s[0].anchors = {anchor(3)}; }, ANCHOR_ORDER},
      {"anchor on opcode 108", [](Scripts& s) { give_tokens(s[0], 3, 108); s[0].anchors = {anchor(0)}; }, ANCHOR_OPCODE},
      {"anchor on opcode 255", [](Scripts& s) { give_tokens(s[0], 3, 255); s[0].anchors = {anchor(0)}; }, ANCHOR_OPCODE},
      {"anchor on opcode 0", [](Scripts& s) { give_tokens(s[0], 3, 0); s[0].anchors = {anchor(0)}; }, ANCHOR_OPCODE},
      {"bad order wins over bad opcode", [](Scripts& s) { give_tokens(s[0], 3, 108); s[0].anchors = {anchor(3)}; }, ANCHOR_ORDER},
      {"empty texts", [](Scripts& s) { give_tokens(s[0], 1); s[0].anchors = {anchor(0, "", "")}; }, ""},
      {"texts of 8,192 bytes", [](Scripts& s) { give_tokens(s[0], 1); s[0].anchors = {anchor(0, std::string(8192, 'x'), std::string(8192, 'y'))}; }, ""},
      {"first text of 8,193 bytes", [](Scripts& s) { give_tokens(s[0], 1); s[0].anchors = {anchor(0, std::string(8193, 'x'))}; }, OVERSIZED},
      {"second text of 8,193 bytes", [](Scripts& s) { give_tokens(s[0], 1); s[0].anchors = {anchor(0, "", std::string(8193, 'x'))}; }, OVERSIZED},
      {"NUL in the first text", [](Scripts& s) { give_tokens(s[0], 1); s[0].anchors = {anchor(0, std::string("a\0", 2))}; }, ANCHOR_NUL},
      // The first text ends where the window does, and bringing in the second moves it out.
      {"NUL ending a first text at the window's edge", [](Scripts& s) { give_tokens(s[0], 3260); s[0].anchors = {anchor(0, std::string(149, 'a') + '\0', std::string(8192, 'b'))}; }, ANCHOR_NUL},
      {"texts across the window's edge", [](Scripts& s) { give_tokens(s[0], 3260); s[0].anchors = {anchor(0, std::string(150, 'a'), std::string(8192, 'b'))}; }, ""},
      {"NUL in the second text", [](Scripts& s) { give_tokens(s[0], 1); s[0].anchors = {anchor(0, "a", std::string("\0", 1))}; }, ANCHOR_NUL},
      {"oversized second text wins over NUL in the first", [](Scripts& s) { give_tokens(s[0], 1); s[0].anchors = {anchor(0, std::string("\0", 1), std::string(8193, 'x'))}; }, OVERSIZED},
      {"block in a record without tokens", [](Scripts& s) { s[0].blocks = {{0, 0, 0}}; }, BLOCK},
      {"blocks at their limits", [](Scripts& s) { give_tokens(s[0], 2); s[0].blocks = {{1, 0x80000000, 65535}, {0, 0, 0}, {1, 0, 1}}; }, ""},
      {"block token index equal to the token count", [](Scripts& s) { give_tokens(s[0], 2); s[0].blocks = {{2, 0, 0}}; }, BLOCK},
      {"flag word 0x80000001", [](Scripts& s) { give_tokens(s[0], 2); s[0].blocks = {{0, 0x80000001, 0}}; }, BLOCK},
      {"flag word 1", [](Scripts& s) { give_tokens(s[0], 2); s[0].blocks = {{0, 1, 0}}; }, BLOCK},
      {"value 65,536", [](Scripts& s) { give_tokens(s[0], 2); s[0].blocks = {{0, 0, 65536}}; }, BLOCK},
      {"65,536 blocks", [](Scripts& s) { give_tokens(s[0], 1); s[0].blocks.assign(65536, {0, 0, 7}); }, ""},
      {"65,537 blocks", [](Scripts& s) { give_tokens(s[0], 1); s[0].blocks.assign(65537, {0, 0, 7}); }, BLOCK_BUDGET},
      {"duplicate name", [](Scripts& s) { s[5].name = s[4].name; }, DUPLICATE},
      {"duplicate of a later name", [](Scripts& s) { s[0].name = s[510].name; }, DUPLICATE},
      {"bad block wins over a duplicate name", [](Scripts& s) { s[5].name = s[4].name; s[5].blocks = {{0, 0, 0}}; }, BLOCK},
      {"records in any order", [](Scripts& s) { std::swap(s[0], s[510]); }, ""},
  };
  for (const ScriptCase& c : cases) {
    SCOPED_TRACE(c.name);
    Scripts scripts = minimal_save_scripts();
    c.change(scripts);
    const std::string bytes = save_table_bytes(scripts);
    SaveCompatTable table;
    EXPECT_EQ(message_of_both(bytes, &table), c.expected);
    if (c.expected.empty()) {
      ASSERT_EQ(table.size(), SAVE_TABLE_SCRIPT_COUNT);
      for (const SaveCompatScript& expected : scripts) {
        const SaveCompatScript& got = table.at(expected.name);
        EXPECT_EQ(got.name, expected.name);
        EXPECT_EQ(got.tokens.size(), expected.tokens.size());
        EXPECT_EQ(got.anchors.size(), expected.anchors.size());
        EXPECT_EQ(got.blocks.size(), expected.blocks.size());
      }
    }
  }
}

// Byte-level faults that no record value can express: cut files, counts without their entries,
// wrong magic or count.
struct ByteCase {
  const char* name;
  std::function<std::string()> bytes;
  std::string expected;
};

std::string valid_table() { return save_table_bytes(minimal_save_scripts()); }

// The header and the first record up to and including its token count.
std::string first_record_to_token_count(uint32_t token_count, uint32_t range_end = 4) {
  std::string out = save_table_header(511);
  append_u32(out, 4);
  out += "s000";
  for (uint32_t bound : {0u, 0u, range_end, range_end}) append_u32(out, bound);
  out += std::string(128, '\x11');
  append_u32(out, token_count);
  return out;
}

void append_token(std::string& out, SaveCompatToken t) {
  for (uint32_t v : {t.first_begin, t.first_end, t.second_begin, t.second_end, t.opcode}) append_u32(out, v);
}

TEST(SaveCompatTable, ByteLevelFaults) {
  const std::vector<ByteCase> cases = {
      {"empty", [] { return std::string(); }, TRUNCATED},
      {"7 bytes", [] { return std::string("ZDHSV00"); }, TRUNCATED},
      {"magic only", [] { return std::string("ZDHSV001"); }, TRUNCATED},
      {"magic and 3 count bytes", [] { return save_table_header(511).substr(0, 11); }, TRUNCATED},
      {"wrong magic alone", [] { return std::string("ZDHSV002"); }, IDENTITY},
      {"lower-case magic", [] { std::string b = valid_table(); b.replace(0, 8, "zdhsv001"); return b; }, IDENTITY},
      {"count 510", [] { std::string b = valid_table(); b[8] = static_cast<char>(510 & 0xFF); return b; }, IDENTITY},
      {"count 512", [] { std::string b = valid_table(); b[8] = static_cast<char>(512 & 0xFF); b[9] = 2; return b; }, IDENTITY},
      {"count 0", [] { return save_table_header(0); }, IDENTITY},
      {"header alone", [] { return save_table_header(511); }, TRUNCATED},
      {"name length 65 and nothing after it", [] { std::string b = save_table_header(511); append_u32(b, 65); return b; }, OVERSIZED},
      {"name length 0xFFFFFFFF", [] { std::string b = save_table_header(511); append_u32(b, 0xFFFFFFFF); return b; }, OVERSIZED},
      {"name cut short", [] { std::string b = save_table_header(511); append_u32(b, 4); return b + "s0"; }, TRUNCATED},
      {"digests cut short", [] { return first_record_to_token_count(0).substr(0, 12 + 8 + 16 + 100); }, TRUNCATED},
      {"token count cut short", [] { std::string b = first_record_to_token_count(1); return b.substr(0, b.size() - 1); }, TRUNCATED},
      {"hostile token count", [] { return first_record_to_token_count(4000000000u); }, TOKEN_BUDGET},
      {"token count 100,001 with no tokens", [] { return first_record_to_token_count(100001); }, TOKEN_BUDGET},
      {"token count 100,000 with no tokens", [] { return first_record_to_token_count(100000); }, TRUNCATED},
      {"token cut short", [] { std::string b = first_record_to_token_count(1); append_token(b, {3, 4, 3, 4, 1}); return b.substr(0, b.size() - 1); }, TRUNCATED},
      {"second of five tokens broken, then cut",
       [] {
         std::string b = first_record_to_token_count(5, 8);
         append_token(b, {3, 4, 3, 4, 1});
         append_token(b, {9, 10, 4, 5, 1});
         return b + "\x05";
       },
       BOUNDARY},
      {"two good tokens of five, then cut",
       [] {
         std::string b = first_record_to_token_count(5, 8);
         append_token(b, {3, 4, 3, 4, 1});
         append_token(b, {4, 5, 4, 5, 1});
         return b;
       },
       TRUNCATED},
      {"anchor count missing",
       [] {
         std::string b = first_record_to_token_count(1);
         append_token(b, {3, 4, 3, 4, 106});
         return b;
       },
       TRUNCATED},
      {"hostile anchor count",
       [] {
         std::string b = first_record_to_token_count(1);
         append_token(b, {3, 4, 3, 4, 106});
         append_u32(b, 0xFFFFFFFF);
         return b;
       },
       ANCHOR_BUDGET},
      {"anchor text length 0xFFFFFFFF",
       [] {
         std::string b = first_record_to_token_count(1);
         append_token(b, {3, 4, 3, 4, 106});
         append_u32(b, 1);
         append_u32(b, 0);
         append_u32(b, 0xFFFFFFFF);
         return b;
       },
       OVERSIZED},
      {"anchor text cut short",
       [] {
         std::string b = first_record_to_token_count(1);
         append_token(b, {3, 4, 3, 4, 106});
         append_u32(b, 1);
         append_u32(b, 0);
         append_u32(b, 3);
         return b + "ab";
       },
       TRUNCATED},
      {"hostile block count",
       [] {
         std::string b = first_record_to_token_count(1);
         append_token(b, {3, 4, 3, 4, 106});
         append_u32(b, 0);
         append_u32(b, 0xFFFFFFFF);
         return b;
       },
       BLOCK_BUDGET},
      {"65,536 blocks announced, none there",
       [] {
         std::string b = first_record_to_token_count(1);
         append_token(b, {3, 4, 3, 4, 106});
         append_u32(b, 0);
         append_u32(b, 65536);
         return b;
       },
       TRUNCATED},
      {"bad block before the cut",
       [] {
         std::string b = first_record_to_token_count(1);
         append_token(b, {3, 4, 3, 4, 106});
         append_u32(b, 0);
         append_u32(b, 3);
         for (uint32_t v : {0u, 0u, 0u, 0u, 2u, 0u}) append_u32(b, v);
         return b;
       },
       BLOCK},
      {"last byte missing", [] { std::string b = valid_table(); b.pop_back(); return b; }, TRUNCATED},
      {"one extra byte", [] { return valid_table() + '\0'; }, TRAILING},
      {"a 512th record", [] { std::string b = valid_table(); append_save_script(b, minimal_save_script("extra")); return b; }, TRAILING},
      {"64 MiB exactly", [] { std::string b = valid_table(); b.resize(SAVE_TABLE_LIMIT); return b; }, TRAILING},
      {"one byte over 64 MiB", [] { std::string b = valid_table(); b.resize(SAVE_TABLE_LIMIT + 1); return b; }, "Save compatibility table exceeds budget"},
  };
  for (const ByteCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string bytes = c.bytes();
    EXPECT_EQ(message_of_both(bytes), c.expected);
  }
}

TEST(SaveCompatTable, KeepsEveryFieldInByteOrderOfName) {
  Scripts scripts = minimal_save_scripts();
  SaveCompatScript& rich = scripts[7];
  rich.bound1 = 1048576;
  rich.bound2 = 17;
  rich.tokens = {{3, 10, 3, 4, 106}, {10, 11, 4, 90, 255}, {11, 12, 90, 91, 109}};
  rich.bound3 = 12;
  rich.bound4 = 91;
  rich.anchors = {anchor(0, "\xe4\xbd\xa0\xe5\xa5\xbd", ""), anchor(2, "x", "y\tz")};
  rich.blocks = {{2, 0x80000000, 65535}, {0, 0, 0}};
  std::swap(scripts[0], scripts[300]);
  const SaveCompatTable table = parse_save_compat_table(save_table_bytes(scripts));

  std::string previous;
  for (const auto& [name, script] : table) {
    EXPECT_LT(previous, name);
    EXPECT_EQ(name, script.name);
    previous = name;
  }
  const SaveCompatScript& got = table.at(rich.name);
  EXPECT_EQ(got.digest1, rich.digest1);
  EXPECT_EQ(got.digest2, rich.digest2);
  EXPECT_EQ(got.digest3, rich.digest3);
  EXPECT_EQ(got.digest4, rich.digest4);
  EXPECT_EQ(got.bound1, 1048576u);
  EXPECT_EQ(got.bound2, 17u);
  EXPECT_EQ(got.bound3, 12u);
  EXPECT_EQ(got.bound4, 91u);
  ASSERT_EQ(got.tokens.size(), 3u);
  EXPECT_EQ(got.tokens[1].first_begin, 10u);
  EXPECT_EQ(got.tokens[1].first_end, 11u);
  EXPECT_EQ(got.tokens[1].second_begin, 4u);
  EXPECT_EQ(got.tokens[1].second_end, 90u);
  EXPECT_EQ(got.tokens[1].opcode, 255u);
  ASSERT_EQ(got.anchors.size(), 2u);
  EXPECT_EQ(got.anchors[0].token_index, 0u);
  EXPECT_EQ(got.anchors[0].first_text, "\xe4\xbd\xa0\xe5\xa5\xbd");
  EXPECT_EQ(got.anchors[0].second_text, "");
  EXPECT_EQ(got.anchors[1].token_index, 2u);
  EXPECT_EQ(got.anchors[1].second_text, "y\tz");
  ASSERT_EQ(got.blocks.size(), 2u);
  EXPECT_EQ(got.blocks[0].token_index, 2u);
  EXPECT_EQ(got.blocks[0].flag_word, 0x80000000u);
  EXPECT_EQ(got.blocks[0].value, 65535u);
}

TEST(SaveCompatTable, DigestsAreLowerCaseHexOfTheStoredBytes) {
  Scripts scripts = minimal_save_scripts();
  scripts[0].digest1 = std::string(62, '0') + "ab";
  scripts[0].digest2 = std::string(64, 'f');
  const SaveCompatTable table = parse_save_compat_table(save_table_bytes(scripts));
  EXPECT_EQ(table.at("s000").digest1, std::string(62, '0') + "ab");
  EXPECT_EQ(table.at("s000").digest2, std::string(64, 'f'));
}

TEST(SaveCompatTable, TotalTokenBudgetAcrossScripts) {
  // 30 scripts of 100,000 tokens: exactly the total.
  Scripts scripts = minimal_save_scripts();
  for (std::size_t i = 0; i < 30; ++i) give_tokens(scripts[i], 100000);
  std::string bytes = save_table_bytes(scripts);
  EXPECT_EQ(message_of_both(bytes), "");

  // The 31st script announces one token more; the count is refused before its tokens are read.
  const std::size_t record = bytes.find(std::string("\x04\0\0\0s030", 8));
  ASSERT_NE(record, std::string::npos);
  bytes[record + 8 + 16 + 128] = 1;
  EXPECT_EQ(message_of_both(bytes), TOKEN_BUDGET);
}

TEST(SaveCompatTable, TotalAnchorBudgetAcrossScripts) {
  for (const uint32_t extra : {0u, 1u}) {
    SCOPED_TRACE(extra);
    Scripts scripts = minimal_save_scripts();
    for (std::size_t i = 0; i < 3; ++i) {
      const uint32_t count = i < 2 ? 100000 : extra;
      if (count == 0) continue;
      give_tokens(scripts[i], count);
      for (uint32_t k = 0; k < count; ++k) scripts[i].anchors.push_back({k, "", ""});
    }
    const std::string bytes = save_table_bytes(scripts);
    EXPECT_EQ(message_of_both(bytes), extra == 0 ? "" : ANCHOR_BUDGET);
  }
}

}  // namespace
