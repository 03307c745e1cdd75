// The Windows side of the platform interface (common/platform.h).
//
// What may live here: the Win32 calls themselves, each with exactly the flags the programs rely on,
// and the small conversions between the interface's types and Win32's (UTF-16 strings to wchar_t
// pointers, handles to FileHandle). Nothing here decides policy, knows a message text or throws:
// every failure is handed back as the call reported it, and the callers say what it means.
// Besides the window (installer/window/*_win32.cpp), which makes its own user-interface calls, and
// the programs' entry (platform_main.h), this is the only file that includes <windows.h>.
//
// Every path reaches Windows through system_path(): a default Windows takes a path of MAX_PATH
// characters or more only in its verbatim form, however long-path aware the program says it is.
//
// Every call that changes the file system first asks the test hook (platform_faults.h) whether to
// fail. An injected failure looks to the caller exactly like a real one: the error ERROR_WRITE_FAULT, or
// ERROR_SHARING_VIOLATION for an injected hold.
#include "common/platform.h"

#include <windows.h>

#include <bcrypt.h>
#include <objbase.h>
#include <tlhelp32.h>
#include <winioctl.h>

#include <climits>
#include <cstdio>
#include <cwchar>
#include <vector>

#include "common/path.h"
#include "common/platform_faults.h"

