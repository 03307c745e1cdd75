#include "package/manifest.h"

#include <gtest/gtest.h>

#include <functional>

#include "common/patch_error.h"
#include "tests/support/manifest_builder.h"
#include "tests/support/temp_dir.h"
#include "tests/support/message.h"

namespace {

const std::string DUPLICATE = "补丁清单包含重名文件。";
const std::string BAD_FIELD = "补丁清单路径或哈希无效。";
const std::string FIELD_COUNT = "补丁清单格式错误。";
const std::string REPLACES = "隔离版补丁不得替换原游戏文件；旧版请用原安装器卸载。";
const std::string TARGET = "清单包含不兼容的目标类型；已装旧版补丁请先使用原安装器卸载。";
const std::string GENERATED = "补丁生成程序的清单信息无效。";
const std::string COUNTS = "隔离版补丁清单条数或资源数量无效。";
const std::string MISSING = "补丁清单缺失。";
const std::string HEADER = "补丁清单格式不正确。";

// The record lines of a valid manifest, header first, as split_lines gives them.
std::vector<std::string> valid_lines(RecordMode mode) {
  std::vector<std::string> lines{"VANROPATCH04"};
  for (const ManifestRecord& record : valid_manifest_records(mode)) lines.push_back(manifest_line(record));
  return lines;
}

std::size_t index_of(const std::vector<std::string>& lines, std::string_view path) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].starts_with(std::string(path) + "\t")) return i;
  }
  throw std::logic_error("no such record");
}

const std::string LAUNCH_COPY = "_vanro/runtime/VANROGame.exe";
const std::string MES_0 = "_vanro/patch/AdvData/MES/m000.mes";
const std::string MES_1 = "_vanro/patch/AdvData/MES/m001.mes";
const std::string HOOK = "_vanro/hook.ini";

void set_line(std::vector<std::string>& lines, std::string_view path, const std::string& line) {
  lines[index_of(lines, path)] = line;
}

std::string record(const std::string& path, const std::string& replaced, const std::string& digest) {
  return path + "\t" + replaced + "\t" + digest;
}

struct RecordCase {
  const char* name;
  RecordMode mode;
  std::function<void(std::vector<std::string>&)> change;
  std::string expected;  // empty: the records parse
};

