// What a player waits for when the patch is installed, verified and uninstalled, measured with the
// real installer programs on the realistic demo (made by ../tools/vanro-demo), against plain tools
// doing the least that the same work needs, all in one run:
//   - the native build in an ordinary disk folder, where games live and every flush reaches the disk,
//     and in a memory file system (/dev/shm), which shows the program's own work without the disk;
//   - the win64 build under Wine (/usr/lib/wine/wine64), its prefix on the disk and the game and
//     package on the prefix's drive C:, as on a Windows machine;
//   - the durable reference: cp -r of the patch folder, three openssl dgst -sha256 passes over it
//     (the install hashes every packaged file three times and copies it once), then an fsync of every
//     copied file, one after another, once all are copied (coreutils sync with file operands). That
//     is the fair floor: on Windows a file's data becomes durable only through that file's own flush,
//     so an installer pays at least one flush a file, and the reference pays just that, with nothing
//     in between. A whole-file-system sync (sync -f) would be cheaper than any installer can be, and
//     would also write out whatever the other work on this machine has left unwritten;
//   - one openssl pass over the installed files: verify reads and hashes each of them once, and the
//     uninstall too, which then deletes them: rm -r of a copy of the installed files (made untimed)
//     measures the deletions and the removal of the emptied folders;
//   - the Wine floor (install_floor.exe of the win64 build, on a copy of its own): a Windows program
//     that makes only the system calls an install, a verify and an uninstall of these files cannot
//     do without (see its own header), with the installer's SHA-256 code and the same single-threaded
//     COM start-up.
//     Under Wine every file call is a round trip through Wine, so the native reference says little
//     about what a Windows program can reach there; the floor says what any would;
//   - Wine's own start, for information: the win64 launcher run with --check in a folder that holds
//     no game, which it refuses at once.
// The candidates take turns, round after round, each round starting with the next one; the best
// (shortest) wall time of each counts, as that run was the least disturbed by other work on the
// machine. Speed never fails the benchmark; a failing install, verify or uninstall does, as its
// figures would mean nothing. Without Wine or the win64 build the Wine figures are unavailable.
// The peak resident memory of the native install and verify is shown against its budget, the
// largest packaged file + 32 MiB. Last line: install_disk=R1 install_wine=R2 verify=R3 verify_wine=R4
// uninstall=R5 uninstall_wine=R6, where
//   R1 = native install on disk / durable reference,
//   R2 = Wine install / the Wine floor's install, or na without Wine,
//   R3 = native verify on disk / one hash pass over the installed files,
//   R4 = Wine verify / the Wine floor's verify, or na without Wine,
//   R5 = native uninstall on disk / (one hash pass over the installed files + their deletions),
//   R6 = Wine uninstall / the Wine floor's uninstall, or na without Wine.
//
// usage: install_bench [--runs N] [--win64 DIR] [--disk DIR] [--memory DIR]
//   --runs    rounds, default 5 (about a minute on two busy cores);
//   --win64   the win64 build folder, default win64 beside this native build folder;
//   --disk    where the disk copies live, default this native build folder;
//   --memory  where the memory copies live, default /dev/shm.
// WINEPREFIX defaults to wineprefix beside this native build folder, as scripts/test.sh sets it.
#include <fcntl.h>
#include <linux/magic.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr char WINE[] = "/usr/lib/wine/wine64";
constexpr char WINESERVER[] = "/usr/lib/wine/wineserver";

struct Run {
  double seconds = 0;
  long peak_kib = 0;
  int exit_code = -1;
};

// Every program's output goes here, to be shown when it fails.
fs::path output_log = "/dev/null";

