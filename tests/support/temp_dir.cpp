#include "tests/support/temp_dir.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#endif

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

#ifdef _WIN32
namespace {

std::u16string with_backslashes(std::u16string path) {
  std::replace(path.begin(), path.end(), u'/', u'\\');
  return path;
}

// A drive path in the verbatim form, which every file call takes at any length.
std::u16string verbatim(const std::u16string& path) {
  std::u16string text = with_backslashes(path);
  if (text.size() >= 2 && text[1] == u':') text = u"\\\\?\\" + text;
  return text;
}

void list_into(const std::u16string& folder, const std::u16string& prefix, std::vector<TreeEntry>& entries) {
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW(reinterpret_cast<const wchar_t*>((folder + u"\\*").c_str()), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    std::u16string name(reinterpret_cast<const char16_t*>(found.cFileName));
    if (name == u"." || name == u"..") continue;
    TreeEntry::Kind kind = found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT ? TreeEntry::link
                           : found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY   ? TreeEntry::directory
                                                                                  : TreeEntry::file;
    entries.push_back({prefix + name, kind});
    if (kind == TreeEntry::directory) list_into(folder + u"\\" + name, prefix + name + u"/", entries);
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

}  // namespace
#endif

fs::path any_length(const std::u16string& path) {
#ifdef _WIN32
  if (path.size() >= 240 && path[1] == u':' && (path[2] == u'\\' || path[2] == u'/'))
    return fs::path(verbatim(path));
#endif
  return fs::path(path);
}

#ifdef _WIN32
std::vector<TreeEntry> list_tree(const std::u16string& root) {
  std::vector<TreeEntry> entries;
  list_into(verbatim(root), u"", entries);
  return entries;
}

void remove_tree(const std::u16string& root) {
  const std::u16string base = verbatim(root);
  std::vector<TreeEntry> entries = list_tree(root);
  // Deepest first, so that every folder is empty when its turn comes.
  for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
    std::u16string path = with_backslashes(base + u"\\" + entry->relative);
    auto* name = reinterpret_cast<const wchar_t*>(path.c_str());
    SetFileAttributesW(name, FILE_ATTRIBUTE_NORMAL);
    if (entry->kind == TreeEntry::file) DeleteFileW(name); else RemoveDirectoryW(name);
  }
  RemoveDirectoryW(reinterpret_cast<const wchar_t*>(base.c_str()));
}
#else
std::vector<TreeEntry> list_tree(const std::u16string& root) {
  std::vector<TreeEntry> entries;
  const fs::path base(root);
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(base, error); !error && it != fs::recursive_directory_iterator();
       it.increment(error)) {
    fs::file_status status = it->symlink_status();
    TreeEntry::Kind kind = fs::is_symlink(status) ? TreeEntry::link
                           : fs::is_directory(status) ? TreeEntry::directory
                                                      : TreeEntry::file;
    if (kind == TreeEntry::link) it.disable_recursion_pending();
    entries.push_back({fs::relative(it->path(), base).generic_u16string(), kind});
  }
  return entries;
}

void remove_tree(const std::u16string& root) {
  std::error_code ignored;
  fs::remove_all(fs::path(root), ignored);
}
#endif

TempDir::TempDir() : path(unique_folder().u16string()) {}

TempDir::~TempDir() { remove_tree(path); }

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

void make_symbolic_link(const std::u16string& target, const std::u16string& link) {
#ifdef _WIN32
  using UnixName = char*(CDECL*)(const wchar_t*);
  auto unix_name = reinterpret_cast<UnixName>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (!unix_name) throw std::runtime_error("symbolic links to files are made here only under Wine");
  auto unix_path = [&](const std::u16string& path) {
    char* name = unix_name(reinterpret_cast<const wchar_t*>(with_backslashes(path).c_str()));
    if (!name) throw std::runtime_error("no Unix path for a link");
    std::wstring text(name, name + std::char_traits<char>::length(name));
    HeapFree(GetProcessHeap(), 0, name);
    return text;
  };
  std::wstring command = L"/bin/ln -s \"" + unix_path(target) + L"\" \"" + unix_path(link) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(L"/bin/ln", command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started))
    throw std::runtime_error("cannot start ln");
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  // Wine hands back no handle that tells when a Linux program has ended: the link itself does.
  const std::u16string made = with_backslashes(link);
  for (int attempt = 0; GetFileAttributesW(reinterpret_cast<const wchar_t*>(made.c_str())) == INVALID_FILE_ATTRIBUTES;
       ++attempt) {
    if (attempt == 300) throw std::runtime_error("ln made no link");
    Sleep(100);
  }
#else
  fs::create_symlink(fs::path(target), fs::path(link));
#endif
}
