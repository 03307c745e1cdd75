// The one seam between the programs' logic and the operating system.
//
// Every platform call that the installer and the launcher make goes through these functions.
// platform_win32.cpp makes exactly the Win32 calls with the flags the programs rely on;
// platform_posix.cpp stands in for them on Linux so that the same logic runs under the native
// tests. Nothing here throws, decides what a failure means or knows a message text: callers turn
// failures into PatchError with their own wording.
//
// Results: a call that asks the system to do something, or to tell something that it may fail to
// tell, returns a std::error_code, empty on success and otherwise the system's own error (Windows'
// code in the system category, which compares equal to the std::errc conditions; errno on Linux),
// and hands back what it learnt through its last parameters. A conversion or a lookup that has
// nothing to tell but "there is none" returns its result, or std::optional; the signature check
// returns its verdict.
//
// Paths are UTF-16 full paths in which both '\' and '/' separate elements, except below a verbatim
// prefix (\\?\), where only '\' does; the path join writes '\' there.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace platform {

// ---- Path conventions -------------------------------------------------------------------------

#ifdef _WIN32
inline constexpr char16_t PREFERRED_SEPARATOR = u'\\';
// On Windows only a drive letter with a separator, or another root name, makes a path absolute.
inline constexpr bool ROOT_DIRECTORY_IS_ABSOLUTE = false;
#else
inline constexpr char16_t PREFERRED_SEPARATOR = u'/';
// On Linux "/..." is absolute: the root directory alone is the whole root.
inline constexpr bool ROOT_DIRECTORY_IS_ABSOLUTE = true;
#endif

// ---- Text -------------------------------------------------------------------------------------

// Strict conversions: false when the input is not well-formed (nothing is replaced or dropped).
bool utf8_to_utf16(std::string_view in, std::u16string& out);
bool utf16_to_utf8(std::u16string_view in, std::string& out);

// The platform's Unicode lower-case mapping over the whole string (CharLowerBuffW on Windows).
std::u16string lower_case(std::u16string text);

// ---- File attributes and directories ----------------------------------------------------------

using FileHandle = std::intptr_t;

inline constexpr uint32_t ATTRIBUTE_READ_ONLY = 0x1;
inline constexpr uint32_t ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr uint32_t ATTRIBUTE_REPARSE_POINT = 0x400;

// GetFileAttributesW: nullopt when the query fails. A link at the path itself is reported as a
// reparse point, not followed.
struct AttributeQuery {
  std::optional<uint32_t> attributes;
  // The query failed because the path or a directory on the way does not exist (file or path not
  // found), not because it could not be asked (no access, a name the volume refuses, ...).
  bool missing = false;
};
AttributeQuery query_attributes(const std::u16string& path);
inline std::optional<uint32_t> file_attributes(const std::u16string& path) { return query_attributes(path).attributes; }

// SetFileAttributesW without FILE_ATTRIBUTE_READONLY, so that the file can be deleted again. A file
// that is not read-only is left as it is.
std::error_code clear_read_only(const std::u16string& path);

// Whether the call failed only because another program holds the file open in a way that shuts this
// call out (a sharing or lock violation on Windows; on Linux the advisory lock of a writer): the same
// call may succeed a moment later. What to do about it is the caller's business.
bool is_held(const std::error_code& error);

// Whether the path is a directory, following links. A missing path gives false with no error;
// any other failure of the query is returned as the error.
std::error_code directory_status(const std::u16string& path, bool& is_directory);

// The size of a file as the file system reports it.
std::error_code file_size(const std::u16string& path, uint64_t& size);

// Creates one directory; an existing directory of that name is reported as file_exists.
std::error_code create_directory(const std::u16string& path);

// RemoveDirectoryW: only an empty directory is removed. Besides a system error, the failure tells
// directory_not_empty (something is in it), no_such_file_or_directory (nothing is there) and
// not_a_directory (something else is there).
std::error_code remove_directory(const std::u16string& path);

// Whether the path holds reparse data of its own (FSCTL_GET_REPARSE_POINT on the path opened as a
// reparse point): false only when the system answers that it is no reparse point, as Wine answers
// for the folders it marks because a file system is mounted there; on Linux, whether it is a link.
bool holds_reparse_data(const std::u16string& path);

// The names a folder lists, "." and ".." left out (FindFirstFileW, FindNextFileW).
std::error_code list_directory(const std::u16string& path, std::vector<std::u16string>& names);