namespace platform {
namespace {

// wchar_t is 16 bits on Windows, so the interface's UTF-16 strings pass to Win32 unchanged.
static_assert(sizeof(wchar_t) == sizeof(char16_t));

const wchar_t* wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

std::u16string from_wide(const wchar_t* text, std::size_t length) {
  return std::u16string(reinterpret_cast<const char16_t*>(text), length);
}

HANDLE to_handle(FileHandle file) {
  return reinterpret_cast<HANDLE>(file);
}

// Buffer size for the module and process image names: the longest path Windows can name.
constexpr DWORD LONG_PATH_UNITS = 32768;

// A failed call must never read as success, so a missing last-error code still reports an error.
DWORD last_error() {
  DWORD code = GetLastError();
  return code != 0 ? code : ERROR_GEN_FAILURE;
}

std::error_code last_error_code() {
  return std::error_code(static_cast<int>(last_error()), std::system_category());
}

// A path as Windows takes it. Unless the machine's LongPathsEnabled policy is on, which it is not by
// default, a path of MAX_PATH characters or more fails (MAX_PATH - 12 for a new folder, which must
// leave room for an 8.3 name) unless it is in its verbatim form; so such a full path is handed over
// in that form, which takes any length but no '/', '.' or '..': its normal form is what is prefixed.
// Shorter paths stay as they are. `usable` is false only when a test asked for a default Windows's
// limits and the path is still past them (a relative or device path, never one of ours).
struct SystemPath {
  std::wstring text;
  bool usable = true;
  const wchar_t* c_str() const { return text.c_str(); }
};

constexpr std::size_t NEW_FOLDER_LIMIT = MAX_PATH - 12;

SystemPath system_path(const std::u16string& path, std::size_t limit = MAX_PATH) {
  std::u16string text = path;
  if (path.size() >= limit && !is_verbatim_path(path)) {
    std::u16string normal = lexically_normal(path);
    PathParts parts = split_path(normal);
    bool drive = parts.root_name.size() == 2 && parts.root_name[1] == u':' && !parts.root_directory.empty();
    bool share = parts.root_name.size() > 2 && parts.root_name[2] != u'?' && parts.root_name[2] != u'.';
    if (drive) text = u"\\\\?\\" + normal;
    if (share) text = u"\\\\?\\UNC\\" + normal.substr(2);
  }
  SystemPath result{std::wstring(text.begin(), text.end())};
  result.usable = !(faults::windows_path_limits() && text.size() >= limit && !is_verbatim_path(text));
  return result;
}

// A path past the limits fails as Windows fails it, without the call being made.
bool too_long(const SystemPath& path) {
  if (path.usable) return false;
  SetLastError(ERROR_FILENAME_EXCED_RANGE);
  return true;
}

// Called first by every mutating function: true when a test asked this call to fail, or to meet
// a file that another program holds.
template <typename Subject = std::u16string>
bool injected_fault(const char* call, const Subject& subject = {}) {
  faults::Injected injected = faults::fail_here(call, subject);
  if (injected == faults::Injected::none) return false;
  SetLastError(injected == faults::Injected::held ? ERROR_SHARING_VIOLATION : ERROR_WRITE_FAULT);
  return true;
}

// The errors with which Windows reports that a path, or a directory on the way to it, is absent.
bool is_absence(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_NOT_READY:
      return true;
    default:
      return false;
  }
}

// The attributes of what a link at the path points to: opening the path follows the link, and
// zero access with backup semantics opens directories too without taking any share access.
bool link_target_attributes(const std::u16string& path, DWORD& attributes) {
  SystemPath name = system_path(path);
  if (too_long(name)) return false;
  HANDLE file = CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  BOOL ok = GetFileInformationByHandle(file, &info);
  DWORD code = GetLastError();
  CloseHandle(file);
  SetLastError(code);
  if (!ok) return false;
  attributes = info.dwFileAttributes;
  return true;
}

// A GUI program typed at a console prompt gets no standard handles: its lines go to the console of
// the program that started it, if there is one, opened once.
HANDLE parent_console() {
  static HANDLE console = [] {
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return INVALID_HANDLE_VALUE;
    return CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
  }();
  return console;
}

// A console shows UTF-16 text whatever its code page; a file or a pipe gets the UTF-8 bytes through
// the CRT's text-mode stream, which turns "\n" into CR LF.
void write_stream(std::FILE* stream, DWORD standard, std::string_view utf8) {
  HANDLE handle = GetStdHandle(standard);
  bool given = handle != nullptr && handle != INVALID_HANDLE_VALUE;
  DWORD mode = 0;
  if (given && !GetConsoleMode(handle, &mode)) {
    if (_fileno(stream) < 0) return;
    std::fwrite(utf8.data(), 1, utf8.size(), stream);
    std::fflush(stream);
    return;
  }
  if (!given) handle = parent_console();
  std::u16string text;
  if (handle == INVALID_HANDLE_VALUE || !utf8_to_utf16(utf8, text) || text.size() > MAXDWORD) return;
  DWORD written = 0;
  WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace

// ---- Text -------------------------------------------------------------------------------------

// MB_ERR_INVALID_CHARS makes the call refuse the whole input rather than put U+FFFD in its place.
bool utf8_to_utf16(std::string_view in, std::u16string& out) {
  out.clear();
  if (in.empty()) return true;
  if (in.size() > INT_MAX) return false;
  int length = static_cast<int>(in.size());
  int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, in.data(), length, nullptr, 0);
  if (units == 0) return false;
  out.resize(static_cast<std::size_t>(units));
  auto* buffer = reinterpret_cast<wchar_t*>(out.data());
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, in.data(), length, buffer, units) != units) {
    out.clear();
    return false;
  }
  return true;
}

// WC_ERR_INVALID_CHARS refuses unpaired surrogates; UTF-8 allows no default character, so both
// default-character arguments stay null.
bool utf16_to_utf8(std::u16string_view in, std::string& out) {
  out.clear();
  if (in.empty()) return true;
  if (in.size() > INT_MAX) return false;
  int length = static_cast<int>(in.size());
  auto* source = reinterpret_cast<const wchar_t*>(in.data());
  int bytes = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, source, length, nullptr, 0, nullptr, nullptr);
  if (bytes == 0) return false;
  out.resize(static_cast<std::size_t>(bytes));
  if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, source, length, out.data(), bytes, nullptr,
                          nullptr) != bytes) {
    out.clear();
    return false;
  }
  return true;
}

std::u16string lower_case(std::u16string text) {
  if (!text.empty())
    CharLowerBuffW(reinterpret_cast<wchar_t*>(text.data()), static_cast<DWORD>(text.size()));
  return text;
}

