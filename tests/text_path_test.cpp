// Strict UTF-8/UTF-16 conversion and the forms of full paths.
#include <gtest/gtest.h>

#include "common/path.h"
#include "common/patch_error.h"
#include "common/platform.h"
#include "common/text.h"

namespace {

// A Windows path text with '\' as the platform's separator, as the path forms write it.
std::u16string p(std::u16string text) {
  for (char16_t& c : text)
    if (c == u'\\') c = platform::PREFERRED_SEPARATOR;
  return text;
}

std::string bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

TEST(Utf8ToWide, ConvertsWellFormedTextExactly) {
  EXPECT_EQ(utf8_to_wide(""), u"");
  EXPECT_EQ(utf8_to_wide(bytes({0xE6, 0xB1, 0x89})), u"\u6C49");
  EXPECT_EQ(utf8_to_wide(bytes({0xEF, 0xBB, 0xBF, 0x41})), u"\uFEFFA");  // the BOM stays a character
  EXPECT_EQ(utf8_to_wide(bytes({0x41, 0x00, 0x42})), std::u16string(u"A\0B", 3));
  EXPECT_EQ(utf8_to_wide(bytes({0xF0, 0x9F, 0x98, 0x80})), u"\U0001F600");
  EXPECT_EQ(utf8_to_wide(bytes({0xF4, 0x8F, 0xBF, 0xBF})), u"\U0010FFFF");
  EXPECT_EQ(utf8_to_wide(bytes({0xEF, 0xBF, 0xBF})), u"\uFFFF");
}

TEST(Utf8ToWide, RefusesEveryMalformedSequence) {
  const std::vector<std::string> refused = {
      bytes({0x80}),                    // a continuation byte where a sequence must start
      bytes({0xC0, 0x80}),              // over-long NUL
      bytes({0xC1, 0xBF}),              // over-long
      bytes({0xE0, 0x80, 0x80}),        // over-long three-byte form
      bytes({0xF0, 0x80, 0x80, 0x80}),  // over-long four-byte form
      bytes({0xED, 0xA0, 0x80}),        // an encoded surrogate
      bytes({0xED, 0xBF, 0xBF}),
      bytes({0xF4, 0x90, 0x80, 0x80}),  // above U+10FFFF
      bytes({0xF5, 0x80, 0x80, 0x80}),
      bytes({0xFF}),
      bytes({0xE6, 0xB1}),              // cut short by the end
      bytes({0xE6, 0x41, 0x89}),        // cut short by a byte that does not continue it
      bytes({0x41, 0xC3}),
  };
  for (const std::string& text : refused) {
    try {
      utf8_to_wide(text);
      ADD_FAILURE() << "accepted " << testing::PrintToString(text);
    } catch (const PatchError& e) {
      EXPECT_STREQ(e.what(), "Invalid UTF-8");
    }
  }
}

TEST(WideToUtf8, ConvertsAndRefusesUnpairedSurrogates) {
  EXPECT_EQ(wide_to_utf8(u""), "");
  EXPECT_EQ(wide_to_utf8(u"\U0001F600"), bytes({0xF0, 0x9F, 0x98, 0x80}));
  EXPECT_EQ(wide_to_utf8(u"\uFEFF"), bytes({0xEF, 0xBB, 0xBF}));
  EXPECT_EQ(wide_to_utf8(std::u16string(u"A\0B", 3)), std::string("A\0B", 3));
  for (std::u16string text : {std::u16string(1, char16_t(0xD800)), std::u16string(1, char16_t(0xDC00)),
                              std::u16string{char16_t(0xD83D), u'A'}, std::u16string{char16_t(0xDE00), char16_t(0xD83D)}}) {
    try {
      wide_to_utf8(text);
      ADD_FAILURE() << "accepted an unpaired surrogate";
    } catch (const PatchError& e) {
      EXPECT_STREQ(e.what(), "Invalid Unicode");
    }
  }
}

TEST(Utf8ToWideLossy, ReplacesOnlyWhatTheStrictConversionRefuses) {
  EXPECT_EQ(utf8_to_wide_lossy("ok \xE6\xB1\x89"), u"ok \u6C49");
  EXPECT_EQ(utf8_to_wide_lossy("a\xFF" "b\xE6\xB1"), u"a\uFFFDb\uFFFD\uFFFD");
}

TEST(PathForms, Parent) {
  const std::vector<std::pair<std::u16string, std::u16string>> cases = {
      {u"C:\\Games\\Lirra\\ZDH.EXE", u"C:\\Games\\Lirra"},
      {u"C:\\Games\\Lirra", u"C:\\Games"},
      {u"C:\\Games", u"C:\\"},
      {u"C:\\", u"C:\\"},
      {u"C:/Games//Lirra", u"C:/Games"},
      {u"C:\\Games\\Lirra\\", u"C:\\Games\\Lirra"},
      {u"a", u""},
      {u"a\\b", u"a"},
      {u"\\\\srv\\share\\x", u"\\\\srv\\share"},
      {u"\\\\srv\\share", u"\\\\srv\\"},
      {u"\\\\?\\C:\\x", u"\\\\?\\C:"},
  };
  for (const auto& [path, parent] : cases) EXPECT_EQ(parent_path(path), parent) << testing::PrintToString(path);
}

TEST(PathForms, JoinPutsOneSeparatorAndKeepsTheRelativePart) {
  EXPECT_EQ(join_path(u"C:\\Games\\Lirra", u"_vanro/runtime/winmm.dll"), u"C:\\Games\\Lirra" + std::u16string(1, platform::PREFERRED_SEPARATOR) + u"_vanro/runtime/winmm.dll");
  EXPECT_EQ(join_path(u"C:\\Games\\Lirra\\", u"ZDH.EXE"), u"C:\\Games\\Lirra\\ZDH.EXE");
  EXPECT_EQ(join_path(u"C:/Games/", u"x"), u"C:/Games/x");
  // Below a verbatim root only '\\' separates.
  EXPECT_EQ(join_path(u"\\\\?\\C:\\Games\\Lirra", u"_vanro/runtime/winmm.dll"),
            u"\\\\?\\C:\\Games\\Lirra\\_vanro\\runtime\\winmm.dll");
}

TEST(PathForms, VolumeRootAndVerbatimPrefix) {
  const std::vector<std::pair<std::u16string, std::size_t>> roots = {
      {u"C:\\Games", 3}, {u"C:\\", 3}, {u"C:x", 2}, {u"\\\\srv\\share\\x", 12}, {u"\\\\srv\\share", 11},
      {u"\\\\?\\C:\\x", 7}, {u"\\\\?\\UNC\\srv\\share\\x", 18}, {u"\\\\.\\C:\\x", 7},
      {u"\\\\?\\Volume{1}\\x", 14}, {u"/tmp", 1}, {u"x\\y", 0}, {u"", 0}};
  for (const auto& [path, length] : roots) EXPECT_EQ(volume_root_length(path), length) << testing::PrintToString(path);
  const std::vector<std::pair<std::u16string, std::u16string>> plain = {
      {u"\\\\?\\C:\\Games", u"C:\\Games"}, {u"\\\\?\\UNC\\srv\\share\\x", u"\\\\srv\\share\\x"},
      {u"\\??\\C:\\x", u"C:\\x"}, {u"\\\\?\\Volume{1}\\x", u"\\\\?\\Volume{1}\\x"}, {u"C:\\x", u"C:\\x"},
      {u"\\\\.\\C:\\x", u"\\\\.\\C:\\x"}};
  for (const auto& [path, form] : plain) EXPECT_EQ(without_verbatim_prefix(path), form) << testing::PrintToString(path);
}

TEST(PathForms, LexicalNormalForm) {
  const std::vector<std::pair<std::u16string, std::u16string>> cases = {
      {u"D:/Game/./sub/../x", u"D:\\Game\\x"},
      {u"C:\\Games\\Lirra\\", u"C:\\Games\\Lirra\\"},
      {u"C:\\Games\\\\Lirra", u"C:\\Games\\Lirra"},
      {u"C:\\..\\x", u"C:\\x"},
      {u"C:\\..", u"C:\\"},
      {u"a\\..", u"."},
      {u".", u"."},
      {u"a\\.", u"a\\"},
      {u"a\\b\\..", u"a\\"},
      {u"a\\b\\..\\..", u"."},
      {u"..\\..\\a", u"..\\..\\a"},
      {u"a\\..\\..\\", u".."},
      {u"D:\\Game\\.\\sub\\..", u"D:\\Game\\"},
      {u"C:x\\..\\y", u"C:y"},
      // Network and verbatim roots keep their two leading separators.
      {u"//srv/share/./x", u"\\\\srv\\share\\x"},
      {u"\\\\?\\C:\\a\\..\\b", u"\\\\?\\C:\\b"},
  };
  for (const auto& [path, normal] : cases)
    EXPECT_EQ(lexically_normal(path), p(normal)) << testing::PrintToString(path);
}

TEST(PathForms, Absoluteness) {
  for (std::u16string path : {u"C:\\", u"c:/x", u"\\\\srv\\share", u"\\\\?\\C:\\x", u"\\\\.\\C:\\x", u"\\??\\C:\\x"})
    EXPECT_TRUE(is_absolute_path(path)) << testing::PrintToString(path);
  for (std::u16string path : {u"C:x", u"C:", u"x\\y", u"", u"..\\x"})
    EXPECT_FALSE(is_absolute_path(path)) << testing::PrintToString(path);
  EXPECT_EQ(is_absolute_path(u"\\Games"), platform::ROOT_DIRECTORY_IS_ABSOLUTE);
}

TEST(PathForms, SplitsRootNameRootDirectoryAndRelativePart) {
  PathParts unc = split_path(u"\\\\srv\\share\\x");
  EXPECT_EQ(unc.root_name, u"\\\\srv");
  EXPECT_EQ(unc.root_directory, u"\\");
  EXPECT_EQ(unc.relative, u"share\\x");
  PathParts verbatim = split_path(u"\\\\?\\C:\\x");
  EXPECT_EQ(verbatim.root_name, u"\\\\?");
  EXPECT_EQ(verbatim.relative, u"C:\\x");
  PathParts drive_relative = split_path(u"C:x");
  EXPECT_EQ(drive_relative.root_name, u"C:");
  EXPECT_EQ(drive_relative.root_directory, u"");
}

TEST(ModulePath, IsTheRunningProgram) {
  std::u16string path = get_module_path();
  EXPECT_TRUE(is_absolute_path(path));
  EXPECT_NE(path.find(u"tests"), std::u16string::npos);
}

}  // namespace
