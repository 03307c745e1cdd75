// The core file list: its parser on lists built in memory, and the signature and coverage checks
// on the signed fixture lists of tests/data/core_list (made by tools/make_core_list_fixtures.py),
// which serve the Windows build too, where the tests have no signer.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "common/patch_error.h"
#include "integrity/core_list.h"
#include "integrity/sha256.h"
#include "package/component_signature.h"
#include "tests/support/message.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using Records = std::vector<std::pair<std::string, std::string>>;

const char* const FORMAT = "补丁核心清单格式不正确。";
const char* const COUNT = "补丁核心清单条数不正确。";
const char* const RECORD = "补丁核心清单记录不正确。";
const char* const PATH_OR_DIGEST = "补丁核心清单路径或校验值不正确。";
const char* const INVALID_SIGNATURE = "补丁核心签名无效，请重新获取完整补丁。";
const char* const MISMATCH = "补丁清单与组件签名不匹配，请使用完整的原始补丁。";
const char* const NOT_COVERED = "补丁组件签名未覆盖完整的安装内容。";

// The PatchError message that `action` raises, or "" when it returns.
// `count` records in byte order: the fixed files, then resources.
Records make_records(std::size_t count) {
  Records records;
  for (std::size_t i = 0; records.size() < count; ++i) {
    char path[64];
    std::snprintf(path, sizeof path, "_vanro/patch/AdvData/MES/m%03zu.mes", i);
    records.emplace_back(path, sha256_hex(std::string(path)));
  }
  return records;
}

std::string list_text(const Records& records) {
  std::string text = "VANROAUTH01\n";
  for (const auto& [path, digest] : records) text += path + "\t" + digest + "\n";
  return text;
}

// The valid list with one record's path replaced, put back into byte order.
std::string with_path(std::size_t index, const std::string& path) {
  Records records = make_records(CORE_RECORD_COUNT);
  records[index].first = path;
  std::sort(records.begin(), records.end());
  return list_text(records);
}

std::string with_line(std::size_t index, const std::string& line) {
  const Records records = make_records(CORE_RECORD_COUNT);
  std::string text = "VANROAUTH01\n";
  for (std::size_t i = 0; i < records.size(); ++i)
    text += i == index ? line : records[i].first + "\t" + records[i].second + "\n";
  return text;
}

