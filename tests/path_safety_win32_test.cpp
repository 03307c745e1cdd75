// Under Wine a Linux symbolic link to a directory is a reparse point; the test-links fixture makes
// linked -> real with real/sub/deeper below it before the tests run, on drive C: of the prefix.
#include <gtest/gtest.h>

#include <functional>

#include "common/file_io.h"
#include "common/path.h"
#include "common/path_safety.h"
#include "common/platform.h"
#include "tests/support/message.h"
#include "tests/support/temp_dir.h"

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

// Wine shows a Unix link to a file as a plain file; what an open of it reaches tells it apart, at
// any path length, and a default Windows's length limits are kept by handing long paths over in
// their verbatim form.
TEST(ReparseWalkWine, ALinkToAFileIsToldApartAtAnyLength) {
  TempDir dir;
  const std::u16string deep = dir.file(std::u16string(120, u'd') + u"\\" + std::u16string(120, u'e'));
  platform::testing::set_windows_path_limits(true);
  create_directories(deep);
  write_new_file(join_path(deep, u"target.bin"), "content");
  make_symbolic_link(join_path(deep, u"target.bin"), join_path(deep, u"link.bin"));
  EXPECT_EQ(platform::file_attributes(join_path(deep, u"link.bin")), platform::file_attributes(join_path(deep, u"target.bin")));
  EXPECT_TRUE(is_disguised_link(join_path(deep, u"link.bin")));
  EXPECT_FALSE(is_disguised_link(join_path(deep, u"target.bin")));
  EXPECT_FALSE(is_disguised_link(join_path(deep, u"TARGET.BIN"))) << "names are matched as the volume matches them";
  EXPECT_EQ(read_whole_file(join_path(deep, u"link.bin"), 100), "content");
  platform::testing::set_windows_path_limits(false);
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
