#include "installer/file_digest.h"

#include <gtest/gtest.h>

#include <string>

#include "common/launch_copy.h"
#include "integrity/sha256.h"
#include "tests/support/temp_dir.h"

namespace {

// The digests taken piece by piece answer exactly what the digest of the whole bytes answers.
TEST(FileDigest, AgreesWithTheWholeFileFunctions) {
  const uint32_t last = LAUNCH_FIX_TABLE.back().offset;
  std::string plain(last + 70000, '\0');
  for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<char>(i * 7 + i / 251);
  std::string fixed = plain;
  for (const LaunchFix& fix : LAUNCH_FIX_TABLE) fixed[fix.offset] = static_cast<char>(fix.value);
  std::string one_missing = fixed;
  one_missing[LAUNCH_FIX_TABLE[3].offset] = static_cast<char>(LAUNCH_FIX_TABLE[3].value ^ 1);
  const std::string cases[] = {"", "abc", std::string(65536, 'x'), std::string(65537, 'y'), plain, fixed, one_missing,
                               fixed.substr(0, last), fixed.substr(0, last + 1)};
  TempDir temp;
  for (const std::string& bytes : cases) {
    const std::u16string file = temp.file(u"f");
    write_test_file(file, bytes);
    EXPECT_EQ(sha256_file_hex(file), sha256_hex(bytes)) << bytes.size();
    LaunchCopyDigest copy = launch_copy_digest(file);
    EXPECT_EQ(copy.sha256, sha256_hex(bytes)) << bytes.size();
    EXPECT_EQ(copy.has_launch_fixes, file_has_launch_fixes(file)) << bytes.size();
  }
  EXPECT_TRUE(launch_copy_digest(temp.file(u"f")).has_launch_fixes);  // the last case: just long enough
}

TEST(FileDigest, FailsLikeTheWholeFileRead) {
  TempDir temp;
  for (auto digest : {+[](const std::u16string& p) { sha256_file_hex(p); },
                      +[](const std::u16string& p) { launch_copy_digest(p); }}) {
    try {
      digest(temp.file(u"missing"));
      ADD_FAILURE() << "a missing file was hashed";
    } catch (const std::exception& error) {
      EXPECT_STREQ(error.what(), "Cannot open input file");
    }
  }
}

}  // namespace
