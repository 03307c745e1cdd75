#include "tests/support/demo.h"
#include "tests/support/temp_dir.h"

#include <filesystem>

namespace fs = std::filesystem;

DemoPaths demo_paths_at(const std::u16string& root) {
  fs::path base(root);
  return {root, (base / "game").u16string(), (base / "input").u16string(), (base / "package").u16string()};
}

void copy_tree(const std::u16string& from, const std::u16string& to) {
  if (fs::exists(any_length(to))) throw fs::filesystem_error("copy_tree", fs::path(to), std::make_error_code(std::errc::file_exists));
  fs::copy(any_length(from), any_length(to), fs::copy_options::recursive | fs::copy_options::copy_symlinks);
}