TEST(CoreFileList, ParserRules) {
  const std::string valid = list_text(make_records(CORE_RECORD_COUNT));
  const std::string digest = make_records(1)[0].second;
  std::string upper_digest = digest;
  std::transform(upper_digest.begin(), upper_digest.end(), upper_digest.begin(), ::toupper);
  std::string reversed = valid;  // the first two records in the wrong order
  {
    Records records = make_records(CORE_RECORD_COUNT);
    std::swap(records[0], records[1]);
    reversed = list_text(records);
  }
  const std::string filler = valid + std::string(CORE_LIST_LIMIT - valid.size() - 1, 'x') + "\n";

  const struct {
    const char* name;
    std::string bytes;
    const char* message;
  } cases[] = {
      {"valid", valid, ""},
      {"11 bytes", "VANROAUTH01", FORMAT},
      {"magic line alone", "VANROAUTH01\n", COUNT},
      {"other magic version", "VANROAUTH02" + valid.substr(11), FORMAT},
      {"lower-case magic", "vanroauth01" + valid.substr(11), FORMAT},
      {"no final LF", valid.substr(0, valid.size() - 1), FORMAT},
      {"CR LF line ends", "VANROAUTH01\r\n" + valid.substr(12), FORMAT},
      {"CR at the end of a digest", with_line(5, "a\t" + digest + "\r\n"), FORMAT},
      {"NUL in a path", with_line(5, std::string("_vanro/a\0b", 10) + "\t" + digest + "\n"), FORMAT},
      // The size rule: a list cannot be valid near the limit, so the larger file is refused as a
      // whole while the one at the limit is read up to its 512th line.
      {"exactly the limit", filler, COUNT},
      {"one byte over the limit", filler + "x", FORMAT},
      {"510 records", list_text(make_records(510)), COUNT},
      {"512 records", list_text(make_records(512)), COUNT},
      {"a 512th line that is not a record", valid + "junk\n", COUNT},
      {"empty line", with_line(100, "\n"), RECORD},
      {"line without TAB", with_line(100, "_vanro/a.bin " + digest + "\n"), RECORD},
      {"extra TAB after the digest", with_line(100, "_vanro/a.bin\t" + digest + "\t\n"), RECORD},
      {"line ending in TAB", with_line(100, "_vanro/a.bin\t\n"), PATH_OR_DIGEST},
      {"upper-case digest", with_line(0, "_vanro/a.bin\t" + upper_digest + "\n"), PATH_OR_DIGEST},
      {"63-character digest", with_line(0, "_vanro/a.bin\t" + digest.substr(1) + "\n"), PATH_OR_DIGEST},
      {"65-character digest", with_line(0, "_vanro/a.bin\t" + digest + "0\n"), PATH_OR_DIGEST},
      {"path with a space", with_path(7, "_vanro/a b.bin"), PATH_OR_DIGEST},
      {"path with a backslash", with_path(7, "_vanro\\a.bin"), PATH_OR_DIGEST},
      {"path with an empty element", with_path(7, "_vanro//a.bin"), PATH_OR_DIGEST},
      {"device name", with_path(7, "_vanro/con.txt"), PATH_OR_DIGEST},
      {"241-byte path", with_path(7, std::string(241, 'a')), PATH_OR_DIGEST},
      {"240-byte path", with_path(7, std::string(240, 'a')), ""},
      {"two records in the wrong order", reversed, PATH_OR_DIGEST},
      {"the same path twice", with_path(8, make_records(8)[7].first), PATH_OR_DIGEST},
      {"_vanro/Hook.ini", with_path(7, "_vanro/Hook.ini"), PATH_OR_DIGEST},
      {"_vanro/hook.ini", with_path(7, "_vanro/hook.ini"), PATH_OR_DIGEST},
      {"_vanro/core-files.tsv", with_path(7, "_vanro/core-files.tsv"), PATH_OR_DIGEST},
      {"_vanro/CORE-FILES.SIG", with_path(7, "_vanro/CORE-FILES.SIG"), PATH_OR_DIGEST},
      {"a path before the longer path it starts", with_path(8, "_vanro/patch/AdvData/MES/m007"), ""},
  };
  for (const auto& c : cases) EXPECT_EQ(message_of([&] { parse_core_file_list(c.bytes); }), c.message) << c.name;
}

TEST(CoreFileList, FoldedDuplicateAndResult) {
  // A.bin sorts before the "_vanro/" records and a.bin after them: the second is the refused one.
  Records records = make_records(CORE_RECORD_COUNT - 2);
  records.emplace_back("A.bin", records[0].second);
  records.emplace_back("a.bin", records[1].second);
  std::sort(records.begin(), records.end());
  EXPECT_EQ(message_of([&] { parse_core_file_list(list_text(records)); }), PATH_OR_DIGEST);

  records.back().first = "b.bin";
  const CoreFileList list = parse_core_file_list(list_text(records));
  ASSERT_EQ(list.size(), CORE_RECORD_COUNT);
  EXPECT_EQ(list.begin()->first, "A.bin");
  EXPECT_EQ(list.at("_vanro/patch/AdvData/MES/m000.mes"), sha256_hex(std::string("_vanro/patch/AdvData/MES/m000.mes")));
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path& path, const std::string& bytes) { write_test_file(path.u16string(), bytes); }

const fs::path FIXTURES = fs::path(VANRO_SOURCE_DIR) / "tests" / "data" / "core_list";