// ---- File attributes and directories ----------------------------------------------------------

// GetFileAttributesW does not follow a link: a link at the path reports FILE_ATTRIBUTE_REPARSE_POINT,
// which is what the reparse-point walks need to see.
AttributeQuery query_attributes(const std::u16string& path) {
  SystemPath name = system_path(path);
  DWORD attributes = too_long(name) ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(name.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) return {attributes, false};
  DWORD code = GetLastError();
  return {std::nullopt, code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND};
}

// A read-only file cannot be deleted, and CopyFileW carries the attribute over from the package.
// Only a change of the attributes is a mutating call.
std::error_code clear_read_only(const std::u16string& path) {
  SystemPath name = system_path(path);
  if (too_long(name)) return last_error_code();
  DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return last_error_code();
  if (!(attributes & FILE_ATTRIBUTE_READONLY)) return {};
  if (injected_fault("clear_read_only", path)) return last_error_code();
  attributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
  if (!SetFileAttributesW(name.c_str(), attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL)) return last_error_code();
  return {};
}

bool is_held(const std::error_code& error) {
  return error.category() == std::system_category() &&
         (error.value() == ERROR_SHARING_VIOLATION || error.value() == ERROR_LOCK_VIOLATION);
}

std::error_code directory_status(const std::u16string& path, bool& is_directory) {
  is_directory = false;
  SystemPath name = system_path(path);
  DWORD attributes = too_long(name) ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(name.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
      !link_target_attributes(path, attributes))
    attributes = INVALID_FILE_ATTRIBUTES;
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD code = last_error();
    return is_absence(code) ? std::error_code() : std::error_code(static_cast<int>(code), std::system_category());
  }
  is_directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  return {};
}

std::error_code file_size(const std::u16string& path, uint64_t& size) {
  size = 0;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  SystemPath name = system_path(path);
  if (too_long(name) || !GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &data)) return last_error_code();
  // A directory has no size of its own; the standard library refuses it the same way.
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return std::make_error_code(std::errc::is_a_directory);
  size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return {};
}

std::error_code create_directory(const std::u16string& path) {
  if (injected_fault("create_directory", path)) return last_error_code();
  SystemPath name = system_path(path, NEW_FOLDER_LIMIT);
  if (!too_long(name) && CreateDirectoryW(name.c_str(), nullptr)) return {};
  DWORD code = last_error();
  if (code == ERROR_ALREADY_EXISTS) return std::make_error_code(std::errc::file_exists);
  return std::error_code(static_cast<int>(code), std::system_category());
}

std::error_code remove_directory(const std::u16string& path) {
  if (injected_fault("remove_directory", path)) return last_error_code();
  SystemPath name = system_path(path);
  // ERROR_DIR_NOT_EMPTY, ERROR_FILE_NOT_FOUND and ERROR_DIRECTORY (the name is a file's) compare
  // equal to the conditions the interface names.
  if (too_long(name) || !RemoveDirectoryW(name.c_str())) return last_error_code();
  return {};
}

