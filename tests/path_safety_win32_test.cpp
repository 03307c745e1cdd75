// Under Wine a Linux symbolic link to a directory is a reparse point; the test-links fixture makes
// linked -> real with real/sub/deeper below it before the tests run, on drive C: of the prefix.
#include <gtest/gtest.h>

#include <functional>

#include "common/file_io.h"
#include "common/path.h"
#include "common/path_safety.h"
#include "common/platform.h"
#include "tests/support/message.h"

namespace {

std::u16string links() { return u"C:\\vanro-test-links"; }

TEST(ReparseWalkWine, RefusesALinkedDirectoryTwoLevelsAbove) {
  std::u16string deep = join_path(links(), u"linked\\sub\\deeper\\x.bin");
  if (!path_exists(join_path(links(), u"linked"))) GTEST_SKIP() << "the test-links fixture did not run";
  EXPECT_EQ(message_of([&] { check_no_reparse_points(deep); }), "目录含符号链接或重解析点，操作已停止。");
  EXPECT_NO_THROW(check_no_reparse_points(join_path(links(), u"real\\sub\\deeper\\x.bin")));
  EXPECT_EQ(message_of([&] { check_signature_path(join_path(links(), u"linked\\sub")); }),
            "补丁签名路径缺失或包含重解析点。");
  EXPECT_EQ(message_of([&] { resolve_package_path(links(), "linked/sub/x.bin"); }),
            "目录含符号链接或重解析点，操作已停止。");
}

TEST(ReparseWalkWine, TheRootOfADriveIsNoLink) {
  // Wine reports the root of a drive that maps a Linux folder (Z:\ is "/") as a reparse point, but a
  // drive's root is never a link: the folders below it are what the walk must see.
  ASSERT_TRUE(platform::file_attributes(u"Z:\\").has_value());
  EXPECT_NO_THROW(check_no_reparse_points(u"Z:\\tmp\\game"));
  EXPECT_NO_THROW(check_signature_path(u"Z:\\tmp"));
}

TEST(PathFormsWine, NetworkAndVerbatimPathsKeepTheirRoot) {
  // The library's own path type misreads these on this platform; ours must not.
  EXPECT_TRUE(is_absolute_path(u"\\\\srv\\share\\x"));
  EXPECT_TRUE(is_absolute_path(u"\\\\?\\C:\\x"));
  EXPECT_FALSE(is_absolute_path(u"\\Games"));
  EXPECT_EQ(lexically_normal(u"\\\\srv\\share\\.\\a\\..\\x"), u"\\\\srv\\share\\x");
  EXPECT_EQ(lexically_normal(u"\\\\?\\C:\\a\\..\\b"), u"\\\\?\\C:\\b");
  EXPECT_EQ(parent_path(u"\\\\srv\\share"), u"\\\\srv\\");
  EXPECT_TRUE(same_path(u"\\\\SRV\\share\\Lirra\\ZDH.EXE", u"//srv/share/lirra/zdh.exe"));
}

}  // namespace