std::string last_output() {
  std::ifstream in(output_log, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Run run(const std::vector<std::string>& arguments) {
  std::vector<std::string> copies = arguments;
  std::vector<char*> argv;
  for (std::string& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) throw std::runtime_error("cannot start " + arguments[0]);
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  Run result;
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.peak_kib = usage.ru_maxrss;
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

Run shell(const std::string& command) { return run({"/bin/sh", "-c", command}); }

Run expect(const Run& r, int exit_code, const std::string& what) {
  if (r.exit_code != exit_code)
    throw std::runtime_error(what + " ended with exit code " + std::to_string(r.exit_code) + " instead of " +
                             std::to_string(exit_code) + "; its output:\n" + last_output());
  return r;
}

Run must(const Run& r, const std::string& what) { return expect(r, 0, what); }

std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

std::string hash_pass(const fs::path& folder) {
  return "find " + quoted(folder) + " -type f -print0 | xargs -0 openssl dgst -sha256 > /dev/null";
}

double best(const std::vector<double>& times) { return *std::min_element(times.begin(), times.end()); }

double median(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  std::size_t n = times.size();
  return n % 2 == 1 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
}

std::string file_system(const fs::path& folder) {
  struct statfs about {};
  if (statfs(folder.c_str(), &about) != 0) throw std::runtime_error("cannot inspect " + folder.string());
  switch (about.f_type) {
    case TMPFS_MAGIC: return "tmpfs";
    case RAMFS_MAGIC: return "ramfs";
    case EXT4_SUPER_MAGIC: return "ext2/3/4";
    case XFS_SUPER_MAGIC: return "xfs";
    case BTRFS_SUPER_MAGIC: return "btrfs";
    case OVERLAYFS_SUPER_MAGIC: return "overlay";
    default: {
      char hex[32];
      std::snprintf(hex, sizeof hex, "type 0x%lx", static_cast<unsigned long>(about.f_type));
      return hex;
    }
  }
}

bool in_memory(const fs::path& folder) {
  std::string type = file_system(folder);
  return type == "tmpfs" || type == "ramfs";
}

std::string load_average() {
  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) != 3) return "unknown";
  char text[64];
  std::snprintf(text, sizeof text, "%.2f %.2f %.2f", load[0], load[1], load[2]);
  return text;
}

// ---- the demo and its copies ----------------------------------------------------------------------

void make_demo(const fs::path& native_build, const fs::path& out, const fs::path& installer,
               const fs::path& launcher) {
  must(run({(native_build / "tools" / "vanro-demo").string(), "--profile", "realistic", "--seed", "1", "--out",
            out.string(), "--installer", installer.string(), "--launcher", launcher.string()}),
       "vanro-demo");
}

// A game and package of the demo's of their own, so that no run shares files with another.
struct Copy {
  fs::path root, package, game;
};

Copy copy_demo(const fs::path& demo, const fs::path& root) {
  fs::remove_all(root);
  fs::create_directories(root);
  fs::copy(demo / "package", root / "package", fs::copy_options::recursive);
  fs::copy(demo / "game", root / "game", fs::copy_options::recursive);
  // In the page cache before anything is timed, as a package just downloaded would be.
  must(shell(hash_pass(root)), "reading " + root.string());
  return {root, root / "package", root / "game"};
}

// The files an install puts in the game folder: the manifest's paths.
std::vector<std::string> installed_files(const Copy& copy) {
  std::ifstream manifest(copy.package / "patch-manifest.tsv");
  std::vector<std::string> paths;
  std::string line;
  std::getline(manifest, line);  // the magic
  while (std::getline(manifest, line)) paths.push_back(line.substr(0, line.find('\t')));
  return paths;
}

// NUL-separated, for xargs -0.
fs::path write_list(const std::vector<std::string>& paths, const fs::path& list) {
  std::ofstream out(list, std::ios::binary);
  for (const std::string& path : paths) out << path << '\0';
  return list;
}

// ---- the measurements -----------------------------------------------------------------------------

struct Reference {
  std::vector<double> seconds, flush_seconds;
};

// Timed in two steps to show how much of it is the disk's.
void durable_reference(const Copy& disk, Reference& reference) {
  const fs::path patch = disk.package / "patch";
  const fs::path copy = disk.root / "reference-copy";
  Run copied = must(shell("cp -r " + quoted(patch) + " " + quoted(copy) + " && " + hash_pass(patch) + " && " +
                          hash_pass(patch) + " && " + hash_pass(patch)),
                    "the durable reference's copy and hash passes");
  Run flushed = must(shell("find " + quoted(copy) + " -type f -print0 | xargs -0 sync --"),
                     "the durable reference's flush");
  fs::remove_all(copy);
  reference.seconds.push_back(copied.seconds + flushed.seconds);
  reference.flush_seconds.push_back(flushed.seconds);
}

double hash_pass_over_installed(const Copy& disk, const fs::path& installed_list) {
  return must(shell("cd " + quoted(disk.game) + " && xargs -0 openssl dgst -sha256 < " + quoted(installed_list) +
                    " > /dev/null"),
              "the hash pass over the installed files")
      .seconds;
}

// The deletions an uninstall cannot do without, on a copy of what the install put in place. The
// copy is on disk first, as the installed files are: deleting a file whose blocks are not allocated
// yet costs the file system next to nothing.
double deletions(const Copy& disk, const fs::path& installed_list) {
  const fs::path copy = disk.root / "deletion-copy";
  must(shell("mkdir -p " + quoted(copy) + " && cd " + quoted(disk.game) + " && xargs -0 cp --parents -t " +
             quoted(copy) + " < " + quoted(installed_list) + " && sync -f " + quoted(copy)),
       "copying the installed files");
  return must(shell("rm -r " + quoted(copy)), "the deletions").seconds;
}

double wine_start(const std::string& launcher_without_game) {
  return expect(run({WINE, launcher_without_game, "--check", "--quiet"}), 1,
                "the launcher in a folder without a game (Wine's start)")
      .seconds;
}

// One installer program on its own copy of the demo.
struct Installer {
  std::string name;
  std::vector<std::string> program;  // its path, or Wine and its C:\ path
  std::string game;                  // the game folder as the program names it
  std::vector<double> install, verify, uninstall;
  long install_peak_kib = 0, verify_peak_kib = 0;
};

Installer make_installer(const std::string& name, const std::vector<std::string>& program, const std::string& game) {
  Installer result;
  result.name = name;
  result.program = program;
  result.game = game;
  return result;
}

Run operate(const Installer& installer, const std::string& operation) {
  std::vector<std::string> command = installer.program;
  command.insert(command.end(), {operation, "--quiet", installer.game});
  return must(run(command), installer.name + " " + operation);
}

void install(Installer& installer) {
  Run r = operate(installer, "--install");
  installer.install.push_back(r.seconds);
  installer.install_peak_kib = std::max(installer.install_peak_kib, r.peak_kib);
}

void verify(Installer& installer) {
  Run r = operate(installer, "--verify");
  installer.verify.push_back(r.seconds);
  installer.verify_peak_kib = std::max(installer.verify_peak_kib, r.peak_kib);
}

void uninstall(Installer& installer) { installer.uninstall.push_back(operate(installer, "--uninstall").seconds); }

// ---- Wine -----------------------------------------------------------------------------------------

// The floor program on its own copy of the demo, as Wine names its folders.
struct Floor {
  std::string program, package, game;
  Copy copy;
  std::vector<double> install, verify, uninstall;
};

double floor_run(const Floor& floor, const std::string& operation) {
  return must(run({WINE, floor.program, operation, floor.package, floor.game}), "install_floor " + operation).seconds;
}

// Takes away whatever the floor's uninstall left (the record folder), untimed.
void undo_floor_install(const Floor& floor, const std::vector<std::string>& installed) {
  for (const std::string& path : installed) fs::remove(floor.copy.game / path);
  for (const char* added : {"_vanro", "vanro-install-state.tsv", "VANRO_backup_floor"})
    fs::remove_all(floor.copy.game / added);
}

void floor_round(Floor& floor, const std::vector<std::string>& installed) {
  floor.install.push_back(floor_run(floor, "--install"));
  floor.verify.push_back(floor_run(floor, "--verify"));
  floor.uninstall.push_back(floor_run(floor, "--uninstall"));
  undo_floor_install(floor, installed);
}

// Why the Wine figures cannot be measured, or nothing when they can.
std::string wine_missing(const fs::path& win64) {
  if (!fs::exists(WINE)) return std::string(WINE) + " is missing";
  if (!fs::exists(WINESERVER)) return std::string(WINESERVER) + " is missing";
  for (const char* program : {"VANROInstaller.exe", "VANROLauncher.exe", "bench/install_floor.exe"})
    if (!fs::exists(win64 / program)) return (win64 / program).string() + " is missing (build the win64 preset)";
  return "";
}

// ---- one run of the benchmark ---------------------------------------------------------------------

struct Options {
  int runs = 5;
  fs::path win64, disk, memory = "/dev/shm";
};

Options parse_options(int argc, char** argv, const fs::path& native_build) {
  Options options;
  options.win64 = native_build.parent_path() / "win64";
  options.disk = native_build;
  for (int i = 1; i < argc; i += 2) {
    std::string option = argv[i];
    if (i + 1 == argc) throw std::runtime_error(option + " needs a value");
    if (option == "--runs") options.runs = std::atoi(argv[i + 1]);
    else if (option == "--win64") options.win64 = argv[i + 1];
    else if (option == "--disk") options.disk = argv[i + 1];
    else if (option == "--memory") options.memory = argv[i + 1];
    else throw std::runtime_error("unknown option " + option);
  }
  if (options.runs < 1) throw std::runtime_error("--runs needs a number of rounds from 1 up");
  return options;
}

// Everything one run sets up, measures and reports.
struct Bench {
  fs::path native_build, prefix;
  std::string work_name;               // the name of every work folder of this run
  std::vector<fs::path> work_folders;  // removed at the end, however the run ends
  bool wine_server_is_ours = false;    // stopped at the end
  Copy disk, memory;
  std::vector<std::string> installed;
  fs::path installed_list;
  Installer native_disk, native_memory, wine;
  Floor floor;
  std::string wine_missing;  // empty when the Wine figures are measured
  std::string launcher_without_game;
  Reference reference;
  std::vector<double> installed_hash, installed_deletions, wine_started;
  std::string load_at_start, load_at_end;

  ~Bench() {
    try {
      if (wine_server_is_ours) run({WINESERVER, "-k"});
    } catch (const std::exception&) {
    }
    std::error_code ignored;
    for (const fs::path& folder : work_folders) fs::remove_all(folder, ignored);
  }
};

void set_up_native(Bench& bench, const Options& options) {
  const fs::path demo = bench.native_build / "fixtures" / "realistic";
  make_demo(bench.native_build, demo, bench.native_build / "VANROInstaller", bench.native_build / "VANROLauncher");
  bench.work_folders.push_back(options.disk / bench.work_name);
  bench.disk = copy_demo(demo, bench.work_folders.back());
  bench.work_folders.push_back(options.memory / bench.work_name);
  bench.memory = copy_demo(demo, bench.work_folders.back());
  bench.installed = installed_files(bench.disk);
  bench.installed_list = write_list(bench.installed, bench.disk.root / "installed-files");
  bench.native_disk = make_installer("native, disk folder", {(bench.disk.package / "VANROInstaller.exe").string()},
                                     bench.disk.game.string());
  bench.native_memory = make_installer(
      "native, memory", {(bench.memory.package / "VANROInstaller.exe").string()}, bench.memory.game.string());
}

// The game and package live on the prefix's drive C:, and the launcher that measures Wine's start
// in a folder of its own there.
void set_up_wine(Bench& bench, const Options& options) {
  bench.wine = make_installer("Wine, prefix on disk", {}, "");
  bench.wine_missing = wine_missing(options.win64);
  if (!bench.wine_missing.empty()) return;
  // A persistent server keeps Wine's services up between the runs, so that each run pays for
  // starting a program, not Wine. Exit code 2 says that a server of this prefix runs already: it
  // serves as well, and is not ours to stop.
  fs::create_directories(bench.prefix);
  Run server = run({WINESERVER, "-p"});
  if (server.exit_code != 2) must(server, "wineserver -p");
  bench.wine_server_is_ours = server.exit_code == 0;
  must(run({WINE, "cmd", "/c", "exit"}), "Wine's first start in " + bench.prefix.string());
  const fs::path demo = bench.native_build / "fixtures" / "realistic-win64";
  make_demo(bench.native_build, demo, options.win64 / "VANROInstaller.exe", options.win64 / "VANROLauncher.exe");
  const fs::path root = bench.prefix / "drive_c" / bench.work_name;
  bench.work_folders.push_back(root);
  copy_demo(demo, root);
  fs::create_directories(root / "no-game");
  fs::copy_file(options.win64 / "VANROLauncher.exe", root / "no-game" / "VANROLauncher.exe");
  const std::string windows_root = "C:\\" + bench.work_name;
  bench.wine.program = {WINE, windows_root + "\\package\\VANROInstaller.exe"};
  bench.wine.game = windows_root + "\\game";
  bench.launcher_without_game = windows_root + "\\no-game\\VANROLauncher.exe";

  const std::string floor_name = bench.work_name + "-floor";
  bench.work_folders.push_back(bench.prefix / "drive_c" / floor_name);
  bench.floor.copy = copy_demo(demo, bench.work_folders.back());
  fs::copy_file(options.win64 / "bench" / "install_floor.exe", bench.floor.copy.root / "install_floor.exe");
  bench.floor.program = "C:\\" + floor_name + "\\install_floor.exe";
  bench.floor.package = "C:\\" + floor_name + "\\package";
  bench.floor.game = "C:\\" + floor_name + "\\game";
  wine_start(bench.launcher_without_game);  // not timed: the first start after the server's
}

void measure(Bench& bench, int runs) {
  // The copies just made are written out now, not while a flush is being timed.
  must(run({"sync", "-f", bench.disk.root.string()}), "sync -f");
  if (bench.wine_missing.empty()) must(run({"sync", "-f", bench.prefix.string()}), "sync -f");

  std::vector<std::function<void()>> candidates = {
      [&] { durable_reference(bench.disk, bench.reference); },
      [&] {
        install(bench.native_disk);
        bench.installed_hash.push_back(hash_pass_over_installed(bench.disk, bench.installed_list));
        bench.installed_deletions.push_back(deletions(bench.disk, bench.installed_list));
        verify(bench.native_disk);
        uninstall(bench.native_disk);
      },
      [&] {
        install(bench.native_memory);
        verify(bench.native_memory);
        uninstall(bench.native_memory);
      },
  };
  if (bench.wine_missing.empty()) {
    candidates.push_back([&] { bench.wine_started.push_back(wine_start(bench.launcher_without_game)); });
    candidates.push_back([&] {
      install(bench.wine);
      verify(bench.wine);
      uninstall(bench.wine);
    });
    candidates.push_back([&] { floor_round(bench.floor, bench.installed); });
  }
  bench.load_at_start = load_average();
  for (int round = 0; round < runs; ++round)
    for (std::size_t i = 0; i < candidates.size(); ++i) candidates[(round + i) % candidates.size()]();
  bench.load_at_end = load_average();
}

// ---- the report -----------------------------------------------------------------------------------

std::string figure(const std::vector<double>& times) {
  char text[48];
  std::snprintf(text, sizeof text, "%6.3f (%6.3f)", best(times), median(times));
  return text;
}

void print_reference(const char* name, const std::vector<double>& times) {
  std::printf("  %-62s %s\n", name, figure(times).c_str());
}

void print_installer(const Installer& installer) {
  std::printf("  %-24s %s    %s    %s\n", installer.name.c_str(), figure(installer.install).c_str(),
              figure(installer.verify).c_str(), figure(installer.uninstall).c_str());
}

void print_folders(const Bench& bench, const Options& options) {
  std::printf("disk folder   %s (%s)\n", bench.disk.root.c_str(), file_system(bench.disk.root).c_str());
  std::printf("memory folder %s (%s)\n", bench.memory.root.c_str(), file_system(bench.memory.root).c_str());
  const bool with_wine = bench.wine_missing.empty();
  if (with_wine)
    std::printf("Wine          %s, prefix %s (%s), win64 build %s\n", WINE, bench.prefix.c_str(),
                file_system(bench.prefix).c_str(), options.win64.c_str());
  else
    std::printf("Wine          unavailable: %s\n", bench.wine_missing.c_str());
  if (in_memory(bench.disk.root) || (with_wine && in_memory(bench.prefix)))
    std::printf("note: a disk folder is in memory, so its figures do not show the disk\n");
}

void print_figures(const Bench& bench, int runs) {
  std::printf("load average (1, 5, 15 min) at start %s, at end %s\n", bench.load_at_start.c_str(),
              bench.load_at_end.c_str());
  std::printf("seconds, best of %d round%s (median):\n", runs, runs == 1 ? "" : "s");
  print_reference("durable reference: cp -r, 3 sha256 passes, fsync of every copy", bench.reference.seconds);
  print_reference("  of which the fsyncs", bench.reference.flush_seconds);
  print_reference("one sha256 pass over the installed files", bench.installed_hash);
  print_reference("rm -r of a copy of the installed files", bench.installed_deletions);
  if (bench.wine_missing.empty())
    print_reference("Wine's start: the launcher refusing a folder without a game", bench.wine_started);
  std::printf("  %-24s %-15s    %-15s    %s\n", "", "install", "verify", "uninstall");
  print_installer(bench.native_disk);
  print_installer(bench.native_memory);
  if (bench.wine_missing.empty()) {
    print_installer(bench.wine);
    std::printf("  %-24s %s    %s    %s\n", "Wine floor", figure(bench.floor.install).c_str(),
                figure(bench.floor.verify).c_str(), figure(bench.floor.uninstall).c_str());
  } else {
    std::printf("  %-24s unavailable\n", bench.wine.name.c_str());
  }
}

constexpr double MIB = 1048576.0;

uint64_t largest_file(const fs::path& folder) {
  uint64_t largest = 0;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    if (entry.is_regular_file()) largest = std::max<uint64_t>(largest, entry.file_size());
  return largest;
}

void print_demo(const Bench& bench) {
  uint64_t bytes = 0;
  std::size_t files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(bench.disk.package / "patch")) {
    if (!entry.is_regular_file()) continue;
    bytes += entry.file_size();
    ++files;
  }
  std::printf("realistic demo: %.1f MiB in %zu packaged files; an install puts %zu files in place\n",
              static_cast<double>(bytes) / MIB, files, bench.installed.size());
}