TEST(ManifestRecords, EveryRuleAtItsBoundaryInOrder) {
  const std::string digest = fake_digest(9999);
  const std::string upper_digest = [&] {
    std::string s = digest;
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s.find_first_of("ABCDEF") == std::string::npos ? "A" + s.substr(1) : s;
  }();
  const RecordMode M = RecordMode::manifest;
  const RecordMode S = RecordMode::install_state;
  const std::vector<RecordCase> cases = {
      {"valid manifest", M, [](auto&) {}, ""},
      {"valid install state", S, [](auto&) {}, ""},
      {"blank lines anywhere", M, [](auto& l) { l.insert(l.begin() + 1, ""); l.insert(l.begin() + 100, ""); l.push_back(""); }, ""},
      {"four fields", M, [&](auto& l) { l[1] += "\textra"; }, FIELD_COUNT},
      {"two fields", M, [&](auto& l) { l[1] = MES_0 + "\t" + digest; }, FIELD_COUNT},
      {"one field", M, [&](auto& l) { l[1] = MES_0; }, FIELD_COUNT},
      {"four fields with an unsafe path", M, [&](auto& l) { l[1] = "a/../b\t-\t" + digest + "\t"; }, FIELD_COUNT},
      {"empty third field", M, [&](auto& l) { l[1] = record(MES_0, "-", ""); }, BAD_FIELD},
      {"path with ..", M, [&](auto& l) { l[1] = record("_vanro/patch/AdvData/MES/../x.mes", "-", digest); }, BAD_FIELD},
      {"path with backslash", M, [&](auto& l) { l[1] = record("_vanro\\patch\\AdvData\\MES\\x.mes", "-", digest); }, BAD_FIELD},
      {"absolute path", M, [&](auto& l) { l[1] = record("/_vanro/hook.ini", "-", digest); }, BAD_FIELD},
      {"prefix alone, ends with /", M, [&](auto& l) { l[1] = record("_vanro/patch/AdvData/MES/", "-", digest); }, BAD_FIELD},
      {"bad second field wins over a duplicate", M, [&](auto& l) { l[2] = record(MES_0, "x", digest); }, BAD_FIELD},
      {"second field x", M, [&](auto& l) { set_line(l, HOOK, record(HOOK, "x", digest)); }, BAD_FIELD},
      {"second field empty", M, [&](auto& l) { set_line(l, HOOK, record(HOOK, "", digest)); }, BAD_FIELD},
      {"second field upper-case digest", M, [&](auto& l) { set_line(l, HOOK, record(HOOK, upper_digest, digest)); }, BAD_FIELD},
      {"second field a digest", M, [&](auto& l) { set_line(l, HOOK, record(HOOK, digest, digest)); }, REPLACES},
      {"third field upper-case digest", M, [&](auto& l) { l[1] = record(MES_0, "-", upper_digest); }, BAD_FIELD},
      {"third field 63 characters", M, [&](auto& l) { l[1] = record(MES_0, "-", digest.substr(1)); }, BAD_FIELD},
      {"third field 65 characters", M, [&](auto& l) { l[1] = record(MES_0, "-", digest + "0"); }, BAD_FIELD},
      {"generated in another record", M, [&](auto& l) { l[1] = record(MES_0, "-", "generated"); }, BAD_FIELD},
      {"generated for the launcher", M, [&](auto& l) { set_line(l, "VANROLauncher.exe", record("VANROLauncher.exe", "-", "generated")); }, BAD_FIELD},
      {"launch copy generated in install state mode", S, [&](auto& l) { set_line(l, LAUNCH_COPY, record(LAUNCH_COPY, "-", "generated")); }, BAD_FIELD},
      {"launch copy with a digest in manifest mode", M, [&](auto& l) { set_line(l, LAUNCH_COPY, record(LAUNCH_COPY, "-", digest)); }, GENERATED},
      {"launch copy Generated", M, [&](auto& l) { set_line(l, LAUNCH_COPY, record(LAUNCH_COPY, "-", "Generated")); }, BAD_FIELD},
      {"launch copy in other case is not the launch copy", M, [&](auto& l) { set_line(l, LAUNCH_COPY, record("_vanro/runtime/vanrogame.exe", "-", "generated")); }, BAD_FIELD},
      {"launch copy with a replaced digest", M, [&](auto& l) { set_line(l, LAUNCH_COPY, record(LAUNCH_COPY, digest, "generated")); }, REPLACES},
      {"same path twice", M, [&](auto& l) { l[2] = record(MES_0, "-", digest); }, DUPLICATE},
      {"ASCII case duplicate", M, [&](auto& l) { l[1] = record("_vanro/patch/AdvData/MES/a.mes", "-", digest); l[2] = record("_vanro/patch/AdvData/MES/A.MES", "-", digest); }, DUPLICATE},
      {"Latin-1 case duplicate", M, [&](auto& l) { l[1] = record("_vanro/patch/AdvData/MES/\xc3\xa4.mes", "-", digest); l[2] = record("_vanro/patch/AdvData/MES/\xc3\x84.mes", "-", digest); }, DUPLICATE},
      {"Greek case duplicate", M, [&](auto& l) { l[1] = record("_vanro/patch/AdvData/MES/\xce\xa3.mes", "-", digest); l[2] = record("_vanro/patch/AdvData/MES/\xcf\x83.mes", "-", digest); }, DUPLICATE},
      {"Cyrillic case duplicate", M, [&](auto& l) { l[1] = record("_vanro/patch/AdvData/MES/\xd0\x96.mes", "-", digest); l[2] = record("_vanro/patch/AdvData/MES/\xd0\xb6.mes", "-", digest); }, DUPLICATE},
      {"full-width case duplicate", M, [&](auto& l) { l[1] = record("_vanro/patch/AdvData/MES/\xef\xbc\xa1.mes", "-", digest); l[2] = record("_vanro/patch/AdvData/MES/\xef\xbd\x81.mes", "-", digest); }, DUPLICATE},
      {"Chinese names are distinct", M, [&](auto& l) { l[1] = record("_vanro/patch/AdvData/MES/\xe6\xb1\x89.mes", "-", digest); l[2] = record("_vanro/patch/AdvData/MES/\xe5\xad\x97.mes", "-", digest); }, ""},
      {"duplicate wins over a replaced digest", M, [&](auto& l) { l[2] = record(MES_0, digest, digest); }, DUPLICATE},
      {"duplicate of the launch copy", M, [&](auto& l) { l.push_back(record("_vanro/runtime/vanrogame.EXE", "-", digest)); }, DUPLICATE},
      {"replaced digest wins over a foreign target", M, [&](auto& l) { l[1] = record("AdvData/MES/x.mes", digest, digest); }, REPLACES},
      {"the game's own script", M, [&](auto& l) { l[1] = record("AdvData/MES/x.mes", "-", digest); }, TARGET},
      {"sound under the patch folder", M, [&](auto& l) { l[1] = record("_vanro/patch/AdvData/SE/x.ogg", "-", digest); }, TARGET},
      {"prefix in other case", M, [&](auto& l) { l[1] = record("_vanro/patch/advdata/MES/x.mes", "-", digest); }, TARGET},
      {"fixed file in other case", M, [&](auto& l) { set_line(l, HOOK, record("_vanro/Hook.ini", "-", digest)); }, TARGET},
      {"the game's executable", M, [&](auto& l) { l[1] = record("ZDH.EXE", "-", digest); }, TARGET},
      {"the runtime in the wrong folder", M, [&](auto& l) { l[1] = record("winmm.dll", "-", digest); }, TARGET},
      {"foreign target wins over launch copy digest", M, [&](auto& l) { l[1] = record("x.bin", "-", digest); set_line(l, LAUNCH_COPY, record(LAUNCH_COPY, "-", digest)); }, TARGET},
      {"device name with an extension", S, [&](auto& l) { l[1] = record("_vanro/patch/AdvData/MES/NUL.mes", "-", digest); }, BAD_FIELD},
      {"device name as a folder", M, [&](auto& l) { l[1] = record("_vanro/patch/AdvData/GRP/SYSTEM/com0/a.png", "-", digest); }, BAD_FIELD},
      {"device name in lower case", S, [&](auto& l) { l[1] = record("_vanro/patch/AdvData/MES/conin$", "-", digest); }, BAD_FIELD},
      {"device name with blanks before its extension", M, [&](auto& l) { l[1] = record("_vanro/patch/AdvData/MES/Lpt9 .mes", "-", digest); }, BAD_FIELD},
      {"names that only begin like devices", M, [&](auto& l) { l[1] = record("_vanro/patch/AdvData/MES/console.mes", "-", digest); l[2] = record("_vanro/patch/AdvData/MES/com10.mes", "-", digest); }, ""},
      {"another file's staging name", S, [&](auto& l) { l[1] = record("_vanro/patch/AdvData/MES/m000.mes.VANRO-NEW", "-", digest); }, BAD_FIELD},
      {"the staging suffix inside a name", M, [&](auto& l) { l[1] = record("_vanro/patch/AdvData/MES/a.vanro-new.mes", "-", digest); }, ""},
      {"a file where a later record has a folder", M, [&](auto& l) { l[1] = record("_vanro/patch/AdvData/GRP/SYSTEM/a", "-", digest); l[2] = record("_vanro/patch/AdvData/GRP/SYSTEM/A/b.png", "-", digest); }, DUPLICATE},
      {"a folder where a later record has a file", S, [&](auto& l) { l[1] = record("_vanro/patch/AdvData/GRP/SYSTEM/a/b.png", "-", digest); l[2] = record("_vanro/patch/AdvData/GRP/SYSTEM/a", "-", digest); }, DUPLICATE},
      {"system graphics deeper down", M, [&](auto& l) { l[1] = record("_vanro/patch/AdvData/GRP/SYSTEM/a/b/c.png", "-", digest); }, ""},
      {"Chinese name with a leading space", M, [&](auto& l) { l[1] = record("_vanro/patch/AdvData/MES/ \xe6\xb1\x89.mes", "-", digest); }, ""},
      {"514 records", M, [&](auto& l) { l.erase(l.begin() + 1); }, COUNTS},
      {"516 records", M, [&](auto& l) { l.push_back(record("_vanro/patch/AdvData/MES/extra.mes", "-", digest)); }, COUNTS},
      {"515 records, 504 resources", M, [&](auto& l) { set_line(l, "_vanro/japanese.bin", record("_vanro/patch/AdvData/MES/extra.mes", "-", digest)); }, COUNTS},
      {"a thirteenth fixed record", M, [&](auto& l) { l.erase(l.begin() + 1); l.push_back(record("VANROLauncher.exe", "-", digest)); }, DUPLICATE},
      {"no records", M, [&](auto& l) { l.resize(1); }, COUNTS},
  };
  for (const RecordCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> lines = valid_lines(c.mode);
    c.change(lines);
    std::vector<ManifestRecord> records;
    EXPECT_EQ(message_of([&] { records = parse_manifest_records(lines, 1, c.mode); }), c.expected);
    if (c.expected.empty()) {
      EXPECT_EQ(records.size(), MANIFEST_RECORD_COUNT);
    }
  }
}

