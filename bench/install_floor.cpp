// The Wine floor of install_bench: a Windows program that makes only the system calls an install
// and a verify of the package cannot do without, on the same files, in the same order, with the
// installer's own SHA-256 code, and nothing else: no parsing beyond the manifest's first two fields,
// no signature, no save table, no message, no check that could fail. What the installer spends
// above it under Wine is its own.
//
//   install_floor --install PACKAGE GAME   per file: the walks of the source and the target (the
//       attributes of every folder above and of the path), the source's hash, the staging name's
//       attributes and the source's size; then the record folder and the state file, written and
//       flushed; then per file the walks again, the folders made, the staging name's attributes, the
//       create-only copy and its hash; then every staging file flushed, then every one renamed
//       write-through; then per file a walk and the final hash. The launch copy, made in memory from
//       ZDH.EXE, is written create-only, flushed and renamed in its turn.
//   install_floor --verify PACKAGE GAME    per file one walk and one hash.
//   install_floor --uninstall PACKAGE GAME per file one walk, one open that is asked what it reaches
//       (its identity and FileNameInfo, as the checks against links must ask) and hashed through;
//       then every file deleted, every emptied folder removed deepest first, and the state file
//       moved into the record folder.
//
// Both start with the single-threaded COM apartment that every run of the installer opens: under
// Wine that call is what starts Wine's desktop process, so a floor without it would hide a cost no
// installer can avoid. Files are read through one buffer in pieces of 64 KiB, which under Wine
// costs the same as larger pieces (measured: 1 MiB and 4 MiB pieces were no faster) and natively
// keeps each piece in the processor's cache while it is hashed.
#include <windows.h>

#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "integrity/sha256.h"

namespace {

constexpr DWORD PIECE = 65536;
constexpr wchar_t LAUNCH_COPY[] = L"_vanro\\runtime\\VANROGame.exe";
constexpr wchar_t STAGING[] = L".vanro-new";

char piece[PIECE];

struct Record {
  std::wstring path;  // relative, with '\'
  std::string sha256;
};

[[noreturn]] void fail(const std::wstring& what) {
  std::fwprintf(stderr, L"install_floor: %ls (error %lu)\n", what.c_str(), GetLastError());
  std::exit(1);
}

std::wstring parent(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

// The attributes of every folder from below the drive's root down to the path itself.
DWORD walk(const std::wstring& path) {
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  for (std::size_t at = path.find(L'\\', 3); ; at = path.find(L'\\', at + 1)) {
    attributes = GetFileAttributesW(path.substr(0, at).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || at == std::wstring::npos) return attributes;
  }
}

std::string hash(const std::wstring& path, std::string* whole = nullptr) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) fail(L"cannot open " + path);
  LARGE_INTEGER size{};
  GetFileSizeEx(file, &size);
  Sha256 hasher;
  hasher.reset();
  for (LONGLONG left = size.QuadPart; left > 0;) {
    DWORD done = 0;
    if (!ReadFile(file, piece, left < PIECE ? static_cast<DWORD>(left) : PIECE, &done, nullptr) || done == 0)
      fail(L"cannot read " + path);
    hasher.update(piece, done);
    if (whole) whole->append(piece, done);
    left -= done;
  }
  CloseHandle(file);
  auto digest = hasher.finish();
  return to_hex(digest.data(), digest.size());
}

std::wstring widen(const std::string& text) {
  std::wstring wide(text.size(), L'\0');
  wide.resize(static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                                           wide.data(), static_cast<int>(wide.size()))));
  return wide;
}

// The manifest's paths and digests, its header line skipped.
std::vector<Record> read_manifest(const std::wstring& package, std::string& bytes) {
  hash(package + L"\\patch-manifest.tsv", &bytes);
  std::vector<Record> records;
  std::size_t line = bytes.find('\n') + 1;
  for (std::size_t end; (end = bytes.find('\n', line)) != std::string::npos; line = end + 1) {
    std::size_t tab = bytes.find('\t', line);
    std::size_t second = bytes.find('\t', tab + 1);
    Record record{widen(bytes.substr(line, tab - line)), bytes.substr(second + 1, end - second - 1)};
    for (wchar_t& c : record.path)
      if (c == L'/') c = L'\\';
    records.push_back(record);
  }
  return records;
}

void write_new(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD done = 0;
  if (file == INVALID_HANDLE_VALUE || !WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr) ||
      !FlushFileBuffers(file))
    fail(L"cannot write " + path);
  CloseHandle(file);
}

void flush(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE || !FlushFileBuffers(file)) fail(L"cannot flush " + path);
  CloseHandle(file);
}

void rename_new(const std::wstring& from, const std::wstring& to) {
  if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) fail(L"cannot rename " + from);
}

void make_folders(const std::wstring& folder, std::set<std::wstring>& made) {
  if (made.count(folder)) return;
  if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) {
    make_folders(parent(folder), made);
    if (!CreateDirectoryW(folder.c_str(), nullptr)) fail(L"cannot create " + folder);
  }
  made.insert(folder);
}

