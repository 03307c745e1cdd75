// A unique folder under the system's temporary directory, removed with everything in it when the
// value goes out of scope. Tests work on real files in it.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

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

// The path as the standard library's file functions take it at any length: on Windows a full path
// of 240 characters or more gets the verbatim prefix.
std::filesystem::path any_length(const std::u16string& path);

// Everything below a folder, at any path length (the standard library's directory iteration stops
// at 260 characters on Windows): paths relative to it with '/' separators; links are listed, not
// followed.
struct TreeEntry {
  enum Kind { file, directory, link };
  std::u16string relative;
  Kind kind;
};
std::vector<TreeEntry> list_tree(const std::u16string& root);
// Removes a folder with everything in it, read-only files too, at any path length; nothing when it
// is absent. Never throws.
void remove_tree(const std::u16string& root);

// Writes (or replaces) a file with exactly these bytes, creating its missing parent folders.
void write_test_file(const std::u16string& path, std::string_view bytes);
// Makes `link` a symbolic link to `target` as players' tools make them: under Wine, where the
// Windows side can make none, by starting the Linux `ln` on the Unix paths of both (Wine starts a
// Linux program for CreateProcessW); natively with the standard library.
void make_symbolic_link(const std::u16string& target, const std::u16string& link);
// Creates a folder and its missing parents.
void make_test_dir(const std::u16string& path);
