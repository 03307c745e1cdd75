// Crash safety, proven by walking: for every mutating platform call of a whole install and of a
// whole uninstall of the small demo, the real installer program is run with that call made to fail
// (VANRO_FAULT=fail:N), with the process ended abruptly there (crash:N), or with the power cut there
// (cut-zero:N, cut-truncate:N: every file loses what was written to it since its last flush, zeroed
// or cut off, while completed creates, renames and deletes stay), or with that call and the next two
// that name a file answering that another program holds it (held:N:3), which the run must wait out
// and then complete as if nothing had happened. After each run the game's own
// files must be byte-identical, no file the user changed may be gone, nothing outside the game
// directory may have changed, verify may say OK only when every installed file holds its recorded
// content, and the directory must recover: an uninstall, repeated as often as it asks, completes and
// leaves the game folder as it was before the install (record folders aside), and then a new
// install succeeds.
//
// Natively every point is walked (VANRO_FAULT_STRIDE=K walks every K-th for a quick look). Under
// Wine each run costs a Windows process start, so there every 25th point is walked by default.
// scripts/test.sh, which CI runs, sets K to 8 natively and to 100 under Wine to stay within its time.
// Each walk is cut into shards, separate tests that ctest runs side by side; shard s of K takes the
// points s+1, s+1+K, ... so that each sees every phase of the operation.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <tuple>

#include "common/platform.h"
#include "installer/install_state.h"
#include "installer/operations.h"
#include "tests/support/install_scene.h"
#include "tests/support/process.h"

namespace {

using namespace install_scene;

// Every shard first installs and uninstalls once in process to count the calls, which under Wine
// costs about as much as a dozen walked points; there the walk is therefore cut into fewer shards.
#ifdef _WIN32
constexpr uint64_t DEFAULT_STRIDE = 25;
constexpr uint64_t INSTALL_SHARDS = 2, UNINSTALL_SHARDS = 1;
#else
constexpr uint64_t DEFAULT_STRIDE = 1;
constexpr uint64_t INSTALL_SHARDS = 6, UNINSTALL_SHARDS = 3;
#endif

// How a walked run ends at its fault point: VANRO_FAULT's word for it (the point follows it, then
// `then`), and the tests' name for it.
const struct {
  const char* fault;
  const char* name;
  const char* then = "";
} MODES[] = {{"fail", "Fail"},
             {"crash", "Crash"},
             {"held", "Held", ":3"},
             {"cut-zero", "PowerCutZero"},
             {"cut-truncate", "PowerCutTruncate"}};
constexpr std::size_t MODE_COUNT = std::size(MODES);

const std::string USER_FILE = "saves/slot01.dat";
const std::string RUNTIME_LOG = "_vanro/runtime.log";

uint64_t stride() {
  const char* text = std::getenv("VANRO_FAULT_STRIDE");
  uint64_t value = text ? std::strtoull(text, nullptr, 10) : DEFAULT_STRIDE;
  return value == 0 ? 1 : value;
}

std::string digest_at(const fs::path& path) {
  std::error_code error;
  fs::file_status status = fs::symlink_status(path, error);
  if (error || !fs::exists(status)) return "";
  if (fs::is_directory(status)) return "dir";
  if (!fs::is_regular_file(status)) return "other";
  return sha256_hex(read_bytes(path.u16string()));
}

// A file the user owns must stay where it is or have a kept copy in some record directory's
// user-edits/ folder.
bool kept_somewhere(const fs::path& game, const std::string& path, const std::string& digest) {
  if (digest_at(game / path) == digest) return true;
  for (const auto& record : fs::directory_iterator(game)) {
    fs::path kept = record.path() / "user-edits";
    if (record.path().filename().string().rfind("VANRO_backup_", 0) != 0 || !fs::is_directory(kept)) continue;
    for (const auto& copy : fs::directory_iterator(kept))
      if (digest_at(copy.path()) == digest) return true;
  }
  return false;
}

enum class Walk { install, uninstall };

struct Outcome {
  uint64_t covered = 0, recovered = 0;
  std::string failures;
};

// One worker's folder: a package of its own and the game directory the runs work on.
struct Bench {
  SceneDir dir;
  std::u16string package = dir.file(u"package"), game = dir.file(u"game");
  std::u16string installer = package + u"/VANROInstaller.exe";
  Snapshot package_pristine;