TEST(ManifestRecords, KeepsFieldsAsWrittenInFileOrder) {
  const std::vector<ManifestRecord> expected = valid_manifest_records(RecordMode::install_state);
  std::vector<std::string> lines = valid_lines(RecordMode::install_state);
  lines.insert(lines.begin(), "a line before the first that the caller skips");
  const std::vector<ManifestRecord> parsed = parse_manifest_records(lines, 2, RecordMode::install_state);
  ASSERT_EQ(parsed.size(), expected.size());
  for (std::size_t i = 0; i < parsed.size(); ++i) {
    EXPECT_EQ(parsed[i].path, expected[i].path);
    EXPECT_EQ(parsed[i].replaced_sha256, "-");
    EXPECT_EQ(parsed[i].sha256, expected[i].sha256);
  }
}

TEST(ManifestRecords, FirstFaultyRecordDecides) {
  // Each line alone breaks a different rule; the earlier line's message wins.
  std::vector<std::string> lines = valid_lines(RecordMode::manifest);
  lines[3] = record("AdvData/MES/x.mes", "-", fake_digest(1));
  lines[2] = record(MES_0, "-", fake_digest(2));
  EXPECT_EQ(message_of([&] { parse_manifest_records(lines, 1, RecordMode::manifest); }), DUPLICATE);
}

