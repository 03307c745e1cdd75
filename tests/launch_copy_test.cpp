// The launch copy: the byte fixes, the bounded read of ZDH.EXE and the staging writer.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "common/file_io.h"
#include "common/launch_copy.h"
#include "common/path_safety.h"
#include "tests/support/message.h"
#include "common/platform.h"
#include "tests/support/temp_dir.h"

namespace {

uint32_t largest_offset() { return LAUNCH_FIX_TABLE.back().offset; }

std::string game_exe(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + 3) & 0xFF);
  return bytes;
}

TEST(LaunchFixTable, OffsetsAreDistinctAscendingAndBelowTheReadLimit) {
  for (std::size_t i = 0; i < LAUNCH_FIX_TABLE.size(); ++i) {
    EXPECT_LT(LAUNCH_FIX_TABLE[i].offset, LAUNCH_COPY_READ_LIMIT);
    if (i > 0) {
      EXPECT_LT(LAUNCH_FIX_TABLE[i - 1].offset, LAUNCH_FIX_TABLE[i].offset);
    }
  }
}

TEST(BuildLaunchCopy, AppliesEveryFixAndNothingElse) {
  TempDir dir;
  std::string original = game_exe(largest_offset() + 100);
  write_test_file(dir.file(u"ZDH.EXE"), original);
  std::string copy = build_launch_copy(dir.file(u"ZDH.EXE"));
  ASSERT_EQ(copy.size(), original.size());
  EXPECT_TRUE(has_launch_fixes(copy));
  EXPECT_FALSE(has_launch_fixes(original));
  std::size_t differing = 0;
  for (std::size_t i = 0; i < copy.size(); ++i) differing += copy[i] != original[i];
  EXPECT_LE(differing, 8u);
  // A ZDH.EXE that already holds the fixes yields itself.
  write_test_file(dir.file(u"fixed.exe"), copy);
  EXPECT_EQ(build_launch_copy(dir.file(u"fixed.exe")), copy);
}

TEST(BuildLaunchCopy, LengthBoundaries) {
  TempDir dir;
  write_test_file(dir.file(u"short.exe"), game_exe(largest_offset()));  // the offset must be below the length
  EXPECT_THROW(build_launch_copy(dir.file(u"short.exe")), std::out_of_range);
  write_test_file(dir.file(u"just.exe"), game_exe(largest_offset() + 1));
  EXPECT_TRUE(has_launch_fixes(build_launch_copy(dir.file(u"just.exe"))));

  write_test_file(dir.file(u"limit.exe"), "");
  std::filesystem::resize_file(std::filesystem::path(dir.file(u"limit.exe")), LAUNCH_COPY_READ_LIMIT);
  EXPECT_EQ(build_launch_copy(dir.file(u"limit.exe")).size(), LAUNCH_COPY_READ_LIMIT);
  std::filesystem::resize_file(std::filesystem::path(dir.file(u"limit.exe")), LAUNCH_COPY_READ_LIMIT + 1);
  EXPECT_EQ(message_of([&] { build_launch_copy(dir.file(u"limit.exe")); }), "File size exceeds limit");
  EXPECT_EQ(message_of([&] { build_launch_copy(dir.file(u"missing.exe")); }), "Cannot open input file");
}

TEST(HasLaunchFixes, ShortEmptyAndMissing) {
  EXPECT_FALSE(has_launch_fixes(""));
  TempDir dir;
  write_test_file(dir.file(u"ZDH.EXE"), game_exe(largest_offset() + 1));
  std::string copy = build_launch_copy(dir.file(u"ZDH.EXE"));
  EXPECT_FALSE(has_launch_fixes(copy.substr(0, largest_offset())));
  for (const LaunchFix& fix : LAUNCH_FIX_TABLE) {
    std::string one_off = copy;
    one_off[fix.offset] = static_cast<char>(fix.value ^ 1);
    EXPECT_FALSE(has_launch_fixes(one_off));
  }
  EXPECT_FALSE(file_has_launch_fixes(dir.file(u"missing")));
  EXPECT_FALSE(file_has_launch_fixes(dir.path));
}

TEST(WriteLaunchCopy, CreatesFoldersAndRefusesAnExistingTargetOrStagingFile) {
  TempDir dir;
  write_test_file(dir.file(u"ZDH.EXE"), game_exe(largest_offset() + 1));
  std::string copy = build_launch_copy(dir.file(u"ZDH.EXE"));
  std::u16string target = dir.file(u"_vanro/runtime/VANROGame.exe");
  write_launch_copy(target, copy);
  EXPECT_EQ(read_whole_file(target, LAUNCH_COPY_READ_LIMIT), copy);
  EXPECT_FALSE(path_exists(target + STAGING_SUFFIX));

  // An existing target: the staging file is written and checked, the rename fails, the staging file goes.
  EXPECT_EQ(message_of([&] { write_launch_copy(target, std::string(copy.size(), 'x')); }),
            "启动副本的补丁指令校验失败。");
  EXPECT_EQ(message_of([&] { write_launch_copy(target, copy); }), "无法保存启动副本，目标可能已存在或正被使用。");
  EXPECT_FALSE(path_exists(target + STAGING_SUFFIX));
  EXPECT_EQ(read_whole_file(target, LAUNCH_COPY_READ_LIMIT), copy);

  // A staging file left from before is not ours to delete.
  std::u16string other = dir.file(u"other/VANROGame.exe");
  write_test_file(other + STAGING_SUFFIX, "left over");
  EXPECT_EQ(message_of([&] { write_launch_copy(other, copy); }), "无法创建启动副本的临时文件。");
  EXPECT_EQ(read_whole_file(other + STAGING_SUFFIX, 100), "left over");
}

TEST(WriteLaunchCopy, EveryFailureAfterTheStagingFileExistsDeletesIt) {
  TempDir dir;
  write_test_file(dir.file(u"ZDH.EXE"), game_exe(largest_offset() + 1));
  std::string copy = build_launch_copy(dir.file(u"ZDH.EXE"));
  std::u16string target = dir.file(u"runtime/VANROGame.exe");
  make_test_dir(dir.file(u"runtime"));
  // Mutating calls: 1 create, 2 write, 3 flush, 4 rename (5 is the clean-up's delete).
  const std::vector<std::pair<uint64_t, std::string>> faults = {
      {1, "无法创建启动副本的临时文件。"},
      {2, "无法完整写入启动副本。"},
      {3, "无法完整写入启动副本。"},
      {4, "无法保存启动副本，目标可能已存在或正被使用。"},
  };
  for (const auto& [nth, message] : faults) {
    platform::testing::set_fault(platform::testing::FaultMode::fail, nth);
    EXPECT_EQ(message_of([&] { write_launch_copy(target, copy); }), message);
    platform::testing::set_fault(platform::testing::FaultMode::none, 0);
    EXPECT_FALSE(path_exists(target)) << nth;
    EXPECT_FALSE(path_exists(target + STAGING_SUFFIX)) << nth;
  }
}

}  // namespace