// A base directory holding one fixture's _vanro/core-files.tsv and .sig, free to be changed.
class SignedListTest : public ::testing::Test {
 protected:
  void use_fixture(const char* name) {
    fs::copy(FIXTURES / name, base(), fs::copy_options::recursive);
  }
  fs::path base() const { return fs::path(temp.path); }
  fs::path list_path() const { return base() / "_vanro" / "core-files.tsv"; }
  fs::path signature_path() const { return base() / "_vanro" / "core-files.sig"; }
  std::string verify_error() {
    return message_of([&] { verify_core_signature(temp.path); });
  }

  // The records of a manifest that matches the valid fixture: its 511 entries, then the four
  // files that the list does not cover.
  std::vector<ManifestRecord> matching_records() const {
    std::vector<ManifestRecord> records;
    for (const auto& [path, digest] : parse_core_file_list(read_file(FIXTURES / "valid" / "_vanro" / "core-files.tsv")))
      records.push_back({path, "-", digest});
    records.push_back({"_vanro/hook.ini", "-", std::string(64, '0')});
    records.push_back({"_vanro/core-files.tsv", "-", std::string(64, '1')});
    records.push_back({"_vanro/core-files.sig", "-", std::string(64, '2')});
    records.push_back({"_vanro/runtime/VANROGame.exe", "-", "generated"});
    return records;
  }

  TempDir temp;
};

TEST_F(SignedListTest, ValidListVerifiesAndParses) {
  use_fixture("valid");
  const CoreFileList list = verify_core_signature(temp.path);
  EXPECT_EQ(list.size(), CORE_RECORD_COUNT);
  EXPECT_EQ(list, parse_core_file_list(read_file(list_path())));
}

TEST_F(SignedListTest, AnyChangedByteBreaksTheSignature) {
  use_fixture("valid");
  const std::string original = read_file(list_path());
  // The magic line (0 to 11), the first record, the middle, the final LF.
  for (std::size_t position : {std::size_t(0), std::size_t(4), std::size_t(11), std::size_t(12),
                               original.size() / 2, original.size() - 2, original.size() - 1}) {
    std::string changed = original;
    changed[position] = static_cast<char>(changed[position] ^ 0x01);
    write_file(list_path(), changed);
    EXPECT_EQ(verify_error(), INVALID_SIGNATURE) << "byte " << position;
  }
  write_file(list_path(), original + "x");
  EXPECT_EQ(verify_error(), INVALID_SIGNATURE) << "a byte added";
}

TEST_F(SignedListTest, SignatureFileRefusals) {
  use_fixture("valid");
  const std::string signature = read_file(signature_path());
  ASSERT_EQ(signature.size(), 64u);
  const struct {
    const char* name;
    std::string bytes;
    const char* message;
  } cases[] = {
      {"64 bytes", signature, ""},
      {"63 bytes", signature.substr(0, 63), "补丁核心签名长度不正确。"},
      {"empty", "", "补丁核心签名长度不正确。"},
      {"65 bytes", signature + "x", "File size exceeds limit"},
      {"another key's signature", read_file(FIXTURES / "other-key.sig"), INVALID_SIGNATURE},
      {"s and r swapped", signature.substr(32) + signature.substr(0, 32), INVALID_SIGNATURE},
      {"all zero", std::string(64, '\0'), INVALID_SIGNATURE},
  };
  for (const auto& c : cases) {
    write_file(signature_path(), c.bytes);
    EXPECT_EQ(verify_error(), c.message) << c.name;
  }
}

TEST_F(SignedListTest, FilesThatAreNotPlainFiles) {
  use_fixture("valid");
  fs::remove(signature_path());
  EXPECT_EQ(verify_error(), "补丁签名路径缺失或包含重解析点。") << "signature missing";
  fs::create_directory(signature_path());
  EXPECT_EQ(verify_error(), "补丁核心签名文件无效。") << "signature is a directory";

  fs::remove(signature_path());
  fs::copy(FIXTURES / "valid" / "_vanro" / "core-files.sig", signature_path());
  fs::remove(list_path());
  fs::create_directory(list_path());
  EXPECT_EQ(verify_error(), "补丁核心签名文件无效。") << "list is a directory";
}