  Bench() {
    copy_tree(small_demo().package, package);
    package_pristine = snapshot(package);
  }
  RunResult run(const std::vector<std::u16string>& arguments, const Environment& environment = {}) const {
    std::vector<std::u16string> all = arguments;
    all.push_back(game);
    return run_program(installer, all, environment);
  }
  // The start's files are linked, not copied: no run changes a file in place, and the start's
  // digests are checked again at the end of the walk.
  void reset_to(const std::u16string& start) const {
    fs::remove_all(fs::path(game));
    fs::copy(fs::path(start), fs::path(game), fs::copy_options::recursive | fs::copy_options::create_hard_links);
  }
};

// Everything that must hold after any run, finished or not. Empty when all holds. The package,
// the only other thing in the worker's folder, is compared once at the end of the walk: nothing
// ever restores it, so a change made by any run would still show there.
std::string check_invariants(const Bench& bench, const Snapshot& game_files, const Snapshot& user_files) {
  std::string problems;
  const fs::path game(bench.game);
  for (const auto& [path, value] : game_files)
    if (digest_at(game / path) != value) problems += "  game file changed or gone: " + path + "\n";
  for (const auto& [path, digest] : user_files)
    if (!kept_somewhere(game, path, digest)) problems += "  user's file lost: " + path + "\n";
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(fs::path(bench.dir.path))) ++entries;
  if (entries != 2) problems += "  something new beside the game directory\n";
  return problems;
}

// The recorded files that do not hold their recorded content (hook.ini, which holds the chosen key,
// aside), when a state file is there.
std::string damaged_files(const Bench& bench) {
  std::string damaged;
  for (const ManifestRecord& record : read_install_state(bench.game).entries)
    if (record.path != "_vanro/hook.ini" && digest_at(fs::path(bench.game) / record.path) != record.sha256)
      damaged += " " + record.path;
  return damaged;
}

// Verify tells the truth, uninstall as often as it asks (a bounded number of times) leaves the game
// as it was, then a new install must succeed. Empty when the directory recovered; otherwise what
// was left.
std::string recover(const Bench& bench, const Snapshot& game_files) {
  const fs::path state(bench.game + u"/" + INSTALL_STATE_NAME);
  if (fs::exists(state) && bench.run({u"--verify", u"--quiet"}).exit_code == 0) {
    std::string damaged = damaged_files(bench);
    if (!damaged.empty()) return "  verify says OK, but these differ from their records:" + damaged + "\n";
  }
  std::string last_error;
  for (int attempt = 0; attempt < 4 && fs::exists(state); ++attempt) last_error = bench.run({u"--uninstall", u"--quiet"}).err;
  if (fs::exists(state)) return "  uninstall does not complete: " + last_error;
  Snapshot left_behind = snapshot(bench.game);
  std::erase_if(left_behind, [](const auto& entry) { return entry.first.rfind("VANRO_backup_", 0) == 0; });
  std::string left = differences(game_files, left_behind);
  if (!left.empty()) return "  the uninstall leaves the game folder changed:\n" + left;
  RunResult install = bench.run({u"--install", u"--quiet", u"--hotkey", u"Q"});
  if (install.exit_code != 0) return "  a new install fails: " + install.err;
  return "";
}

Outcome walk(Walk kind, std::size_t mode, const std::u16string& start, uint64_t calls,
             uint64_t shard, uint64_t shards, const Snapshot& game_files, const Snapshot& user_files) {
  const std::string mode_text = std::string(MODES[mode].fault) + ":";
  const Snapshot start_before = snapshot(start);
  Outcome outcome;
  Bench bench;
  for (uint64_t n = 1 + shard * stride(); n <= calls; n += shards * stride()) {
    bench.reset_to(start);
    const Environment fault{{"VANRO_FAULT", mode_text + std::to_string(n) + MODES[mode].then}};
    RunResult faulted = kind == Walk::install ? bench.run({u"--install", u"--quiet", u"--hotkey", u"Q"}, fault)
                                              : bench.run({u"--uninstall", u"--quiet"}, fault);
    std::string problems = check_invariants(bench, game_files, user_files);
    if (std::string(MODES[mode].fault) == "held" && faulted.exit_code != 0) problems += "  a brief hold was not waited out\n";
    std::string recovery = problems.empty() ? recover(bench, game_files) : "";
    if (problems.empty() && recovery.empty()) problems = check_invariants(bench, game_files, user_files);
    ++outcome.covered;
    if (problems.empty() && recovery.empty()) ++outcome.recovered;
    else
      outcome.failures += mode_text + std::to_string(n) + " (exit " + std::to_string(faulted.exit_code) + ", " +
                          faulted.err + "):\n" + problems + recovery;
  }
  std::string outside = differences(bench.package_pristine, snapshot(bench.package));
  if (!outside.empty()) outcome.failures += "the package changed:\n" + outside;
  std::string start_changed = differences(start_before, snapshot(start));
  if (!start_changed.empty()) outcome.failures += "a run changed a linked file:\n" + start_changed;
  return outcome;
}

