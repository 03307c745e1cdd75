// The stand-in game's Linux half. A Linux process receives an argument vector, not a command line;
// it is recorded in the form a Windows command line would take, each argument in double quotes
// and separated by one space, so that the same record means the same thing on both platforms.
#include <dlfcn.h>
#include <sys/stat.h>

#include <string>

#include "common/text.h"
#include "tools/standin/standin_game.h"

std::string start_runtime(const std::u16string& library_path) {
  std::string path = wide_to_utf8(library_path);
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return "missing";
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return "not-loadable";
  auto entry = reinterpret_cast<void (*)()>(dlsym(library, RUNTIME_ENTRY));
  if (entry == nullptr) return "no-entry";
  entry();
  return "started";
}

int main(int argc, char** argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    if (i > 0) line += ' ';
    line += '"' + std::string(argv[i]) + '"';
  }
  try {
    return run_standin_game(line);
  } catch (...) {
    return 3;
  }
}