bool holds_reparse_data(const std::u16string& path) {
  SystemPath name = system_path(path);
  if (too_long(name)) return true;
  HANDLE file = CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return true;
  std::vector<BYTE> data(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
  DWORD returned = 0;
  BOOL ok = DeviceIoControl(file, FSCTL_GET_REPARSE_POINT, nullptr, 0, data.data(), static_cast<DWORD>(data.size()),
                            &returned, nullptr);
  DWORD code = GetLastError();
  CloseHandle(file);
  return ok || code != ERROR_NOT_A_REPARSE_POINT;
}

std::error_code list_directory(const std::u16string& path, std::vector<std::u16string>& names) {
  names.clear();
  SystemPath pattern = system_path(path + u"\\*");
  WIN32_FIND_DATAW found{};
  HANDLE search = too_long(pattern) ? INVALID_HANDLE_VALUE : FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return last_error_code();
  do {
    std::u16string name = from_wide(found.cFileName, wcslen(found.cFileName));
    if (name != u"." && name != u"..") names.push_back(std::move(name));
  } while (FindNextFileW(search, &found));
  DWORD code = GetLastError();
  FindClose(search);
  if (code != ERROR_NO_MORE_FILES) return std::error_code(static_cast<int>(code), std::system_category());
  return {};
}

// What an open handle reaches: its identity and its path on its volume. FileNameInfo answers at
// any length, where Wine's GetFinalPathNameByHandleW fails past MAX_PATH.
std::error_code reached_by_handle(FileHandle handle, Reached& result) {
  HANDLE file = to_handle(handle);
  BY_HANDLE_FILE_INFORMATION identity{};
  if (!GetFileInformationByHandle(file, &identity)) return last_error_code();
  std::vector<DWORD> buffer(MAX_PATH);  // grown once for a longer name
  auto name_info = [&] {
    return GetFileInformationByHandleEx(file, FileNameInfo, buffer.data(), static_cast<DWORD>(buffer.size() * sizeof(DWORD)));
  };
  bool asked = name_info();
  if (!asked && GetLastError() == ERROR_MORE_DATA) {
    buffer.resize((sizeof(FILE_NAME_INFO) + LONG_PATH_UNITS * sizeof(wchar_t)) / sizeof(DWORD) + 1);
    asked = name_info();
  }
  if (!asked) return last_error_code();
  const auto* info = reinterpret_cast<const FILE_NAME_INFO*>(buffer.data());
  result.identity = {identity.dwVolumeSerialNumber,
                     (static_cast<uint64_t>(identity.nFileIndexHigh) << 32) | identity.nFileIndexLow};
  result.path = from_wide(info->FileName, info->FileNameLength / sizeof(wchar_t));
  return {};
}

// Zero access and every share mode: the path can be asked about whoever holds it open, and backup
// semantics opens a folder too. The open follows every link, so the answer names what is reached.
std::error_code reached(const std::u16string& path, Reached& result) {
  SystemPath name = system_path(path);
  if (too_long(name)) return last_error_code();
  HANDLE file = CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return last_error_code();
  std::error_code error = reached_by_handle(reinterpret_cast<FileHandle>(file), result);
  CloseHandle(file);
  return error;
}

// The free bytes available to this user, which quotas may make smaller than the volume's free space.
std::optional<uint64_t> free_disk_space(const std::u16string& path) {
  if (auto pretended = faults::free_space_override()) return pretended;
  ULARGE_INTEGER free_to_caller{};
  SystemPath name = system_path(path);
  if (too_long(name) || !GetDiskFreeSpaceExW(name.c_str(), &free_to_caller, nullptr, nullptr)) return std::nullopt;
  return free_to_caller.QuadPart;
}

// ---- Files ------------------------------------------------------------------------------------

// FILE_SHARE_READ alone: a file being read whole cannot change or vanish under the reader.
std::error_code open_for_read(const std::u16string& path, FileHandle& file) {
  SystemPath name = system_path(path);
  if (too_long(name)) return last_error_code();
  HANDLE opened = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (opened == INVALID_HANDLE_VALUE) return last_error_code();
  file = reinterpret_cast<FileHandle>(opened);
  return {};
}

// Sharing reading only: nobody can change, rename or delete what is judged before it is deleted.
std::error_code open_for_removal(const std::u16string& path, FileHandle& file) {
  SystemPath name = system_path(path);
  if (too_long(name)) return last_error_code();
  HANDLE opened = CreateFileW(name.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (opened == INVALID_HANDLE_VALUE) return last_error_code();
  file = reinterpret_cast<FileHandle>(opened);
  return {};
}

std::error_code delete_open_file(FileHandle file, const std::u16string& path) {
  if (injected_fault("delete_open_file", path)) return last_error_code();
  FILE_DISPOSITION_INFO disposition{TRUE};
  if (!SetFileInformationByHandle(to_handle(file), FileDispositionInfo, &disposition, sizeof disposition))
    return last_error_code();
  faults::deleted(path);
  return {};
}

std::error_code rewind_file(FileHandle file) {
  LARGE_INTEGER start{};
  return SetFilePointerEx(to_handle(file), start, nullptr, FILE_BEGIN) ? std::error_code() : last_error_code();
}

std::error_code open_file_size(FileHandle file, uint64_t& size) {
  LARGE_INTEGER value{};
  if (!GetFileSizeEx(to_handle(file), &value)) return last_error_code();
  if (value.QuadPart < 0) return std::make_error_code(std::errc::value_too_large);
  size = static_cast<uint64_t>(value.QuadPart);
  return {};
}

// One call only: a short read is reported to the caller, never completed by a second read.
std::error_code read_file(FileHandle file, void* buffer, uint64_t size, uint64_t& done) {
  done = 0;
  if (size > MAXDWORD) return std::make_error_code(std::errc::invalid_argument);
  DWORD read = 0;
  BOOL ok = ReadFile(to_handle(file), buffer, static_cast<DWORD>(size), &read, nullptr);
  done = read;
  return ok ? std::error_code() : last_error_code();
}

// CREATE_NEW never replaces anything, and share mode 0 keeps every other opener out until the
// content is complete and flushed.
std::error_code create_new_file(const std::u16string& path, FileHandle& file) {
  SystemPath name = system_path(path);
  if (injected_fault("create_new_file", path) || too_long(name)) return last_error_code();
  HANDLE created = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (created == INVALID_HANDLE_VALUE) return last_error_code();
  file = reinterpret_cast<FileHandle>(created);
  faults::created(file, path);
  return {};
}

std::error_code write_file(FileHandle file, const void* data, uint64_t size, uint64_t& done) {
  done = 0;
  if (injected_fault("write_file", file)) return last_error_code();
  if (size > MAXDWORD) return std::make_error_code(std::errc::invalid_argument);
  DWORD written = 0;
  BOOL ok = WriteFile(to_handle(file), data, static_cast<DWORD>(size), &written, nullptr);
  done = written;
  faults::written(file, done);
  return ok ? std::error_code() : last_error_code();
}

std::error_code flush_file(FileHandle file) {
  if (injected_fault("flush_file", file) || !FlushFileBuffers(to_handle(file))) return last_error_code();
  faults::flushed(file);
  return {};
}

void close_file(FileHandle file) {
  faults::closed(file);
  CloseHandle(to_handle(file));
}

// Without MOVEFILE_REPLACE_EXISTING the move fails on an existing destination; write-through
// returns only once the new name is on disk.
std::error_code move_file_new(const std::u16string& source, const std::u16string& destination) {
  SystemPath from = system_path(source), to = system_path(destination);
  if (injected_fault("move_file_new", source) || too_long(from) || too_long(to) ||
      !MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH))
    return last_error_code();
  faults::moved(source, destination);
  return {};
}

std::error_code move_files_new(const std::vector<FileMove>& moves, std::size_t& moved) {
  for (moved = 0; moved < moves.size(); ++moved)
    if (std::error_code error = move_file_new(moves[moved].source, moves[moved].destination)) return error;
  return {};
}

// Windows has no call that starts a file's write-back without waiting for it.
void start_writeback(FileHandle /*file*/) {}

// FlushFileBuffers needs a handle with write access; the flush needs no one else kept out.
std::error_code flush_file_at(const std::u16string& path) {
  SystemPath name = system_path(path);
  if (injected_fault("flush_file_at", path) || too_long(name)) return last_error_code();
  HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return last_error_code();
  std::error_code error = FlushFileBuffers(file) ? std::error_code() : last_error_code();
  CloseHandle(file);
  if (!error) faults::flushed(path);
  return error;
}

std::error_code replace_file(const std::u16string& source, const std::u16string& destination) {
  SystemPath from = system_path(source), to = system_path(destination);
  if (injected_fault("replace_file", source) || too_long(from) || too_long(to) ||
      !MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return last_error_code();
  faults::moved(source, destination);
  return {};
}

std::error_code delete_file(const std::u16string& path) {
  SystemPath name = system_path(path);
  if (injected_fault("delete_file", path) || too_long(name) || !DeleteFileW(name.c_str())) return last_error_code();
  faults::deleted(path);
  return {};
}

// ---- Process and program ----------------------------------------------------------------------

// A result of the full buffer size means the name was cut short (the call then returns the size).
std::optional<std::u16string> module_file_name() {
  std::vector<wchar_t> buffer(LONG_PATH_UNITS);
  DWORD length = GetModuleFileNameW(nullptr, buffer.data(), LONG_PATH_UNITS);
  if (length == 0 || length == LONG_PATH_UNITS) return std::nullopt;
  return from_wide(buffer.data(), length);
}

// The first call tells the size needed; the loop covers a current directory that grows between calls.
std::error_code full_path_name(const std::u16string& path, std::u16string& full) {
  full.clear();
  DWORD needed = GetFullPathNameW(wide(path), 0, nullptr, nullptr);
  while (needed != 0) {
    std::vector<wchar_t> buffer(needed);
    DWORD length = GetFullPathNameW(wide(path), needed, buffer.data(), nullptr);
    if (length == 0) break;
    if (length < needed) {
      full = from_wide(buffer.data(), length);
      return {};
    }
    needed = length;
  }
  return last_error_code();
}

LocalTime local_time() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

unsigned long current_process_id() {
  return GetCurrentProcessId();
}

void sleep_ms(unsigned milliseconds) {
  if (!faults::instant_waits()) Sleep(milliseconds);
}

namespace {

// The Win32 path of the process's executable, if the process may be queried at all.
std::optional<std::u16string> process_image(DWORD process_id) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id);
  if (process == nullptr) return std::nullopt;
  std::vector<wchar_t> buffer(LONG_PATH_UNITS);
  DWORD length = LONG_PATH_UNITS;
  BOOL ok = QueryFullProcessImageNameW(process, 0, buffer.data(), &length);
  CloseHandle(process);
  if (!ok) return std::nullopt;
  return from_wide(buffer.data(), length);
}

}  // namespace

