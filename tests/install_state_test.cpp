#include "installer/install_state.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "common/patch_error.h"
#include "common/platform.h"
#include "common/text.h"
#include "tests/support/manifest_builder.h"
#include "tests/support/message.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

const std::string EMPTY = "安装状态文件为空。";
const std::string OLD_PATCH = "检测到旧版覆盖式补丁，请先使用安装该版本的原安装器卸载，再安装隔离版补丁。";
const std::string BAD_HEADER = "安装状态头无效。";
const std::string RECORD_DIR_MISSING = "安装记录目录缺失，请保留现状并恢复该目录后重试。";
const std::string BAD_FIELD = "补丁清单路径或哈希无效。";
const std::string REPARSE = "目录含符号链接或重解析点，操作已停止。";
const std::string NAME = "VANRO_backup_20240131_235959_1234";

std::string records_text(const std::vector<ManifestRecord>& records) {
  std::string text;
  for (const ManifestRecord& record : records) text += manifest_line(record) + "\n";
  return text;
}

// A game directory with the record directory NAME and a state file of the given bytes.
struct StateDir {
  TempDir temp;
  explicit StateDir(const std::string& state) {
    make_test_dir(temp.file(utf8_to_wide(NAME)));
    write_test_file(temp.file(INSTALL_STATE_NAME), state);
  }
  std::string read_error() { return message_of([&] { read_install_state(temp.path); }); }
};

std::string valid_state(const std::string& line_end = "\n") {
  std::string text = "VANROSTATE02\t" + NAME + line_end;
  for (const ManifestRecord& record : valid_manifest_records(RecordMode::install_state))
    text += manifest_line(record) + line_end;
  return text;
}

TEST(InstallState, FormatsTheStateFileWithLfLines) {
  std::vector<ManifestRecord> records = valid_manifest_records(RecordMode::install_state);
  std::string text = format_install_state(utf8_to_wide(NAME), records);
  EXPECT_EQ(text, "VANROSTATE02\t" + NAME + "\n" + records_text(records));
  EXPECT_EQ(text.find('\r'), std::string::npos);
}

TEST(InstallState, FormatsTheRecordTextWithCrLfLines) {
  std::string text = format_record_text(u"C:\\Games\\Lirra 汉化");
  EXPECT_EQ(text,
            "本目录保存安装记录及卸载时保留的用户配置、日志。\r\n"
            "游戏目录：C:\\Games\\Lirra 汉化\r\n"
            "原版 ZDH.EXE 保持原样。汉化版请使用 VANROLauncher.exe 启动。\r\n"
            "安装器生成的内部游戏组件保存在 _vanro 中。\r\n"
            "汉化资源位于 _vanro/patch/AdvData；原 AdvData 不被替换。\r\n"
            "不安装系统字体或注册表项。卸载时仅移除本补丁新增文件。\r\n");
}

TEST(InstallState, RecordDirectoryNameHoldsTimeAndProcessId) {
  std::string name = wide_to_utf8(make_record_dir_name());
  std::smatch match;
  ASSERT_TRUE(std::regex_match(name, match, std::regex("VANRO_backup_(\\d{4})(\\d{2})(\\d{2})_(\\d{2})(\\d{2})(\\d{2})_([1-9]\\d*)")))
      << name;
  EXPECT_EQ(match[7].str(), std::to_string(platform::current_process_id()));
  int month = std::stoi(match[2].str()), day = std::stoi(match[3].str()), hour = std::stoi(match[4].str());
  EXPECT_TRUE(month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour <= 23) << name;
}

TEST(InstallState, UserEditsNamesCountFromZero) {
  EXPECT_EQ(user_edits_candidate("hook.ini", 0), "user-edits/hook.ini");
  EXPECT_EQ(user_edits_candidate("hook.ini", 1), "user-edits/hook.ini.0");
  EXPECT_EQ(user_edits_candidate("hook.ini", 2), "user-edits/hook.ini.1");
  EXPECT_EQ(user_edits_candidate("runtime.log", 12), "user-edits/runtime.log.11");
}

TEST(InstallState, ReadsWhatTheInstallWrites) {
  std::vector<ManifestRecord> records = valid_manifest_records(RecordMode::install_state);
  StateDir dir(format_install_state(utf8_to_wide(NAME), records));
  InstallState state = read_install_state(dir.temp.path);
  EXPECT_EQ(state.record_dir, dir.temp.file(utf8_to_wide(NAME)));
  ASSERT_EQ(state.entries.size(), records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(state.entries[i].path, records[i].path);
    EXPECT_EQ(state.entries[i].sha256, records[i].sha256);
  }
}

