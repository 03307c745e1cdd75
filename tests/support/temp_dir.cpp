#include "tests/support/temp_dir.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

namespace {

fs::path unique_folder() {
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = "vanro-test-" + std::to_string(random()) + "-" + std::to_string(now % 1000000) +
                             "-" + std::to_string(counter++);
    fs::path candidate = fs::temp_directory_path() / name;
    // create_directory reports false when the folder was there already: that name is taken.
    if (fs::create_directory(candidate)) return candidate;
  }
  throw std::runtime_error("cannot make a unique temporary folder");
}

}  // namespace

TempDir::TempDir() : path(unique_folder().u16string()) {}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(fs::path(path), ignored);
}

std::u16string TempDir::file(std::u16string_view relative) const {
  std::u16string joined = path;
  joined.push_back(static_cast<char16_t>(fs::path::preferred_separator));
  joined.append(relative);
  return joined;
}

void write_test_file(const std::u16string& path, std::string_view bytes) {
  const fs::path target(path);
  if (target.has_parent_path()) fs::create_directories(target.parent_path());
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write test file");
}

void make_test_dir(const std::u16string& path) { fs::create_directories(fs::path(path)); }