void install(const std::wstring& package, const std::wstring& game) {
  std::string manifest;
  const std::vector<Record> records = read_manifest(package, manifest);
  const std::wstring source_root = package + L"\\patch\\";
  const std::wstring target_root = game + L"\\";
  std::string launch_copy;
  hash(game + L"\\ZDH.EXE", &launch_copy);
  sha256_hex(launch_copy);

  ULONGLONG needed = 0;
  for (const Record& record : records) {
    walk(source_root + record.path);
    walk(target_root + record.path);
    GetFileAttributesW((target_root + record.path + STAGING).c_str());
    if (record.path == LAUNCH_COPY) continue;
    hash(source_root + record.path);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    GetFileAttributesExW((source_root + record.path).c_str(), GetFileExInfoStandard, &data);
    needed += data.nFileSizeLow;
  }
  ULARGE_INTEGER free{};
  GetDiskFreeSpaceExW(game.c_str(), &free, nullptr, nullptr);

  const std::wstring record_dir = game + L"\\VANRO_backup_floor";
  CreateDirectoryW(record_dir.c_str(), nullptr);
  write_new(record_dir + L"\\vanro-install-state.tsv.vanro-new", manifest);
  rename_new(record_dir + L"\\vanro-install-state.tsv.vanro-new", game + L"\\vanro-install-state.tsv");

  std::set<std::wstring> made;
  std::vector<std::wstring> staged;
  for (const Record& record : records) {
    const std::wstring target = target_root + record.path, source = source_root + record.path;
    walk(target);
    make_folders(parent(target), made);
    GetFileAttributesW((target + STAGING).c_str());
    if (record.path == LAUNCH_COPY) {
      write_new(target + STAGING, launch_copy);
      hash(target + STAGING);
      rename_new(target + STAGING, target);
      continue;
    }
    walk(source);
    if (!CopyFileW(source.c_str(), (target + STAGING).c_str(), TRUE)) fail(L"cannot copy " + source);
    hash(target + STAGING);
    staged.push_back(target);
  }
  for (const std::wstring& target : staged) flush(target + STAGING);
  for (const std::wstring& target : staged) rename_new(target + STAGING, target);

  for (const Record& record : records) {
    walk(target_root + record.path);
    hash(target_root + record.path);
  }
}

// What an open of the file reaches, asked of the handle that then hashes it.
void judge(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) fail(L"cannot open " + path);
  BY_HANDLE_FILE_INFORMATION identity{};
  std::vector<DWORD> name(MAX_PATH);
  if (!GetFileInformationByHandle(file, &identity) ||
      !GetFileInformationByHandleEx(file, FileNameInfo, name.data(), static_cast<DWORD>(name.size() * sizeof(DWORD))))
    fail(L"cannot ask what " + path + L" reaches");
  Sha256 hasher;
  hasher.reset();
  for (DWORD done = 0; ReadFile(file, piece, PIECE, &done, nullptr) && done != 0;) hasher.update(piece, done);
  hasher.finish();
  CloseHandle(file);
}

void uninstall(const std::wstring& package, const std::wstring& game) {
  std::string manifest;
  const std::vector<Record> records = read_manifest(package, manifest);
  std::set<std::wstring> folders;
  for (const Record& record : records) {
    const std::wstring file = game + L"\\" + record.path;
    walk(file);
    judge(file);
    for (std::wstring folder = parent(file); folder.size() > game.size() + 7; folder = parent(folder)) folders.insert(folder);
  }
  for (const Record& record : records)
    if (!DeleteFileW((game + L"\\" + record.path).c_str())) fail(L"cannot delete " + record.path);
  std::vector<std::wstring> deepest_first(folders.begin(), folders.end());
  std::sort(deepest_first.begin(), deepest_first.end(),
            [](const std::wstring& a, const std::wstring& b) { return a.size() > b.size(); });
  for (const std::wstring& folder : deepest_first) RemoveDirectoryW(folder.c_str());
  RemoveDirectoryW((game + L"\\_vanro").c_str());
  rename_new(game + L"\\vanro-install-state.tsv", game + L"\\VANRO_backup_floor\\uninstalled-state.tsv");
}

void verify(const std::wstring& package, const std::wstring& game) {
  std::string manifest;
  for (const Record& record : read_manifest(package, manifest)) {
    const std::wstring file = game + L"\\" + record.path;
    walk(file);
    hash(file);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (argc != 4) fail(L"usage: install_floor --install|--verify|--uninstall PACKAGE GAME");
  const std::wstring operation = argv[1];
  if (operation == L"--install") install(argv[2], argv[3]);
  else if (operation == L"--verify") verify(argv[2], argv[3]);
  else if (operation == L"--uninstall") uninstall(argv[2], argv[3]);
  else fail(L"unknown operation " + operation);
  return 0;
}
