// The rules that keep the work inside plain directories: path validation, resolution, comparison.
#include <gtest/gtest.h>

#include <functional>

#include "common/path.h"
#include "common/path_safety.h"
#include "tests/support/message.h"
#include "common/patch_error.h"
#include "common/platform.h"
#include "tests/support/temp_dir.h"

namespace {

// Valid elements of `length` bytes in all, joined by '/'.
std::string path_of_length(std::size_t length) {
  std::string path;
  while (path.size() < length) {
    if (!path.empty()) path += '/';
    path += std::string(std::min<std::size_t>(50, length - path.size()), 'a');
  }
  if (path.back() == '/') path.back() = 'b';
  return path;
}

TEST(CorePathRule, AcceptsAndRefuses) {
  for (std::string path : {"_vanro/hook.ini", "_vanro/runtime/winmm.dll", "_vanro/com0.bin", "_vanro/com10",
                           "console", ".con", "VANROLauncher.exe", "a-b_c.d/e"})
    EXPECT_TRUE(is_safe_core_path(path)) << path;
  for (std::string path : {"", "a//b", "a/./b", "a/../b", "./a", "a./b", "a.", "/a", "a/", "_vanro/con.txt",
                           "_vanro/COM7", "Aux.txt", "LPT9.dat", "nul", "prn.x", "a b", "a\\b", "a:b",
                           "\xE6\xB1\x89", "a\tb"})
    EXPECT_FALSE(is_safe_core_path(path)) << path;
  EXPECT_TRUE(is_safe_core_path(path_of_length(240)));
  EXPECT_FALSE(is_safe_core_path(path_of_length(241)));
}

TEST(RelativePathRule, AcceptsAndRefuses) {
  for (std::string path : {"_vanro/patch/AdvData/MES/\xE6\xB1\x89.MES", " lead", "con", "a/ b", "COM1.txt", "a'b"})
    EXPECT_TRUE(is_safe_relative_path(path)) << path;
  for (std::string path : {"", "a\\b", "C:x", "/a", "a/", "a//b", "a/../b", "a/./b", "..", "a.", "a ", "a|b",
                           "a\tb", "a<b", "a>b", "a\"b", "a?b", "a*b", "a\x7f", "a\x01", "x/y./z"})
    EXPECT_FALSE(is_safe_relative_path(path)) << testing::PrintToString(path);
  EXPECT_TRUE(is_safe_relative_path(path_of_length(32760)));
  EXPECT_FALSE(is_safe_relative_path(path_of_length(32761)));
}

TEST(ResolvePackagePath, JoinsValidPathsAndRefusesOthers) {
  TempDir dir;
  EXPECT_EQ(resolve_package_path(dir.path, "_vanro/hook.ini"), join_path(dir.path, u"_vanro/hook.ini"));
  std::u16string with_separator = dir.path + platform::PREFERRED_SEPARATOR;
  EXPECT_EQ(resolve_package_path(with_separator, "x"), with_separator + u"x");
  EXPECT_EQ(message_of([&] { resolve_package_path(dir.path, "../x"); }), "补丁清单包含非法路径。");
  EXPECT_EQ(message_of([&] { resolve_package_path(dir.path, "a/\xFF"); }), "Invalid UTF-8");
}

TEST(SamePath, FoldsAsciiCaseAndSeparatorsOnly) {
  EXPECT_TRUE(same_path(u"C:\\GAMES\\Lirra\\ZDH.EXE", u"c:/games/lirra/./zdh.exe"));
  EXPECT_TRUE(same_path(u"C:\\Games\\Lirra\\", u"C:\\Games\\Lirra"));
  EXPECT_TRUE(same_path(u"C:\\Games\\x\\..\\Lirra", u"C:\\Games\\Lirra"));
  EXPECT_FALSE(same_path(u"C:\\Games\\\u00C9", u"C:\\Games\\\u00E9"));  // only ASCII letters fold
  EXPECT_FALSE(same_path(u"C:\\Games\\Lirra", u"D:\\Games\\Lirra"));
  EXPECT_FALSE(same_path(u"C:\\Games\\Lirra\\ZDH.EXE", u"C:\\Games\\Lirra\\ZDH.EXE.bak"));
  // The game runs from the plain form of a folder that the installer was given verbatim.
  EXPECT_TRUE(same_path(u"\\\\?\\C:\\Games\\Lirra\\ZDH.EXE", u"C:\\Games\\Lirra\\zdh.exe"));
  EXPECT_TRUE(same_path(u"\\\\?\\UNC\\srv\\share\\Lirra\\ZDH.EXE", u"\\\\srv\\share\\Lirra\\ZDH.EXE"));
  EXPECT_FALSE(same_path(u"\\\\?\\C:\\Games\\Lirra\\ZDH.EXE", u"D:\\Games\\Lirra\\ZDH.EXE"));
}

TEST(ReparseWalk, AsksAboutEveryFolderBelowTheVolumesRoot) {
  const std::vector<std::pair<std::u16string, std::vector<std::u16string>>> cases = {
      {u"C:\\Games\\Lirra", {u"C:\\Games\\Lirra", u"C:\\Games"}},
      {u"Z:\\", {}},
      {u"a\\b", {u"a\\b", u"a"}},
      // Neither the share nor its server is asked about: neither is a link of the share's.
      {u"\\\\srv\\share\\a\\b", {u"\\\\srv\\share\\a\\b", u"\\\\srv\\share\\a"}},
      {u"\\\\srv\\share\\", {}},
      {u"\\\\?\\C:\\Games\\Lirra", {u"\\\\?\\C:\\Games\\Lirra", u"\\\\?\\C:\\Games"}},
      {u"\\\\?\\UNC\\srv\\share\\a", {u"\\\\?\\UNC\\srv\\share\\a"}},
      {u"/tmp/game", {u"/tmp/game", u"/tmp"}},
  };
  for (const auto& [path, asked] : cases) EXPECT_EQ(reparse_walk_paths(path), asked) << testing::PrintToString(path);
}

TEST(ReparseWalk, PassesOverMissingPathsAndChecksNothingForEmpty) {
  TempDir dir;
  EXPECT_NO_THROW(check_no_reparse_points(u""));
  EXPECT_NO_THROW(check_no_reparse_points(dir.file(u"_vanro/runtime/x.bin")));
  EXPECT_NO_THROW(check_no_reparse_points(u"a\\b"));
}

TEST(SignaturePath, RefusesRelativeDottedAndMissingPaths) {
  TempDir dir;
  write_test_file(dir.file(u"_vanro/core-files.tsv"), "x");
  EXPECT_NO_THROW(check_signature_path(dir.file(u"_vanro/core-files.tsv")));
  EXPECT_EQ(message_of([&] { check_signature_path(dir.file(u"missing/core-files.tsv")); }),
            "补丁签名路径缺失或包含重解析点。");
  EXPECT_EQ(message_of([&] { check_signature_path(dir.file(u"_vanro/core-files.sig")); }),
            "补丁签名路径缺失或包含重解析点。");
  for (std::u16string path : std::vector<std::u16string>{u"C:x", u"rel\\x", dir.file(u"_vanro/../_vanro/core-files.tsv"),
                              dir.file(u"./_vanro/core-files.tsv")})
    EXPECT_EQ(message_of([&] { check_signature_path(path); }), "补丁签名路径无效。") << testing::PrintToString(path);
}

}  // namespace
