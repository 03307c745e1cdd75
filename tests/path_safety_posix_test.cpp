// Symbolic links stand for reparse points in the Linux build: links to files and to directories.
#include <gtest/gtest.h>

#include <functional>
#include <unistd.h>

#include "common/file_io.h"
#include "common/path_safety.h"
#include "tests/support/message.h"
#include "common/text.h"
#include "tests/support/temp_dir.h"

namespace {

void link_to(const std::u16string& target, const std::u16string& link) {
  ASSERT_EQ(::symlink(wide_to_utf8(target).c_str(), wide_to_utf8(link).c_str()), 0);
}

constexpr char REFUSED[] = "目录含符号链接或重解析点，操作已停止。";

TEST(ReparseWalkPosix, RefusesALinkTwoLevelsAbove) {
  TempDir dir;
  make_test_dir(dir.file(u"real/Lirra"));
  link_to(dir.file(u"real"), dir.file(u"Games"));
  EXPECT_EQ(message_of([&] { check_no_reparse_points(dir.file(u"Games/Lirra/_vanro/x.bin")); }), REFUSED);
  EXPECT_EQ(message_of([&] { check_no_reparse_points(dir.file(u"Games")); }), REFUSED);
  EXPECT_NO_THROW(check_no_reparse_points(dir.file(u"real/Lirra/_vanro/x.bin")));
}

TEST(ReparseWalkPosix, RefusesLinkedFilesAndDanglingLinks) {
  TempDir dir;
  write_test_file(dir.file(u"real.bin"), "x");
  link_to(dir.file(u"real.bin"), dir.file(u"linked.bin"));
  link_to(dir.file(u"absent"), dir.file(u"dangling"));
  EXPECT_EQ(message_of([&] { check_no_reparse_points(dir.file(u"linked.bin")); }), REFUSED);
  EXPECT_EQ(message_of([&] { check_no_reparse_points(dir.file(u"dangling")); }), REFUSED);
  EXPECT_EQ(message_of([&] { resolve_package_path(dir.path, "linked.bin"); }), REFUSED);
  EXPECT_FALSE(is_plain_file(dir.file(u"linked.bin")));
}

TEST(ReparseWalkPosix, SignaturePathRefusesALinkAbove) {
  TempDir dir;
  write_test_file(dir.file(u"real/_vanro/core-files.tsv"), "x");
  link_to(dir.file(u"real"), dir.file(u"patch"));
  EXPECT_EQ(message_of([&] { check_signature_path(dir.file(u"patch/_vanro/core-files.tsv")); }),
            "补丁签名路径缺失或包含重解析点。");
}

TEST(CopyToNewFilePosix, RefusesLinkedSourceAndDestination) {
  TempDir dir;
  write_test_file(dir.file(u"real/a.bin"), "x");
  link_to(dir.file(u"real"), dir.file(u"linked"));
  EXPECT_EQ(message_of([&] { copy_to_new_file(dir.file(u"linked/a.bin"), dir.file(u"b.bin")); }), REFUSED);
  EXPECT_EQ(message_of([&] { copy_to_new_file(dir.file(u"real/a.bin"), dir.file(u"linked/b.bin")); }), REFUSED);
  EXPECT_FALSE(path_exists(dir.file(u"real/b.bin")));
}

}  // namespace

namespace {

TEST(CopyToNewFilePosix, CopiesAcrossFileSystems) {
  if (!path_exists(u"/dev/shm")) GTEST_SKIP() << "no second file system at /dev/shm";
  TempDir disk;
  write_test_file(disk.file(u"source.bin"), std::string(200000, 'x') + "end");
  std::u16string destination = u"/dev/shm/vanro-cross-" + utf8_to_wide(std::to_string(::getpid())) + u"/copy.bin";
  copy_to_new_file(disk.file(u"source.bin"), destination);
  EXPECT_EQ(read_whole_file(destination, 1 << 20), std::string(200000, 'x') + "end");
  ::unlink(wide_to_utf8(destination).c_str());
  ::rmdir(wide_to_utf8(destination.substr(0, destination.rfind(u'/'))).c_str());
}

}  // namespace
