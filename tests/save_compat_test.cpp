#include "package/save_compat.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "common/patch_error.h"
#include "common/path.h"
#include "common/platform.h"
#include "common/text.h"
#include "integrity/sha256.h"
#include "tests/support/save_table_writer.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

const std::string GAME_MISSING = "游戏目录缺少存档兼容表要求的原版剧本文件。";
const std::string LIST_MISMATCH = "旧存档兼容表与汉化剧本清单不匹配。";
const std::string PATCH_MISMATCH = "补丁内的汉化剧本与存档兼容数据不匹配。";
const std::string MAPPING = "汉化剧本没有完整的旧存档兼容映射。";
const std::string REPARSE = "目录含符号链接或重解析点，操作已停止。";
const std::u16string TABLE_SUBJECT = u"_vanro\\save-offsets.bin";
const std::string MES = "_vanro/patch/AdvData/MES/";

void remove_path(const std::u16string& path) { fs::remove_all(fs::path(path)); }

struct Translation {
  std::size_t index;  // of the table record it translates
  std::string file_name;
  std::string content;
};

const std::vector<Translation> TRANSLATIONS = {
    {3, "s003.mes", "translated s003"},
    {100, "S100.MES", "translated s100"},  // matched to "s100" whatever the case
    {250, "s250.Mes", ""},
};

// A game directory with every script of the table, and a package root with the table and some
// translated scripts, agreeing everywhere until a test breaks one thing. The game directory is
// written once; reset() puts back what a case broke.
struct Fixture {
  TempDir temp;
  std::u16string game_dir = temp.file(u"game");
  std::u16string package_root = temp.file(u"package");
  std::vector<SaveCompatScript> scripts;
  std::vector<ManifestRecord> files;
  std::vector<std::string> damaged_game_scripts;

  Fixture() {
    for (const SaveCompatScript& script : minimal_save_scripts()) {
      write_test_file(game_script(script.name), "game script");
    }
    reset();
  }

  void reset() {
    scripts = minimal_save_scripts();
    files = {{"_vanro/hook.ini", "-", std::string(64, 'a')},
             {"_vanro/patch/AdvData/GRP/SYSTEM/x.png", "-", std::string(64, 'b')}};
    remove_path(package_root);
    for (const Translation& t : TRANSLATIONS) translate(t.index, t.file_name, t.content);
    write_table();
    for (const std::string& name : damaged_game_scripts) {
      remove_path(game_script(name));
      write_test_file(game_script(name), "game script");
    }
    damaged_game_scripts.clear();
  }

  void remove_game_script(const std::string& name) {
    damaged_game_scripts.push_back(name);
    remove_path(game_script(name));
  }

  // The patch brings a translation of table record `index` under the given file name.
  void translate(std::size_t index, const std::string& file_name, const std::string& content) {
    scripts[index].digest2 = sha256_hex(content);
    files.push_back({MES + file_name, "-", scripts[index].digest2});
    write_test_file(package_file(MES + file_name), content);
  }

  void write_table(const std::string& bytes) { write_test_file(package_file("_vanro/save-offsets.bin"), bytes); }
  void write_table() {
    fs::remove(fs::path(package_file("_vanro/save-offsets.bin")));
    write_table(save_table_bytes(scripts));
  }

  std::u16string game_script(const std::string& name) const {
    return join_path(join_path(join_path(game_dir, u"AdvData"), u"MES"), utf8_to_wide(name) + u".MES");
  }
  std::u16string package_file(const std::string& relative) const {
    return join_path(package_root, utf8_to_wide(relative));
  }
  ManifestRecord& record_of(const std::string& file_name) {
    for (ManifestRecord& record : files) {
      if (record.path == MES + file_name) return record;
    }
    throw std::logic_error("no such record");
  }

  std::string check() {
    reported_file = u"(before)";
    try {
      check_save_compat(game_dir, package_root, files);
    } catch (const PatchError& error) {
      return error.what();
    }
    return "";
  }
};

struct Case {
  const char* name;
  std::function<void(Fixture&)> change;
  std::string expected;
  std::function<std::u16string(const Fixture&)> subject;  // reported_file afterwards
};