// What an open of a path reaches once every link on the way is followed: the file's identity (the
// volume's serial number and the file's index on it) and its path on that volume, which together
// name it among all files of the machine (GetFileInformationByHandle and GetFileInformationByHandleEx
// with FileNameInfo, of the path opened without access; on Linux the device, the inode and realpath).
struct FileIdentity {
  uint64_t volume = 0, index = 0;
  bool operator==(const FileIdentity&) const = default;
};
struct Reached {
  FileIdentity identity;
  std::u16string path;
};
std::error_code reached(const std::u16string& path, Reached& result);
// The same, asked of a file already open.
std::error_code reached_by_handle(FileHandle file, Reached& result);

// GetDiskFreeSpaceExW: the bytes free to the calling user on the volume of the path.
std::optional<uint64_t> free_disk_space(const std::u16string& path);

// ---- Files ------------------------------------------------------------------------------------

// CreateFileW(GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING): others may read, nobody may write.
std::error_code open_for_read(const std::u16string& path, FileHandle& file);
// CreateFileW(GENERIC_READ | DELETE, FILE_SHARE_READ, OPEN_EXISTING): a file to be read, judged and
// then deleted through this same handle. While it is open others may read it, but nobody may write,
// rename or delete it.
std::error_code open_for_removal(const std::u16string& path, FileHandle& file);
// Marks the open file for deletion (SetFileInformationByHandle with FileDispositionInfo): the file
// this handle opened goes when its last handle is closed, whatever its name is by then. A read-only
// file is refused, as DeleteFileW refuses it. `path` names it for the test hooks only.
std::error_code delete_open_file(FileHandle file, const std::u16string& path);
// Back to the start of the open file (SetFilePointerEx).
std::error_code rewind_file(FileHandle file);
// GetFileSizeEx; a negative size is an error too.
std::error_code open_file_size(FileHandle file, uint64_t& size);
// One single ReadFile call. `done` receives the bytes read.
std::error_code read_file(FileHandle file, void* buffer, uint64_t size, uint64_t& done);
// CreateFileW(GENERIC_WRITE, share 0, CREATE_NEW): fails when anything of that name exists.
std::error_code create_new_file(const std::u16string& path, FileHandle& file);
// One single WriteFile call. `done` receives the bytes written.
std::error_code write_file(FileHandle file, const void* data, uint64_t size, uint64_t& done);
// FlushFileBuffers.
std::error_code flush_file(FileHandle file);
void close_file(FileHandle file);

// MoveFileExW with MOVEFILE_WRITE_THROUGH alone: fails (file_exists) when the destination exists.
std::error_code move_file_new(const std::u16string& source, const std::u16string& destination);
struct FileMove {
  std::u16string source, destination;
};
// move_file_new for each move in order, stopping at the first that fails; `moved` tells how many
// were moved. Windows writes each rename through; Linux syncs each directory of the new names once,
// after the last rename, so that a batch of renames costs a few disk commits rather than one each.
std::error_code move_files_new(const std::vector<FileMove>& moves, std::size_t& moved);

// Starts writing the file's cached data to disk and returns at once (Linux's sync_file_range; on
// Windows nothing). Starting every file of a batch before flushing any lets their writes overlap.
void start_writeback(FileHandle file);
// Opens the file for writing, sharing it with every other opener, and flushes it (FlushFileBuffers):
// its data is on disk when this returns. For a file that another writer (the profile functions) wrote.
std::error_code flush_file_at(const std::u16string& path);
// MoveFileExW with MOVEFILE_REPLACE_EXISTING and MOVEFILE_WRITE_THROUGH: the destination, if any,
// is replaced by the source in one step.
std::error_code replace_file(const std::u16string& source, const std::u16string& destination);
// DeleteFileW.
std::error_code delete_file(const std::u16string& path);

// ---- Process and program ----------------------------------------------------------------------

// GetModuleFileNameW(NULL) into 32,768 code units; nullopt when it fails or does not fit.
std::optional<std::u16string> module_file_name();
// GetFullPathNameW: the path made absolute against the current directory.
std::error_code full_path_name(const std::u16string& path, std::u16string& full);

struct LocalTime {
  unsigned year, month, day, hour, minute, second;
};
LocalTime local_time();
// Sleep. Test builds that answer calls with injected holds make it return at once.
void sleep_ms(unsigned milliseconds);
unsigned long current_process_id();

// The executable paths of every other process that can be opened and queried
// (Toolhelp snapshot, OpenProcess with PROCESS_QUERY_LIMITED_INFORMATION, QueryFullProcessImageNameW).
std::vector<std::u16string> other_process_images();

// CreateProcessW(application, command_line, no inheritance, CREATE_UNICODE_ENVIRONMENT,
// current_directory); both handles are closed at once and nothing waits.
std::error_code start_process(const std::u16string& application, const std::u16string& command_line,
                              const std::u16string& current_directory);