// The starting points of the two walks, and the number of mutating calls of each whole operation,
// counted in this process with the same code the installer program runs.
struct Starts {
  SceneDir dir;
  std::u16string fresh = dir.file(u"fresh"), installed = dir.file(u"installed");
  uint64_t install_calls = 0, uninstall_calls = 0;
  Snapshot game_files, user_files;

  Starts() {
    Scene scene;
    write_test_file(scene.in_game(utf8_to_wide(USER_FILE)), "the user's own save");
    game_files = snapshot(scene.game);
    copy_tree(scene.game, fresh);

    selected_hotkey = u"Q";
    platform::testing::set_fault(platform::testing::FaultMode::none, 0);
    install_patch(scene.game);
    install_calls = platform::testing::mutating_calls();
    selected_hotkey = u"X";
    write_test_file(scene.in_game(utf8_to_wide(RUNTIME_LOG)), "written by the runtime while the game ran");
    copy_tree(scene.game, installed);

    Snapshot now = snapshot(scene.game);
    user_files = {{USER_FILE, now[USER_FILE]}, {RUNTIME_LOG, now[RUNTIME_LOG]}, {"_vanro/hook.ini", now["_vanro/hook.ini"]}};
    platform::testing::set_fault(platform::testing::FaultMode::none, 0);
    uninstall_patch(scene.game, false);
    uninstall_calls = platform::testing::mutating_calls();
  }
};

const Starts& starts() {
  static Starts value;
  return value;
}

using WalkParameters = std::tuple<Walk, std::size_t, uint64_t>;

class CrashSafety : public ::testing::TestWithParam<WalkParameters> {};

TEST_P(CrashSafety, EveryFaultPointRecovers) {
  const auto [kind, mode, shard] = GetParam();
  const Starts& s = starts();
  ASSERT_GT(s.install_calls, 1030u);
  ASSERT_GT(s.uninstall_calls, 515u);
  const bool install = kind == Walk::install;
  const uint64_t shards = install ? INSTALL_SHARDS : UNINSTALL_SHARDS;
  // Two points past the last call fail nothing: those runs must simply complete.
  const uint64_t calls = (install ? s.install_calls : s.uninstall_calls) + 2;
  Outcome outcome = walk(kind, mode, install ? s.fresh : s.installed, calls, shard, shards, s.game_files,
                         install ? Snapshot{{USER_FILE, s.game_files.at(USER_FILE)}} : s.user_files);
  std::printf("%s, %s, shard %llu of %llu: %llu fault points covered, %llu recovered (%llu mutating calls in all)\n",
              install ? "install" : "uninstall", MODES[mode].fault,
              static_cast<unsigned long long>(shard + 1), static_cast<unsigned long long>(shards),
              static_cast<unsigned long long>(outcome.covered), static_cast<unsigned long long>(outcome.recovered),
              static_cast<unsigned long long>(calls - 2));
  EXPECT_GT(outcome.covered, 0u);
  EXPECT_EQ(outcome.covered, outcome.recovered) << outcome.failures;
  EXPECT_EQ(outcome.failures, "");
}

std::string walk_name(const ::testing::TestParamInfo<WalkParameters>& info) {
  const auto [kind, mode, shard] = info.param;
  return std::string(kind == Walk::install ? "Install" : "Uninstall") + MODES[mode].name + std::to_string(shard + 1);
}

INSTANTIATE_TEST_SUITE_P(Install, CrashSafety,
                         ::testing::Combine(::testing::Values(Walk::install),
                                            ::testing::Range<std::size_t>(0, MODE_COUNT),
                                            ::testing::Range<uint64_t>(0, INSTALL_SHARDS)),
                         walk_name);
INSTANTIATE_TEST_SUITE_P(Uninstall, CrashSafety,
                         ::testing::Combine(::testing::Values(Walk::uninstall),
                                            ::testing::Range<std::size_t>(0, MODE_COUNT),
                                            ::testing::Range<uint64_t>(0, UNINSTALL_SHARDS)),
                         walk_name);

}  // namespace