TEST(CheckSaveCompat, MessagesAndTheirSubjects) {
  const auto last_game_script = [](const Fixture& f) { return f.game_script("s510"); };
  const auto table = [](const Fixture&) { return TABLE_SUBJECT; };
  const auto game = [](const char* name) { return [name](const Fixture& f) { return f.game_script(name); }; };
  const auto patch = [](const char* file_name) {
    return [file_name](const Fixture& f) { return f.package_file(MES + file_name); };
  };
  const std::string wrong = std::string(64, 'e');
  const std::vector<Case> cases = {
      {"everything agrees", [](Fixture&) {}, "", last_game_script},
      {"no translated scripts in the list",
       [](Fixture& f) { std::erase_if(f.files, [](const ManifestRecord& r) { return r.path.starts_with(MES); }); },
       "", last_game_script},
      {"empty list", [](Fixture& f) { f.files.clear(); }, "", last_game_script},
      {"untranslated game script missing", [](Fixture& f) { f.remove_game_script("s005"); }, GAME_MISSING, game("s005")},
      {"translated game script missing", [](Fixture& f) { f.remove_game_script("s003"); }, GAME_MISSING, game("s003")},
      {"last game script missing", [](Fixture& f) { f.remove_game_script("s510"); }, GAME_MISSING, game("s510")},
      {"directory with a script's name",
       [](Fixture& f) { f.remove_game_script("s005"); make_test_dir(f.game_script("s005")); },
       GAME_MISSING, game("s005")},
      {"first failing record in byte order is reported",
       [](Fixture& f) { f.remove_game_script("s007"); f.remove_game_script("s002"); },
       GAME_MISSING, game("s002")},
      {"game script missing before a broken translation",
       [&](Fixture& f) { f.remove_game_script("s003"); f.record_of("s003.mes").sha256 = wrong; },
       GAME_MISSING, game("s003")},
      {"game script missing before the mapping check",
       [](Fixture& f) {
         f.files.push_back({MES + "zzz.mes", "-", std::string(64, 'c')});
         f.remove_game_script("s400");
       },
       GAME_MISSING, game("s400")},
      {"list digest differs, translated file missing",
       [&](Fixture& f) { f.record_of("s003.mes").sha256 = wrong; remove_path(f.package_file(MES + "s003.mes")); },
       LIST_MISMATCH, game("s003")},
      {"table digest2 differs",
       [](Fixture& f) { f.scripts[100].digest2 = std::string(64, '0'); f.write_table(); },
       LIST_MISMATCH, game("s100")},
      {"upper-case digest in the list",
       [](Fixture& f) {
         std::string& digest = f.record_of("s003.mes").sha256;
         for (char& c : digest) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
       },
       LIST_MISMATCH, game("s003")},
      {"translated content changed", [](Fixture& f) { write_test_file(f.package_file(MES + "s003.mes"), "changed"); },
       PATCH_MISMATCH, patch("s003.mes")},
      {"translated content changed, file name in upper case",
       [](Fixture& f) { write_test_file(f.package_file(MES + "S100.MES"), "changed"); }, PATCH_MISMATCH,
       patch("S100.MES")},
      {"translated file missing", [](Fixture& f) { remove_path(f.package_file(MES + "s250.Mes")); }, PATCH_MISMATCH,
       patch("s250.Mes")},
      {"translated path is a directory",
       [](Fixture& f) { remove_path(f.package_file(MES + "s250.Mes")); make_test_dir(f.package_file(MES + "s250.Mes")); },
       PATCH_MISMATCH, patch("s250.Mes")},
      {"translated script above the hash limit",
       [](Fixture& f) {
         const std::u16string path = f.package_file(MES + "s250.Mes");
         fs::resize_file(fs::path(path), FILE_HASH_LIMIT + 1);
       },
       "File size exceeds limit", patch("s250.Mes")},
      {"lower-case prefix is not a translated script",
       [&](Fixture& f) { f.files.push_back({"_vanro/patch/advdata/mes/s004.mes", "-", wrong}); }, "", last_game_script},
      {"later record differing only in case is ignored",
       [&](Fixture& f) { f.files.push_back({MES + "S003.MES", "-", wrong}); }, "", last_game_script},
      {"earlier record differing only in case decides",
       [&](Fixture& f) { f.files.insert(f.files.begin(), {MES + "S003.MES", "-", wrong}); }, LIST_MISMATCH, game("s003")},
      {"translated script without a table record",
       [](Fixture& f) {
         f.files.push_back({MES + "zzz.mes", "-", std::string(64, 'c')});
         write_test_file(f.package_file(MES + "zzz.mes"), "no record");
       },
       MAPPING, last_game_script},
      {"translated script in a sub-folder",
       [](Fixture& f) { f.files.push_back({MES + "sub/s004.mes", "-", std::string(64, 'c')}); }, MAPPING,
       last_game_script},
      {"translated script with another extension",
       [](Fixture& f) { f.files.push_back({MES + "s004.txt", "-", std::string(64, 'c')}); }, MAPPING,
       last_game_script},
      {"table missing", [](Fixture& f) { remove_path(f.package_file("_vanro/save-offsets.bin")); },
       "Cannot open input file", table},
      {"table is a directory",
       [](Fixture& f) {
         remove_path(f.package_file("_vanro/save-offsets.bin"));
         make_test_dir(f.package_file("_vanro/save-offsets.bin"));
       },
       "Cannot open input file", table},
      {"table with a trailing byte", [](Fixture& f) { f.write_table(save_table_bytes(f.scripts) + "x"); },
       "Trailing save compatibility data", table},
      {"table of 510 records",
       [](Fixture& f) {
         f.scripts.pop_back();
         f.write_table();
       },
       "Wrong save compatibility table identity", table},
  };
  Fixture f;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    f.reset();
    c.change(f);
    EXPECT_EQ(f.check(), c.expected);
    EXPECT_EQ(wide_to_utf8(reported_file), wide_to_utf8(c.subject(f)));
  }
}