// Processes that cannot be opened or queried (other users', protected ones) are passed over:
// a program we may not query is not one we could be told apart from anyway.
std::vector<std::u16string> other_process_images() {
  std::vector<std::u16string> images;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return images;
  const DWORD own_id = GetCurrentProcessId();
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == own_id) continue;
    if (auto image = process_image(entry.th32ProcessID)) images.push_back(std::move(*image));
  }
  CloseHandle(snapshot);
  return images;
}

// CreateProcessW may write into the command line, so it gets its own terminated copy. The started
// program inherits no handles and is not waited for: both of its handles are closed at once.
std::error_code start_process(const std::u16string& application, const std::u16string& command_line,
                              const std::u16string& current_directory) {
  std::vector<wchar_t> writable(command_line.begin(), command_line.end());
  writable.push_back(L'\0');
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started{};
  // A current directory of MAX_PATH characters or more is taken in no form: Wine starts the program
  // in its Windows folder instead when it is verbatim, which would start the game in the wrong place.
  // Handed over as it is, it fails the start.
  SystemPath program = system_path(application), directory = system_path(current_directory, SIZE_MAX);
  directory.usable = !(faults::windows_path_limits() && current_directory.size() >= MAX_PATH);
  if (too_long(program) || too_long(directory) ||
      !CreateProcessW(program.c_str(), writable.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT, nullptr,
                      directory.c_str(), &startup, &started))
    return last_error_code();
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  return {};
}