TEST(InstallState, CrLfLinesReadLikeLf) {
  StateDir lf(valid_state("\n")), crlf(valid_state("\r\n"));
  InstallState a = read_install_state(lf.temp.path), b = read_install_state(crlf.temp.path);
  ASSERT_EQ(a.entries.size(), b.entries.size());
  for (std::size_t i = 0; i < a.entries.size(); ++i) EXPECT_EQ(a.entries[i].path, b.entries[i].path);
}

TEST(InstallState, RefusesBadHeaders) {
  const std::string body = records_text(valid_manifest_records(RecordMode::install_state));
  struct Case {
    std::string state;
    std::string message;
  };
  const Case cases[] = {
      {"", EMPTY},
      {"\n", BAD_HEADER},
      {"VANROSTATE01\n" + body, OLD_PATCH},
      {"VANROSTATE01\t" + NAME + "\tmore\n" + body, OLD_PATCH},
      {"VANROSTATE02\n" + body, BAD_HEADER},
      {"VANROSTATE02\t" + NAME + "\tthird\n" + body, BAD_HEADER},
      {"VANROSTATE02\t" + NAME + "\t\n" + body, BAD_HEADER},
      {"vanrostate02\t" + NAME + "\n" + body, BAD_HEADER},
      {"VANROSTATE02\tvanro_backup_20240131_235959_1234\n" + body, BAD_HEADER},
      {"VANROSTATE02\t" + NAME + "/x\n" + body, BAD_HEADER},
      {"VANROSTATE02\t" + NAME + "\\x\n" + body, BAD_HEADER},
      // Names that would lead out of the game directory.
      {"VANROSTATE02\tVANRO_backup_/../..\n" + body, BAD_HEADER},
      {"VANROSTATE02\tVANRO_backup_..\n" + body, BAD_HEADER},
      {"VANROSTATE02\t/tmp/VANRO_backup_x\n" + body, BAD_HEADER},
      {"VANROSTATE02\tC:\\VANRO_backup_x\n" + body, BAD_HEADER},
      {"VANROSTATE02\tVANRO_backup_x:y\n" + body, BAD_HEADER},
      {"\xEF\xBB\xBFVANROSTATE02\t" + NAME + "\n" + body, BAD_HEADER},
      {"VANROSTATE02\t" + NAME + "\n\xFF" + body, "Invalid UTF-8"},
  };
  for (const Case& c : cases) {
    StateDir dir(c.state);
    EXPECT_EQ(dir.read_error(), c.message) << c.state.substr(0, 60);
  }
}

TEST(InstallState, RefusesBadRecords) {
  std::vector<ManifestRecord> generated = valid_manifest_records(RecordMode::manifest);
  std::vector<ManifestRecord> climbing = valid_manifest_records(RecordMode::install_state);
  climbing[0].path = "_vanro/patch/AdvData/MES/../../../../x.mes";
  std::vector<ManifestRecord> absolute = valid_manifest_records(RecordMode::install_state);
  absolute[0].path = "/etc/passwd";
  std::vector<ManifestRecord> missing = valid_manifest_records(RecordMode::install_state);
  missing.pop_back();
  for (const auto& records : {generated, climbing, absolute}) {
    StateDir dir("VANROSTATE02\t" + NAME + "\n" + records_text(records));
    EXPECT_EQ(dir.read_error(), BAD_FIELD);
  }
  StateDir short_list("VANROSTATE02\t" + NAME + "\n" + records_text(missing));
  EXPECT_EQ(short_list.read_error(), "隔离版补丁清单条数或资源数量无效。");
}

TEST(InstallState, MissingStateFileFailsInTheRead) {
  TempDir temp;
  EXPECT_EQ(message_of([&] { read_install_state(temp.path); }), "Cannot open input file");
}

TEST(InstallState, RecordDirectoryMustBeADirectory) {
  StateDir deleted(valid_state());
  fs::remove(fs::path(deleted.temp.file(utf8_to_wide(NAME))));
  EXPECT_EQ(deleted.read_error(), RECORD_DIR_MISSING);

  StateDir file(valid_state());
  fs::remove(fs::path(file.temp.file(utf8_to_wide(NAME))));
  write_test_file(file.temp.file(utf8_to_wide(NAME)), "not a directory");
  EXPECT_EQ(file.read_error(), RECORD_DIR_MISSING);
}

#ifndef _WIN32
// A Windows program under Wine cannot make links; the POSIX build reports a link as a reparse point.
TEST(InstallState, RecordDirectoryThatIsALinkIsRefused) {
  StateDir dir(valid_state());
  TempDir elsewhere;
  const fs::path record(dir.temp.file(utf8_to_wide(NAME)));
  fs::remove(record);
  fs::create_directory_symlink(fs::path(elsewhere.path), record);
  EXPECT_EQ(dir.read_error(), REPARSE);
}
#endif

}  // namespace
