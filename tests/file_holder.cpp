// A stand-in for the programs that open players' files for a moment: a virus scanner (read access,
// shared for reading only) or an indexer (read access, shared for everything).
//
//   file-holder.exe PATH read|all MILLISECONDS MARK
//
// Waits until PATH can be opened, opens it for reading with the chosen sharing, creates MARK, holds
// the file for the given time and closes it. Exit code 0 once it has held the file, 1 when it never
// could within a minute.
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc != 5) return 2;
  const DWORD share = std::wstring(argv[2]) == L"all" ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
                                                       : FILE_SHARE_READ;
  for (ULONGLONG deadline = GetTickCount64() + 60000; GetTickCount64() < deadline; Sleep(1)) {
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) continue;
    CloseHandle(CreateFileW(argv[4], GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    Sleep(static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)));
    CloseHandle(file);
    return 0;
  }
  return 1;
}