std::optional<std::u16string> system_error_text(uint32_t code) {
  wchar_t* buffer = nullptr;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code,
      0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::optional<std::u16string> text;
  if (length != 0 && buffer != nullptr) text = from_wide(buffer, length);
  if (buffer != nullptr) LocalFree(buffer);
  return text;
}

// The folder picker's shell objects need a single-threaded apartment; a thread that already has
// one keeps it, so the result does not matter.
void initialize_com() {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
}

// ---- Profile (INI) files ----------------------------------------------------------------------

namespace {

// The profile functions take a full path of fewer than MAX_PATH characters without a verbatim
// prefix: they are not long-path aware (Wine's refuse a longer path outright).
bool profile_functions_take(const std::u16string& path) {
  return path.size() < MAX_PATH && !is_verbatim_path(path);
}

}  // namespace

std::optional<std::u16string> system_profile_string(const std::u16string& section, const std::u16string& key,
                                                    const std::u16string& fallback, const std::u16string& path,
                                                    std::size_t buffer_chars) {
  if (!profile_functions_take(path)) return std::nullopt;
  if (buffer_chars == 0 || buffer_chars > MAXDWORD) return std::u16string();
  std::vector<wchar_t> buffer(buffer_chars);
  DWORD length = GetPrivateProfileStringW(wide(section), wide(key), wide(fallback), buffer.data(),
                                          static_cast<DWORD>(buffer_chars), wide(path));
  return from_wide(buffer.data(), length);
}