TEST(CheckSaveCompat, TableAboveItsReadLimit) {
  Fixture f;
  fs::resize_file(fs::path(f.package_file("_vanro/save-offsets.bin")), SAVE_TABLE_LIMIT + 1);
  EXPECT_EQ(f.check(), "File size exceeds limit");
  EXPECT_EQ(wide_to_utf8(reported_file), wide_to_utf8(TABLE_SUBJECT));
}

// Symbolic links stand for reparse points on Linux. Under Wine links cannot be made from inside
// the test, so these run natively only.
TEST(CheckSaveCompat, LinksAreRefused) {
  if (platform::PREFERRED_SEPARATOR == u'\\') {
    GTEST_SKIP() << "links are made with ln -s outside Wine";
  }
  {
    SCOPED_TRACE("game script is a link to a file");
    Fixture f;
    const fs::path script(f.game_script("s005"));
    fs::rename(script, fs::path(f.temp.file(u"elsewhere.MES")));
    fs::create_symlink(fs::path(f.temp.file(u"elsewhere.MES")), script);
    EXPECT_EQ(f.check(), GAME_MISSING);
    EXPECT_EQ(wide_to_utf8(reported_file), wide_to_utf8(f.game_script("s005")));
  }
  {
    // Refused while its path is resolved, so the report still names the game's script.
    SCOPED_TRACE("translated script is a link to a file with the right content");
    Fixture f;
    const fs::path script(f.package_file(MES + "s003.mes"));
    fs::rename(script, fs::path(f.temp.file(u"s003.mes")));
    fs::create_symlink(fs::path(f.temp.file(u"s003.mes")), script);
    EXPECT_EQ(f.check(), REPARSE);
    EXPECT_EQ(wide_to_utf8(reported_file), wide_to_utf8(f.game_script("s003")));
  }
  {
    SCOPED_TRACE("folder of the translated scripts is a link");
    Fixture f;
    const fs::path folder(f.package_file("_vanro/patch/AdvData/MES"));
    fs::rename(folder, fs::path(f.temp.file(u"mes")));
    fs::create_directory_symlink(fs::path(f.temp.file(u"mes")), folder);
    EXPECT_EQ(f.check(), REPARSE);
    EXPECT_EQ(wide_to_utf8(reported_file), wide_to_utf8(f.game_script("s003")));
  }
  {
    SCOPED_TRACE("folder of the table is a link");
    Fixture f;
    const fs::path folder(f.package_file("_vanro"));
    fs::rename(folder, fs::path(f.temp.file(u"vanro")));
    fs::create_directory_symlink(fs::path(f.temp.file(u"vanro")), folder);
    EXPECT_EQ(f.check(), REPARSE);
    EXPECT_EQ(wide_to_utf8(reported_file), wide_to_utf8(TABLE_SUBJECT));
  }
}

}  // namespace