TEST(ManifestText, SplitLines) {
  struct Case {
    std::string bytes;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"", {}},
      {"a", {"a"}},
      {"a\n", {"a"}},
      {"\n", {""}},
      {"a\n\n", {"a", ""}},
      {"a\nb", {"a", "b"}},
      {"a\r\nb\r\n", {"a", "b"}},
      {"a\r\nb\r", {"a", "b"}},
      {"\r\n\r\nx", {"", "", "x"}},
      {"a\r\r\n", {"a\r"}},
      {"a\rb\n", {"a\rb"}},
      {"\xe6\xb1\x89\t-\n", {"\xe6\xb1\x89\t-"}},
      {std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    EXPECT_EQ(split_lines(c.bytes), c.lines);
  }
  for (const std::string bad : {"\x80", "a\n\xc0\x80", "\xe6\xb1", "\xed\xa0\x80", "\xf4\x90\x80\x80"}) {
    SCOPED_TRACE(testing::PrintToString(bad));
    EXPECT_EQ(message_of([&] { split_lines(bad); }), "Invalid UTF-8");
  }
}

TEST(ManifestText, SplitFieldsAndDigests) {
  EXPECT_EQ(split_fields(""), std::vector<std::string>{""});
  EXPECT_EQ(split_fields("a"), std::vector<std::string>{"a"});
  EXPECT_EQ(split_fields("a\tb\tc"), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(split_fields("\t\t"), (std::vector<std::string>{"", "", ""}));
  EXPECT_EQ(split_fields("a \t b\t"), (std::vector<std::string>{"a ", " b", ""}));

  EXPECT_TRUE(is_hex_digest(std::string(64, '0')));
  EXPECT_TRUE(is_hex_digest("0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef"));
  EXPECT_FALSE(is_hex_digest(std::string(63, 'a')));
  EXPECT_FALSE(is_hex_digest(std::string(65, 'a')));
  EXPECT_FALSE(is_hex_digest(""));
  EXPECT_FALSE(is_hex_digest(std::string(63, 'a') + "A"));
  EXPECT_FALSE(is_hex_digest(std::string(63, 'a') + "g"));
  EXPECT_FALSE(is_hex_digest(std::string(63, 'a') + " "));
  EXPECT_FALSE(is_hex_digest("generated"));
}

// read_patch_manifest on real files.
struct FileCase {
  const char* name;
  std::function<std::string()> content;
  std::string expected;
};

TEST(ReadPatchManifest, FileLevelRules) {
  const std::vector<ManifestRecord> records = valid_manifest_records();
  const std::string valid = manifest_text(records);
  const std::vector<FileCase> cases = {
      {"valid", [&] { return valid; }, ""},
      {"CR LF and blank lines", [&] { return manifest_text(records, "\r\n\r\n"); }, ""},
      {"no final line end", [&] { return valid.substr(0, valid.size() - 1); }, ""},
      {"empty file", [] { return std::string(); }, MISSING},
      {"header only", [] { return std::string("VANROPATCH04"); }, MISSING},
      {"header and LF only", [] { return std::string("VANROPATCH04\n"); }, MISSING},
      {"header and blank line", [] { return std::string("VANROPATCH04\n\n"); }, COUNTS},
      {"byte order mark", [&] { return "\xef\xbb\xbf" + valid; }, HEADER},
      {"header with a TAB", [&] { return manifest_text(records, "\n", "VANROPATCH04\t"); }, HEADER},
      {"older header", [&] { return manifest_text(records, "\n", "VANROPATCH03"); }, HEADER},
      {"lower-case header", [&] { return manifest_text(records, "\n", "vanropatch04"); }, HEADER},
      {"blank header line", [&] { return manifest_text(records, "\n", ""); }, HEADER},
      {"invalid UTF-8 in a record", [&] { return valid + "_vanro/patch/AdvData/MES/\xff.mes\t-\t" + fake_digest(1); }, "Invalid UTF-8"},
      {"exactly the size limit", [&] { return valid + std::string(MANIFEST_LIMIT - valid.size(), '\n'); }, ""},
      {"one byte over the limit", [&] { return valid + std::string(MANIFEST_LIMIT - valid.size() + 1, '\n'); }, "File size exceeds limit"},
  };
  for (const FileCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    write_test_file(dir.file(u"patch-manifest.tsv"), c.content());
    PatchManifest manifest;
    EXPECT_EQ(message_of([&] { manifest = read_patch_manifest(dir.path); }), c.expected);
    if (c.expected.empty()) {
      ASSERT_EQ(manifest.size(), MANIFEST_RECORD_COUNT);
      EXPECT_EQ(manifest.back().path, LAUNCH_COPY);
      EXPECT_EQ(manifest.back().sha256, "generated");
      EXPECT_EQ(manifest.front().path, records.front().path);
      EXPECT_EQ(manifest.front().sha256, records.front().sha256);
    }
  }
}

TEST(ReadPatchManifest, MissingFile) {
  TempDir dir;
  EXPECT_EQ(message_of([&] { read_patch_manifest(dir.path); }), "Cannot open input file");
}

}  // namespace