void print_memory(const Bench& bench) {
  const double largest = static_cast<double>(largest_file(bench.disk.package / "patch")) / MIB;
  const long install_kib = std::max(bench.native_disk.install_peak_kib, bench.native_memory.install_peak_kib);
  const long verify_kib = std::max(bench.native_disk.verify_peak_kib, bench.native_memory.verify_peak_kib);
  std::printf("native peak resident memory: install %.1f MiB, verify %.1f MiB; budget %.1f MiB"
              " (largest packaged file %.1f MiB + 32 MiB)\n",
              static_cast<double>(install_kib) / 1024.0, static_cast<double>(verify_kib) / 1024.0, largest + 32.0,
              largest);
}

void print_ratios(const Bench& bench) {
  const double install_disk = best(bench.native_disk.install) / best(bench.reference.seconds);
  const double verify = best(bench.native_disk.verify) / best(bench.installed_hash);
  const double uninstall =
      best(bench.native_disk.uninstall) / (best(bench.installed_hash) + best(bench.installed_deletions));
  char install_wine[32] = "na", verify_wine[32] = "na", uninstall_wine[32] = "na";
  if (bench.wine_missing.empty()) {
    std::snprintf(install_wine, sizeof install_wine, "%.2f", best(bench.wine.install) / best(bench.floor.install));
    std::snprintf(verify_wine, sizeof verify_wine, "%.2f", best(bench.wine.verify) / best(bench.floor.verify));
    std::snprintf(uninstall_wine, sizeof uninstall_wine, "%.2f",
                  best(bench.wine.uninstall) / best(bench.floor.uninstall));
  }
  std::printf("%-50s %.2f (goal <= 1.25)\n", "install on disk / durable reference", install_disk);
  std::printf("%-50s %.2f (goal <= 1.15)\n", "verify on disk / one pass over the installed files", verify);
  std::printf("%-50s %s (goal <= 1.1)\n", "Wine install / Wine floor's install", install_wine);
  std::printf("%-50s %s (goal <= 1.3)\n", "Wine verify / Wine floor's verify", verify_wine);
  std::printf("%-50s %.2f (goal <= 1.15)\n", "uninstall on disk / (one pass + the deletions)", uninstall);
  std::printf("%-50s %s (goal <= 1.3)\n", "Wine uninstall / Wine floor's uninstall", uninstall_wine);
  std::printf("install_disk=%.2f install_wine=%s verify=%.2f verify_wine=%s uninstall=%.2f uninstall_wine=%s\n",
              install_disk, install_wine, verify, verify_wine, uninstall, uninstall_wine);
}

int benchmark(int argc, char** argv) {
  Bench bench;
  bench.native_build = fs::canonical("/proc/self/exe").parent_path().parent_path();
  const Options options = parse_options(argc, argv, bench.native_build);
  const char* prefix = std::getenv("WINEPREFIX");
  bench.prefix = prefix && *prefix ? fs::path(prefix) : bench.native_build.parent_path() / "wineprefix";
  setenv("WINEPREFIX", bench.prefix.c_str(), 1);
  setenv("WINEDEBUG", "-all", 1);
  unsetenv("DISPLAY");  // with --quiet no window is wanted; without a display none can wait for a click
  bench.work_name = "vanro-install-bench-" + std::to_string(getpid());
  bench.work_folders.push_back(options.memory / (bench.work_name + ".log"));
  output_log = bench.work_folders.back();

  set_up_native(bench, options);
  set_up_wine(bench, options);
  measure(bench, options.runs);

  print_demo(bench);
  print_folders(bench, options);
  print_figures(bench, options.runs);
  print_memory(bench);
  print_ratios(bench);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return benchmark(argc, argv);
  } catch (const std::exception& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "install_bench: %s\n", error.what());
    return 1;
  }
}
