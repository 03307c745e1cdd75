// Two installer programs started at once on one game directory: the create-only state file lets
// exactly one of them go on to copy files; the other stops before its first copy, never rolls
// back the winner's files, and the directory verifies.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <thread>

#include "installer/install_state.h"
#include "installer/operations.h"
#include "tests/support/install_scene.h"
#include "tests/support/process.h"

namespace {

using namespace install_scene;

// Where the second installer may stop, all before its copy phase: the state file is there (its own
// check, or its own state file's create-only rename), or the first one's files or staging files are.
const std::set<std::string> REFUSALS_BEFORE_COPYING = {
    "已有补丁安装记录。旧版覆盖式补丁请先使用原安装器卸载，再安装本隔离版补丁。",
    "游戏目录已有补丁组件。已装旧版补丁请先使用原安装器卸载；其他文件请先妥善保留。",
    "新增文件的目标已存在。",
    "发现残留的补丁临时文件。",
};

// The first line of a report on standard error: the message without the "文件：" line.
std::string first_line_of(const std::string& err) {
  std::string text = err.substr(0, err.find('\n'));
  if (!text.empty() && text.back() == '\r') text.pop_back();
  return text;
}

TEST(Concurrency, TwoInstallersAtOnceLetExactlyOneComplete) {
  for (int round = 0; round < 4; ++round) {
    Scene scene;
    const std::u16string installer = scene.package + u"/VANROInstaller.exe";
    RunResult first, second;
    std::thread a([&] { first = run_program(installer, {u"--install", u"--quiet", scene.game}); });
    std::thread b([&] { second = run_program(installer, {u"--install", u"--quiet", scene.game}); });
    a.join();
    b.join();

    ASSERT_EQ((first.exit_code == 0) + (second.exit_code == 0), 1)
        << "round " << round << ":\n" << first.err << "\n" << second.err;
    const RunResult& winner = first.exit_code == 0 ? first : second;
    const RunResult& loser = first.exit_code == 0 ? second : first;
    EXPECT_EQ(winner.out, reported("OK"));
    EXPECT_EQ(loser.exit_code, 1);
    EXPECT_EQ(REFUSALS_BEFORE_COPYING.count(first_line_of(loser.err)), 1u) << loser.err;

    EXPECT_EQ(message_of([&] { verify_installation(scene.game); }), "");
    // The loser copied nothing: no staging file is left, and the one state file is the winner's.
    for (const auto& [path, value] : snapshot(scene.game))
      EXPECT_EQ(path.find(".vanro-new"), std::string::npos) << path;
    EXPECT_EQ(read_install_state(scene.game).entries.size(), 515u);
  }
}

}  // namespace