// FormatMessageW(FROM_SYSTEM | IGNORE_INSERTS | ALLOCATE_BUFFER): nullopt when there is no text.
std::optional<std::u16string> system_error_text(uint32_t code);

// CoInitializeEx(COINIT_APARTMENTTHREADED); the result is ignored.
void initialize_com();

// ---- Profile (INI) files ----------------------------------------------------------------------

// GetPrivateProfileStringW with a buffer of `buffer_chars` characters; nullopt where the platform has
// no profile function for the path (Linux; on Windows a path of MAX_PATH characters or more, or a
// verbatim one, which the profile functions do not take).
std::optional<std::u16string> system_profile_string(const std::u16string& section, const std::u16string& key,
                                                    const std::u16string& fallback, const std::u16string& path,
                                                    std::size_t buffer_chars);
// WritePrivateProfileStringW(section, key, value, path): how the write ended; nullopt as above.
std::optional<std::error_code> write_system_profile_string(const std::u16string& section, const std::u16string& key,
                                                const std::u16string& value, const std::u16string& path);
// WritePrivateProfileStringW(NULL, NULL, NULL, path), where the platform has profile functions.
void flush_system_profile(const std::u16string& path);

// ---- Signature --------------------------------------------------------------------------------

enum class SignatureCheck { valid, cannot_open_algorithm, cannot_import_key, invalid };
// ECDSA P-256 over a 32-byte digest: key_blob is the 72-byte ECCPUBLICBLOB, signature is r||s.
SignatureCheck verify_p256(const uint8_t (&key_blob)[72], const uint8_t (&digest)[32],
                           const uint8_t (&signature)[64]);

// ---- User interface ---------------------------------------------------------------------------

inline constexpr uint32_t MB_OK_ = 0x0;
inline constexpr uint32_t MB_YESNO_ = 0x4;
inline constexpr uint32_t MB_ICONERROR_ = 0x10;
inline constexpr uint32_t MB_ICONQUESTION_ = 0x20;
inline constexpr uint32_t MB_ICONINFORMATION_ = 0x40;
inline constexpr int IDYES_ = 6;

// MessageBoxW. Without a window system (the Linux build) no box is shown and 0 is returned,
// which no caller takes as Yes.
int message_box(void* owner, const std::u16string& text, const std::u16string& caption, uint32_t flags);

// One write of UTF-8 text to the standard streams, which are in text mode on Windows
// (so "\n" reaches a file or pipe as CR LF). A stream that goes nowhere is ignored.
void write_stdout(std::string_view utf8);
void write_stderr(std::string_view utf8);

// ---- Test hooks -------------------------------------------------------------------------------
//
// In test builds a test can make the Nth mutating call (create, write, flush, rename, delete,
// attribute change, directory create or remove, profile write) fail, end the process abruptly there,
// make it and the next calls that name a path answer "held by another opener" K times in all (as
// a scanner that holds a new file for a moment makes them answer), or cut the power there: then every file loses what was written to it since its
// last flush (zeroed in place, or cut back to its flushed length), while completed creates,
// renames and deletes stay, as a journaling file system keeps them. It can pretend a given amount
// of free disk space, and make the Windows build refuse, as a default Windows does, every path of
// 260 characters or more (248 for a new folder) that is not in its verbatim form. The environment
// variables VANRO_FAULT ("fail:N", "crash:N", "cut-zero:N", "cut-truncate:N"), VANRO_FREE_SPACE and
// VANRO_WINDOWS_PATH_LIMITS ("1") set the same from outside, for tests that run the programs.
// In builds with a real key the hooks are compiled out and these functions do nothing.
namespace testing {
enum class FaultMode { none, fail, crash, held, cut_zero, cut_truncate };
// `times` counts the held answers of FaultMode::held.
void set_fault(FaultMode mode, uint64_t nth, uint64_t times = 1);
// Mutating calls counted since the last set_fault.
uint64_t mutating_calls();
void set_free_space(std::optional<uint64_t> bytes);
void set_windows_path_limits(bool on);
// Runs `action` at the Nth mutating call, just before the call itself: to change a file at an exact
// step of an operation (the call counter starts again as with set_fault).
void run_at(uint64_t nth, std::function<void()> action);
// Between the two calls, every mutating call is also written down in order: its name (the platform
// function's) and the path it changes (a move's source; none for a handle).
struct MutatingCall {
  std::string call;
  std::u16string path;
};
void start_recording();
std::vector<MutatingCall> recorded_calls();
}  // namespace testing

}  // namespace platform
