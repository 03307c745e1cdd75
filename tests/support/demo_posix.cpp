// Natively the demo is made on first use by this build's vanro-demo.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "common/text.h"
#include "tests/support/demo.h"

extern char** environ;

namespace {

void run_demo_generator(const std::string& root) {
  std::vector<std::string> arguments = {VANRO_DEMO_PATH, "--profile", "small", "--seed", "1", "--out", root,
                                        "--launcher", VANRO_LAUNCHER_PATH, "--installer", VANRO_INSTALLER_PATH};
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  // Its summary line would only clutter the test output; its errors stay on standard error.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t child = 0;
  int error = posix_spawn(&child, VANRO_DEMO_PATH, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw std::runtime_error(std::string("cannot start ") + VANRO_DEMO_PATH);
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error("vanro-demo could not make the demo in " + root);
}

}  // namespace

const DemoPaths& small_demo() {
  static const DemoPaths paths = [] {
    std::string root = std::string(VANRO_BINARY_DIR) + "/fixtures/small";
    run_demo_generator(root);
    return demo_paths_at(utf8_to_wide(root));
  }();
  return paths;
}
