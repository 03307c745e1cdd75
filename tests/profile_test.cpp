// The profile functions of both builds (the platform's on Windows; our own on Linux and for the
// paths the platform's do not take), on the hotkey file as the installer meets it.
#include <gtest/gtest.h>

#include "common/platform.h"
#include "common/profile.h"
#include "tests/support/install_scene.h"
#include "tests/support/temp_dir.h"

namespace {

using install_scene::read_bytes;
using install_scene::utf16le;

struct ProfileAt {
  const char* name;
  std::u16string within;  // the folder of the file below a temporary folder
};

TEST(Profile, WriteKeepsAUtf16FileInUtf16AtEveryPathLength) {
  const ProfileAt places[] = {
      {"a short path", u""},
      // Past 260 characters, where the platform's profile functions refuse the path.
      {"a long path", std::u16string(100, u'a') + u"/" + std::u16string(100, u'b') + u"/" + std::u16string(100, u'c') + u"/"},
  };
  for (const ProfileAt& place : places) {
    SCOPED_TRACE(place.name);
    TempDir dir;
    const std::u16string ini = dir.file(place.within + u"hook.ini");
    write_test_file(ini, utf16le(u"[HUD]\r\n; the key\r\nToggle_Key = X\r\n[other]\r\ntoggle_key=Z\r\n"));

    EXPECT_EQ(get_profile_string(u"hud", u"toggle_key", u"", ini, 32), u"X");
    EXPECT_TRUE(write_profile_string(u"hud", u"toggle_key", u"Q", ini));
    flush_profile(ini);
    // The key keeps its stored spelling and takes the new value; nothing else changes.
    EXPECT_EQ(read_bytes(ini), utf16le(u"[HUD]\r\n; the key\r\nToggle_Key=Q\r\n[other]\r\ntoggle_key=Z\r\n"));
    EXPECT_EQ(get_profile_string(u"hud", u"toggle_key", u"", ini, 32), u"Q");
    EXPECT_FALSE(install_scene::fs::exists(install_scene::fs::path(ini + u".vanro-new")));

    EXPECT_EQ(get_profile_string(u"hud", u"other", u"fallback", ini, 32), u"fallback");
    EXPECT_EQ(get_profile_string(u"hud", u"toggle_key", u"", dir.file(place.within + u"absent.ini"), 32), u"");
    const std::u16string long_value(40, u'k');
    EXPECT_TRUE(write_profile_string(u"hud", u"long", long_value, ini));
    EXPECT_EQ(get_profile_string(u"hud", u"long", u"", ini, 32), long_value.substr(0, 31))
        << "the buffer holds the terminator too";
  }
}

TEST(ProfileText, ReadsAndChangesAsTheProfileFunctionsDo) {
  EXPECT_EQ(profile_value(u"[hud]\r\ntoggle_key= 'x' \r\n", u"HUD", u"TOGGLE_KEY"), u"x");
  EXPECT_EQ(profile_value(u"[hud]\ntoggle_key=X\ntoggle_key=Y\n", u"hud", u"toggle_key"), u"X");
  EXPECT_EQ(profile_value(u"toggle_key=X\n[hud]\n", u"hud", u"toggle_key"), std::nullopt);
  const std::pair<std::u16string, std::u16string> writes[] = {
      {u"", u"[hud]\r\ntoggle_key=Y\r\n"},
      {u"[hud]\r\na=1", u"[hud]\r\na=1\r\ntoggle_key=Y\r\n"},
      {u"[hud]\na=1\n\n[b]\nc=2\n", u"[hud]\na=1\ntoggle_key=Y\n\n[b]\nc=2\n"},
      {u"[b]\nc=2", u"[b]\nc=2\n[hud]\ntoggle_key=Y\n"},
      {u"[Hud]\r\n  Toggle_Key =X\r\n", u"[Hud]\r\nToggle_Key=Y\r\n"},
  };
  for (const auto& [before, after] : writes)
    EXPECT_EQ(with_profile_value(before, u"hud", u"toggle_key", u"Y"), after) << testing::PrintToString(before);
}

}  // namespace