// The platform keeps a file that starts with a UTF-16 LE byte order mark in UTF-16.
std::optional<std::error_code> write_system_profile_string(const std::u16string& section, const std::u16string& key,
                                                           const std::u16string& value, const std::u16string& path) {
  if (!profile_functions_take(path)) return std::nullopt;
  if (injected_fault("write_profile_string", path) ||
      !WritePrivateProfileStringW(wide(section), wide(key), wide(value), wide(path)))
    return last_error_code();
  // The profile functions rewrite the file in place and flush nothing.
  faults::rewritten(path);
  return std::error_code();
}

// All three names null asks the platform to write its cached copy of the file to disk.
void flush_system_profile(const std::u16string& path) {
  if (!profile_functions_take(path) || injected_fault("flush_profile", path)) return;
  WritePrivateProfileStringW(nullptr, nullptr, nullptr, wide(path));
}

// ---- Signature --------------------------------------------------------------------------------

namespace {

// CNG takes its inputs through non-const pointers but does not write to them.
PUCHAR bytes(const uint8_t* data) {
  return const_cast<PUCHAR>(data);
}

bool failed(NTSTATUS status) {
  return status < 0;
}

SignatureCheck verify_with_key(BCRYPT_ALG_HANDLE algorithm, const uint8_t (&key_blob)[72],
                               const uint8_t (&digest)[32], const uint8_t (&signature)[64]) {
  BCRYPT_KEY_HANDLE key = nullptr;
  if (failed(BCryptImportKeyPair(algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, bytes(key_blob),
                                 sizeof(key_blob), 0)))
    return SignatureCheck::cannot_import_key;
  NTSTATUS status = BCryptVerifySignature(key, nullptr, bytes(digest), sizeof(digest), bytes(signature),
                                          sizeof(signature), 0);
  BCryptDestroyKey(key);
  return failed(status) ? SignatureCheck::invalid : SignatureCheck::valid;
}

}  // namespace

// The key and the algorithm are released on every path, refusals included.
SignatureCheck verify_p256(const uint8_t (&key_blob)[72], const uint8_t (&digest)[32],
                           const uint8_t (&signature)[64]) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (failed(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0)))
    return SignatureCheck::cannot_open_algorithm;
  SignatureCheck result = verify_with_key(algorithm, key_blob, digest, signature);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return result;
}

// ---- User interface ---------------------------------------------------------------------------

int message_box(void* owner, const std::u16string& text, const std::u16string& caption, uint32_t flags) {
  return MessageBoxW(static_cast<HWND>(owner), wide(text), wide(caption), flags);
}

// The CRT streams stay in text mode, so "\n" reaches a redirected file or pipe as CR LF.
void write_stdout(std::string_view utf8) {
  write_stream(stdout, STD_OUTPUT_HANDLE, utf8);
}

void write_stderr(std::string_view utf8) {
  write_stream(stderr, STD_ERROR_HANDLE, utf8);
}

}  // namespace platform
