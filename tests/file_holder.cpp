// A stand-in for the programs that open players' files for a moment: a virus scanner (read access,
// shared for reading only) or an indexer (read access, shared for everything).
//
//   file-holder.exe PATH read|all MILLISECONDS MARK
//
// Waits until PATH can be opened (one element of its folder may be `*`: the first folder that
// matches), opens it for reading with the chosen sharing, creates MARK, holds the file for the given
// time and closes it. Exit code 0 once it has held the file, 1 when it never could within a minute.
#include <windows.h>

#include <string>

namespace {

// PATH with a `*` element replaced by the first folder that matches it, if there is one yet.
std::wstring expanded(const std::wstring& path) {
  std::size_t star = path.find(L'*');
  if (star == std::wstring::npos) return path;
  std::size_t end = path.find(L'\\', star);
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW(path.substr(0, end).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return path;
  FindClose(search);
  std::size_t folder = path.rfind(L'\\', star);
  return path.substr(0, folder + 1) + found.cFileName + path.substr(end);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 5) return 2;
  const std::wstring path = argv[1];
  const DWORD share = std::wstring(argv[2]) == L"all" ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
                                                       : FILE_SHARE_READ;
  const DWORD hold = static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10));
  for (ULONGLONG deadline = GetTickCount64() + 60000; GetTickCount64() < deadline; Sleep(1)) {
    HANDLE file = CreateFileW(expanded(path).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) continue;
    CloseHandle(CreateFileW(argv[4], GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    Sleep(hold);
    CloseHandle(file);
    return 0;
  }
  return 1;
}