TEST_F(SignedListTest, ListLimitAndSignedCrLf) {
  use_fixture("valid");
  write_file(list_path(), std::string(CORE_LIST_LIMIT + 1, 'x'));
  EXPECT_EQ(verify_error(), "File size exceeds limit");

  // Signed with CR LF line ends: the signature holds, the format does not.
  TempDir other;
  fs::copy(FIXTURES / "crlf", fs::path(other.path), fs::copy_options::recursive);
  EXPECT_EQ(message_of([&] { verify_core_signature(other.path); }), FORMAT);
}

TEST_F(SignedListTest, BaseDirectoryForms) {
  use_fixture("valid");
  EXPECT_EQ(message_of([&] { verify_core_signature(u"relative/base"); }), "补丁签名路径无效。");
  EXPECT_EQ(message_of([&] { verify_core_signature(temp.path + u"/x/.."); }), "补丁签名路径无效。");
  EXPECT_EQ(message_of([&] { verify_core_signature(temp.file(u"missing")); }), "补丁签名路径缺失或包含重解析点。");
}

TEST_F(SignedListTest, Coverage) {
  use_fixture("valid");
  const std::vector<ManifestRecord> matching = matching_records();
  auto changed = [&](const std::function<void(std::vector<ManifestRecord>&)>& change) {
    std::vector<ManifestRecord> records = matching;
    change(records);
    return records;
  };
  const struct {
    const char* name;
    std::vector<ManifestRecord> records;
    const char* message;
  } cases[] = {
      {"matching", matching, ""},
      {"uncovered files in front", changed([](auto& r) { std::rotate(r.begin(), r.end() - 4, r.end()); }), ""},
      {"hook.ini with any digest", changed([](auto& r) { r[511].sha256 = "anything"; }), ""},
      {"a digest one hex digit off", changed([](auto& r) { r[200].sha256[63] = r[200].sha256[63] == '0' ? '1' : '0'; }), MISMATCH},
      {"a path absent from the list", changed([](auto& r) { r.push_back({"_vanro/extra.bin", "-", r[0].sha256}); }), MISMATCH},
      {"hook.ini in other case is covered", changed([](auto& r) { r[511].path = "_vanro/Hook.ini"; }), MISMATCH},
      {"a path in other case", changed([](auto& r) { r[3].path[1] = static_cast<char>(::toupper(r[3].path[1])); }), MISMATCH},
      {"one entry not covered", changed([](auto& r) { r.erase(r.begin() + 300); }), NOT_COVERED},
      {"only the uncovered files", changed([](auto& r) { r.erase(r.begin(), r.begin() + 511); }), NOT_COVERED},
      {"no records", {}, NOT_COVERED},
      // A record named twice does not stand in for the entry that no record names.
      {"a record twice, another missing", changed([](auto& r) { r[300] = r[301]; }), NOT_COVERED},
  };
  for (const auto& c : cases) {
    reported_file = u"其他";
    EXPECT_EQ(message_of([&] { check_component_signature(temp.path, c.records); }), c.message) << c.name;
    EXPECT_EQ(reported_file, u"补丁组件签名") << c.name;
  }
}

TEST_F(SignedListTest, CoverageReportsTheSignatureSubject) {
  use_fixture("valid");
  fs::remove(signature_path());
  reported_file = u"其他";
  EXPECT_EQ(message_of([&] { check_component_signature(temp.path, matching_records()); }),
            "补丁签名路径缺失或包含重解析点。");
  EXPECT_EQ(reported_file, u"补丁组件签名");
}

}  // namespace
