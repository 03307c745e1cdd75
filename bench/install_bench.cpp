// Install, verify and uninstall of the realistic demo by the real installer program, against a
// reference made of plain tools on the same files in the same run:
//   install reference: cp -r of the patch folder, then three openssl dgst -sha256 passes over it
//                      (the install hashes every packaged file three times and copies it once);
//   verify reference:  one openssl pass over the patch folder, then the translated scripts again
//                      (verify hashes every installed file once, the save check the scripts again).
// Each is run several times, alternating; the best (shortest) wall time of each counts, as that is
// the run least disturbed by other work on the machine. Prints the peak resident memory of the
// install against its budget: the largest packaged file + the launch copy + 32 MiB. Last line:
// ratio=R, our install time / the reference install time.
//
// usage: install_bench [--runs N] [--work DIR] [--demo DIR]
//   --work: where the game and package copies live; default /dev/shm when it exists (the install
//           syncs each rename to disk, which on a slow disk measures the disk, not the program),
//           else the temporary folder. The demo, made by ../tools/vanro-demo, stays in --demo.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

struct Run {
  double seconds = 0;
  long peak_kib = 0;
  int exit_code = -1;
};

// Runs a program with its arguments, standard output and error going nowhere.
Run run(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  std::vector<std::string> copies = arguments;
  for (std::string& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
    throw std::runtime_error("cannot start " + arguments[0]);
  posix_spawn_file_actions_destroy(&actions);
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

void must(const Run& r, const std::string& what) {
  if (r.exit_code != 0) throw std::runtime_error(what + " failed with exit code " + std::to_string(r.exit_code));
}

std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

double best(const std::vector<double>& times) { return *std::min_element(times.begin(), times.end()); }

uint64_t largest_file(const fs::path& folder) {
  uint64_t largest = 0;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    if (entry.is_regular_file()) largest = std::max<uint64_t>(largest, entry.file_size());
  return largest;
}

uint64_t total_size(const fs::path& folder) {
  uint64_t total = 0;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    if (entry.is_regular_file()) total += entry.file_size();
  return total;
}

std::size_t file_count(const fs::path& folder) {
  std::size_t count = 0;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) count += entry.is_regular_file();
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const fs::path build = fs::canonical("/proc/self/exe").parent_path().parent_path();
    int runs = 5;
    fs::path work_root = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    fs::path demo = build / "fixtures" / "realistic";
    for (int i = 1; i + 1 < argc; i += 2) {
      std::string option = argv[i];
      if (option == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
      else if (option == "--work") work_root = argv[i + 1];
      else if (option == "--demo") demo = argv[i + 1];
      else throw std::runtime_error("unknown option " + option);
    }

    must(run({(build / "tools" / "vanro-demo").string(), "--profile", "realistic", "--seed", "1", "--out",
              demo.string(), "--installer", (build / "VANROInstaller").string(), "--launcher",
              (build / "VANROLauncher").string()}),
         "vanro-demo");

    const fs::path work = work_root / ("vanro-install-bench-" + std::to_string(getpid()));
    fs::remove_all(work);
    fs::create_directories(work);
    fs::copy(demo / "package", work / "package", fs::copy_options::recursive);
    fs::copy(demo / "game", work / "game", fs::copy_options::recursive);
    const fs::path installer = work / "package" / "VANROInstaller.exe";
    const fs::path patch = work / "package" / "patch";
    const fs::path scripts = patch / "_vanro" / "patch" / "AdvData" / "MES";
    const fs::path game = work / "game";
    const fs::path copy = work / "reference-copy";
    const std::string hash_pass =
        "find " + quoted(patch) + " -type f -print0 | xargs -0 openssl dgst -sha256 > /dev/null";
    const std::string script_pass =
        "find " + quoted(scripts) + " -type f -print0 | xargs -0 openssl dgst -sha256 > /dev/null";

    // Everything in the page cache before anything is timed.
    must(shell(hash_pass), "warm-up");
    must(shell("cat " + quoted(game / "ZDH.EXE") + " > /dev/null"), "warm-up");

    std::vector<double> install, verify, uninstall, reference_install, reference_verify;
    long peak_kib = 0;
    for (int i = 0; i < runs; ++i) {
      Run ours = run({installer.string(), "--install", "--quiet", game.string()});
      must(ours, "install");
      install.push_back(ours.seconds);
      peak_kib = std::max(peak_kib, ours.peak_kib);
      Run checked = run({installer.string(), "--verify", "--quiet", game.string()});
      must(checked, "verify");
      verify.push_back(checked.seconds);
      Run removed = run({installer.string(), "--uninstall", "--quiet", game.string()});
      must(removed, "uninstall");
      uninstall.push_back(removed.seconds);

      Run reference = shell("cp -r " + quoted(patch) + " " + quoted(copy) + " && " + hash_pass + " && " + hash_pass +
                            " && " + hash_pass);
      must(reference, "reference install");
      reference_install.push_back(reference.seconds);
      fs::remove_all(copy);
      Run reference_check = shell(hash_pass + " && " + script_pass);
      must(reference_check, "reference verify");
      reference_verify.push_back(reference_check.seconds);
    }

    const uint64_t largest = largest_file(patch);
    const uint64_t launch_copy = fs::file_size(game / "ZDH.EXE");
    const double budget_mib = static_cast<double>(largest + launch_copy) / 1048576.0 + 32.0;
    const double install_ratio = best(install) / best(reference_install);
    const double verify_ratio = best(verify) / best(reference_verify);
    std::printf("realistic demo: %.1f MiB in %zu packaged files, work folder %s, best of %d runs\n",
                static_cast<double>(total_size(patch)) / 1048576.0, file_count(patch), work_root.c_str(), runs);
    std::printf("install   %.3f s   reference (cp -r + 3 sha256 passes) %.3f s   ratio %.2f (goal <= 1.25)\n",
                best(install), best(reference_install), install_ratio);
    std::printf("verify    %.3f s   reference (1 sha256 pass + scripts) %.3f s   ratio %.2f (goal <= 1.15)\n",
                best(verify), best(reference_verify), verify_ratio);
    std::printf("uninstall %.3f s\n", best(uninstall));
    std::printf("install peak resident memory %.1f MiB, budget %.1f MiB (largest file %.1f MiB + launch copy %.1f MiB + 32 MiB)\n",
                static_cast<double>(peak_kib) / 1024.0, budget_mib, static_cast<double>(largest) / 1048576.0,
                static_cast<double>(launch_copy) / 1048576.0);
    fs::remove_all(work);
    std::printf("ratio=%.3f\n", install_ratio);
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "install_bench: %s\n", error.what());
    return 1;
  }
}
