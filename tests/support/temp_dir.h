// A unique folder under the system's temporary directory, removed with everything in it when the
// value goes out of scope. Tests work on real files in it.
#pragma once

#include <string>
#include <string_view>

struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The folder's full path, in the platform's own form.
  std::u16string path;

  // The folder joined with a relative path ('/' or '\' inside it stay as they are).
  std::u16string file(std::u16string_view relative) const;
};

// Writes (or replaces) a file with exactly these bytes, creating its missing parent folders.
void write_test_file(const std::u16string& path, std::string_view bytes);
// Creates a folder and its missing parents.
void make_test_dir(const std::u16string& path);
