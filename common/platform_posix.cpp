// The Linux stand-in for the Win32 calls of platform.h, so that the programs' logic runs under the
// native tests, sanitizers and fuzzers. Only POSIX, Linux and OpenSSL calls live here.
//
// Where POSIX cannot give what Windows gives, this file comes as close as it can and says so:
// - Share modes do not exist. A file being written holds an exclusive flock and a reader asks for a
//   shared one without waiting, so a writer blocks our own readers as FILE_SHARE_READ would; other
//   programs, which do not take these advisory locks, are not kept out.
// - Symbolic links are the reparse points: a link at a path reports ATTRIBUTE_REPARSE_POINT.
// - Paths may use '\' as Windows paths do; it is turned into '/' before any call, so a Linux file
//   name that holds a backslash cannot be reached.
// - Windows has no execute permission: any file may be started. Files made here get every permission
//   the umask allows, so an installed launcher or a written launch copy can be run.
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwctype>
#include <memory>

#include "common/platform.h"
#include "common/platform_faults.h"

extern char** environ;

namespace platform {
namespace {

// ---- The strict codec: it refuses exactly what MB_ERR_INVALID_CHARS and WC_ERR_INVALID_CHARS refuse.

bool decode_utf8(std::string_view in, std::size_t& i, char32_t& code) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(in[k]); };
  unsigned char lead = byte(i);
  if (lead < 0x80) {
    code = lead;
    ++i;
    return true;
  }
  std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (length == 0 || lead > 0xF4 || i + length > in.size()) return false;
  code = lead & (0xFF >> (length + 1));
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return false;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  static constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
  i += length;
  return true;
}

void append_utf8(std::string& out, char32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// The Linux path of a UTF-16 path, '\' turned into '/'. A path that is not valid UTF-16 becomes the
// empty path, which every call refuses.
std::string native(const std::u16string& path) {
  std::string out;
  if (!utf16_to_utf8(path, out)) return {};
  for (char& c : out)
    if (c == '\\') c = '/';
  return out;
}

std::u16string from_native(const std::string& path) {
  std::u16string out;
  return utf8_to_utf16(path, out) ? out : std::u16string();
}

std::error_code last_error() { return std::error_code(errno, std::generic_category()); }

// What a call that a test made fail reports: an I/O error, as a failing disk would; or, for an
// injected hold, what a writer's lock makes our readers meet.
std::error_code injected(faults::Injected kind) {
  return std::make_error_code(kind == faults::Injected::held ? std::errc::operation_would_block : std::errc::io_error);
}

// Asks the test hook about a mutating call on a path or an open file; `error` receives what the call
// must answer instead.
template <typename Subject>
bool injected_fault(const char* call, const Subject& subject, std::error_code& error) {
  faults::Injected kind = faults::fail_here(call, subject);
  if (kind == faults::Injected::none) return false;
  error = injected(kind);
  return true;
}

// The read-only attribute of Windows, as Wine maps it: a plain file that its owner may not write.
// Like DeleteFileW, delete_file refuses such a file, so that the programs meet it here as well.
bool is_read_only(const struct stat& st) { return S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR); }

// Makes a rename or a creation durable, as MOVEFILE_WRITE_THROUGH does for the rename on Windows.
void sync_parent_directory(const std::string& path) {
  std::string parent = path.substr(0, path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/'));
  if (parent.empty()) parent = path.find('/') == 0 ? "/" : ".";
  int fd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

bool write_fully(int fd, const void* data, uint64_t size, uint64_t& done) {
  done = 0;
  const char* bytes = static_cast<const char*>(data);
  while (done < size) {
    ssize_t n = ::write(fd, bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<uint64_t>(n);
  }
  return true;
}

}  // namespace

// ---- Text ---------------------------------------------------------------------------------------

bool utf8_to_utf16(std::string_view in, std::u16string& out) {
  out.clear();
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size();) {
    char32_t code = 0;
    if (!decode_utf8(in, i, code)) return false;
    if (code >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
  }
  return true;
}

bool utf16_to_utf8(std::u16string_view in, std::string& out) {
  out.clear();
  out.reserve(in.size() * 3);
  for (std::size_t i = 0; i < in.size(); ++i) {
    char32_t code = in[i];
    if (code >= 0xD800 && code <= 0xDBFF) {
      if (i + 1 >= in.size() || in[i + 1] < 0xDC00 || in[i + 1] > 0xDFFF) return false;
      code = 0x10000 + ((code - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    } else if (code >= 0xDC00 && code <= 0xDFFF) {
      return false;
    }
    append_utf8(out, code);
  }
  return true;
}

std::u16string lower_case(std::u16string text) {
  // The C.UTF-8 locale's towlower holds the full Unicode simple lower-case mapping. Like
  // CharLowerBuffW it maps each UTF-16 code unit on its own and leaves surrogates alone.
  static locale_t utf8_locale = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  for (char16_t& c : text) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    wint_t lower = utf8_locale ? ::towlower_l(c, utf8_locale) : ((c >= u'A' && c <= u'Z') ? c + 32 : c);
    if (lower <= 0xFFFF) c = static_cast<char16_t>(lower);
  }
  return text;
}

// ---- File attributes and directories --------------------------------------------------------------

AttributeQuery query_attributes(const std::u16string& path) {
  std::string p = native(path);
  struct stat st {};
  if (p.empty()) return {};
  if (::lstat(p.c_str(), &st) != 0) return {std::nullopt, errno == ENOENT || errno == ENOTDIR};
  if (S_ISLNK(st.st_mode)) {
    struct stat target {};
    bool to_directory = ::stat(p.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
    return {ATTRIBUTE_REPARSE_POINT | (to_directory ? ATTRIBUTE_DIRECTORY : 0u), false};
  }
  if (S_ISDIR(st.st_mode)) return {ATTRIBUTE_DIRECTORY, false};
  // FILE_ATTRIBUTE_ARCHIVE for the rest, and read-only where nobody may write, as Wine shows it.
  return {0x20u | (is_read_only(st) ? ATTRIBUTE_READ_ONLY : 0u), false};
}

// Only a change of the attributes is a mutating call.
std::error_code clear_read_only(const std::u16string& path) {
  std::string p = native(path);
  struct stat st {};
  if (p.empty()) return std::make_error_code(std::errc::invalid_argument);
  if (::lstat(p.c_str(), &st) != 0) return last_error();
  if (!is_read_only(st)) return {};
  if (std::error_code error; injected_fault("clear_read_only", path, error)) return error;
  return ::chmod(p.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0 ? std::error_code() : last_error();
}

// The advisory lock of a file being written is what keeps our readers out here.
bool is_held(const std::error_code& error) {
  return error == std::errc::operation_would_block || error == std::errc::resource_unavailable_try_again;
}

std::error_code directory_status(const std::u16string& path, bool& is_directory) {
  is_directory = false;
  std::string p = native(path);
  struct stat st {};
  if (p.empty()) return {};
  if (::stat(p.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return {};
    return last_error();
  }
  is_directory = S_ISDIR(st.st_mode);
  return {};
}

std::error_code file_size(const std::u16string& path, uint64_t& size) {
  std::string p = native(path);
  struct stat st {};
  if (p.empty()) return std::make_error_code(std::errc::invalid_argument);
  if (::stat(p.c_str(), &st) != 0) return last_error();
  if (S_ISDIR(st.st_mode)) return std::make_error_code(std::errc::is_a_directory);
  size = static_cast<uint64_t>(st.st_size);
  return {};
}

std::error_code create_directory(const std::u16string& path) {
  if (std::error_code error; injected_fault("create_directory", path, error)) return error;
  std::string p = native(path);
  if (::mkdir(p.c_str(), 0755) != 0) return errno == EEXIST ? std::make_error_code(std::errc::file_exists) : last_error();
  return {};
}

std::error_code remove_directory(const std::u16string& path) {
  if (std::error_code error; injected_fault("remove_directory", path, error)) return error;
  if (::rmdir(native(path).c_str()) == 0) return {};
  // Linux may say either for a directory that holds something.
  if (errno == EEXIST) return std::make_error_code(std::errc::directory_not_empty);
  return last_error();
}

bool holds_reparse_data(const std::u16string& path) {
  struct stat st {};
  return ::lstat(native(path).c_str(), &st) != 0 || S_ISLNK(st.st_mode);
}

std::error_code list_directory(const std::u16string& path, std::vector<std::u16string>& names) {
  names.clear();
  std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(native(path).c_str()), ::closedir);
  if (!folder) return last_error();
  while (dirent* entry = ::readdir(folder.get())) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(from_native(name));
  }
  return {};
}

// The kernel names what an open file descriptor reaches.
std::error_code reached_by_handle(FileHandle file, Reached& result) {
  struct stat st {};
  std::string target(32768, '\0');
  std::string link = "/proc/self/fd/" + std::to_string(file);
  ssize_t n = ::readlink(link.c_str(), target.data(), target.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= target.size() || ::fstat(static_cast<int>(file), &st) != 0)
    return last_error();
  target.resize(static_cast<std::size_t>(n));
  result.identity = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  result.path = from_native(target);
  return {};
}

std::error_code reached(const std::u16string& path, Reached& result) {
  std::string p = native(path);
  struct stat st {};
  if (p.empty()) return std::make_error_code(std::errc::invalid_argument);
  std::unique_ptr<char, void (*)(void*)> resolved(::realpath(p.c_str(), nullptr), ::free);
  if (!resolved || ::stat(resolved.get(), &st) != 0) return last_error();
  result.identity = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  result.path = from_native(resolved.get());
  return {};
}

std::optional<uint64_t> free_disk_space(const std::u16string& path) {
  if (std::optional<uint64_t> pretended = faults::free_space_override()) return pretended;
  struct statvfs vfs {};
  if (::statvfs(native(path).c_str(), &vfs) != 0) return std::nullopt;
  return static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
}

// ---- Files ----------------------------------------------------------------------------------------

std::error_code open_for_read(const std::u16string& path, FileHandle& file) {
  // O_NONBLOCK so that a FIFO cannot hang the open; only regular files are read.
  int fd = ::open(native(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return last_error();
  struct stat st {};
  std::error_code error;
  if (::fstat(fd, &st) != 0 || ::flock(fd, LOCK_SH | LOCK_NB) != 0) error = last_error();
  else if (!S_ISREG(st.st_mode)) error = std::make_error_code(std::errc::is_a_directory);
  if (error) {
    ::close(fd);
    return error;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  file = fd;
  return {};
}

std::error_code open_for_removal(const std::u16string& path, FileHandle& file) { return open_for_read(path, file); }

// Linux deletes names, not files: the name is taken away only while it still names the file that
// the descriptor holds, and never when it is a link.
std::error_code delete_open_file(FileHandle file, const std::u16string& path) {
  if (std::error_code error; injected_fault("delete_open_file", path, error)) return error;
  std::string p = native(path);
  struct stat held {}, named {};
  if (::fstat(static_cast<int>(file), &held) != 0 || ::lstat(p.c_str(), &named) != 0) return last_error();
  if (held.st_dev != named.st_dev || held.st_ino != named.st_ino) return std::make_error_code(std::errc::no_such_file_or_directory);
  if (is_read_only(named)) return std::make_error_code(std::errc::permission_denied);
  if (::unlink(p.c_str()) != 0) return last_error();
  faults::deleted(path);
  return {};
}

std::error_code rewind_file(FileHandle file) {
  return ::lseek(static_cast<int>(file), 0, SEEK_SET) == 0 ? std::error_code() : last_error();
}

std::error_code open_file_size(FileHandle file, uint64_t& size) {
  struct stat st {};
  if (::fstat(static_cast<int>(file), &st) != 0) return last_error();
  if (st.st_size < 0) return std::make_error_code(std::errc::value_too_large);
  size = static_cast<uint64_t>(st.st_size);
  return {};
}

std::error_code read_file(FileHandle file, void* buffer, uint64_t size, uint64_t& done) {
  done = 0;
  char* bytes = static_cast<char*>(buffer);
  while (done < size) {
    ssize_t n = ::read(static_cast<int>(file), bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return last_error();
    if (n == 0) break;  // the file shrank: a short read, which the caller reports
    done += static_cast<uint64_t>(n);
  }
  return {};
}

std::error_code create_new_file(const std::u16string& path, FileHandle& file) {
  if (std::error_code error; injected_fault("create_new_file", path, error)) return error;
  // O_EXCL refuses any existing name, a dangling symbolic link included.
  int fd = ::open(native(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0777);
  if (fd < 0) return last_error();
  ::flock(fd, LOCK_EX | LOCK_NB);
  faults::created(fd, path);
  file = fd;
  return {};
}

std::error_code write_file(FileHandle file, const void* data, uint64_t size, uint64_t& done) {
  done = 0;
  if (std::error_code error; injected_fault("write_file", file, error)) return error;
  bool ok = write_fully(static_cast<int>(file), data, size, done);
  faults::written(file, done);
  return ok ? std::error_code() : last_error();
}

std::error_code flush_file(FileHandle file) {
  if (std::error_code error; injected_fault("flush_file", file, error)) return error;
  if (::fsync(static_cast<int>(file)) != 0) return last_error();
  faults::flushed(file);
  return {};
}

void close_file(FileHandle file) {
  faults::closed(file);
  ::close(static_cast<int>(file));
}

namespace {

// renameat2 with RENAME_NOREPLACE; where the file system cannot, link() refuses an existing name just
// the same.
bool rename_no_replace(const std::string& from, const std::string& to) {
  int result = static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE));
  if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
    result = ::link(from.c_str(), to.c_str());
    if (result == 0) ::unlink(from.c_str());
  }
  return result == 0;
}

}  // namespace

std::error_code move_files_new(const std::vector<FileMove>& moves, std::size_t& moved) {
  std::error_code error;
  std::vector<std::string> directories;  // of the names made so far, each once
  for (moved = 0; moved < moves.size(); ++moved) {
    if (injected_fault("move_file_new", moves[moved].source, error)) break;
    std::string to = native(moves[moved].destination);
    if (!rename_no_replace(native(moves[moved].source), to)) {
      error = last_error();
      break;
    }
    faults::moved(moves[moved].source, moves[moved].destination);
    std::string directory = to.substr(0, to.find_last_of('/') + 1);
    if (std::find(directories.begin(), directories.end(), directory) == directories.end())
      directories.push_back(directory);
  }
  // One sync of a directory commits all of its renames; syncs after the first cost little.
  for (const std::string& directory : directories) sync_parent_directory(directory + ".");
  return error;
}

std::error_code move_file_new(const std::u16string& source, const std::u16string& destination) {
  std::size_t moved = 0;
  return move_files_new({{source, destination}}, moved);
}

std::error_code replace_file(const std::u16string& source, const std::u16string& destination) {
  if (std::error_code error; injected_fault("replace_file", source, error)) return error;
  std::string to = native(destination);
  if (::rename(native(source).c_str(), to.c_str()) != 0) return last_error();
  faults::moved(source, destination);
  sync_parent_directory(to);
  return {};
}

void start_writeback(FileHandle file) { ::sync_file_range(static_cast<int>(file), 0, 0, SYNC_FILE_RANGE_WRITE); }

std::error_code flush_file_at(const std::u16string& path) {
  if (std::error_code error; injected_fault("flush_file_at", path, error)) return error;
  int fd = ::open(native(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return last_error();
  std::error_code error = ::fsync(fd) == 0 ? std::error_code() : last_error();
  if (::close(fd) != 0 && !error) error = last_error();
  if (!error) faults::flushed(path);
  return error;
}

std::error_code delete_file(const std::u16string& path) {
  if (std::error_code error; injected_fault("delete_file", path, error)) return error;
  std::string p = native(path);
  struct stat st {};
  if (::lstat(p.c_str(), &st) == 0 && is_read_only(st)) return std::make_error_code(std::errc::permission_denied);
  if (::unlink(p.c_str()) != 0) return last_error();
  faults::deleted(path);
  return {};
}

// ---- Process and program --------------------------------------------------------------------------

std::optional<std::u16string> module_file_name() {
  std::string buffer(32768, '\0');
  ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= buffer.size()) return std::nullopt;
  buffer.resize(static_cast<std::size_t>(n));
  std::u16string path = from_native(buffer);
  if (path.empty()) return std::nullopt;
  return path;
}

std::error_code full_path_name(const std::u16string& path, std::u16string& full) {
  // Like GetFullPathNameW: made absolute against the current directory, "." and ".." elements
  // resolved and separator runs folded; a trailing separator after an ordinary name stays.
  if (path.empty()) return std::make_error_code(std::errc::invalid_argument);
  std::u16string absolute = path;
  if (path[0] != u'/' && path[0] != u'\\') {
    std::string cwd(4096, '\0');
    if (!::getcwd(cwd.data(), cwd.size())) return last_error();
    cwd.resize(std::strlen(cwd.c_str()));
    absolute = from_native(cwd) + u"/" + path;
  }
  std::vector<std::u16string> elements;
  std::u16string element, last;
  for (std::size_t i = 0; i <= absolute.size(); ++i) {
    if (i < absolute.size() && absolute[i] != u'/' && absolute[i] != u'\\') {
      element.push_back(absolute[i]);
      continue;
    }
    if (element == u"..") {
      if (!elements.empty()) elements.pop_back();
    } else if (!element.empty() && element != u".") {
      elements.push_back(element);
    }
    if (!element.empty()) last = element;
    element.clear();
  }
  bool ends_with_separator = absolute.back() == u'/' || absolute.back() == u'\\';
  full = u"/";
  for (std::size_t i = 0; i < elements.size(); ++i) full += (i ? u"/" : u"") + elements[i];
  if (ends_with_separator && last != u"." && last != u".." && !elements.empty()) full += u"/";
  return {};
}

LocalTime local_time() {
  std::time_t now = std::time(nullptr);
  std::tm tm {};
  ::localtime_r(&now, &tm);
  return {static_cast<unsigned>(tm.tm_year + 1900), static_cast<unsigned>(tm.tm_mon + 1), static_cast<unsigned>(tm.tm_mday),
          static_cast<unsigned>(tm.tm_hour), static_cast<unsigned>(tm.tm_min), static_cast<unsigned>(tm.tm_sec)};
}

unsigned long current_process_id() { return static_cast<unsigned long>(::getpid()); }

void sleep_ms(unsigned milliseconds) {
  if (faults::instant_waits()) return;
  struct timespec wait {static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000};
  while (::nanosleep(&wait, &wait) != 0 && errno == EINTR) {}
}

std::vector<std::u16string> other_process_images() {
  // A game that Wine runs shows here as Wine's own loader, so only native processes are seen.
  std::vector<std::u16string> images;
  std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
  if (!proc) return images;
  std::string self = std::to_string(::getpid());
  while (dirent* entry = ::readdir(proc.get())) {
    std::string name = entry->d_name;
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos || name == self) continue;
    std::string target(32768, '\0');
    ssize_t n = ::readlink(("/proc/" + name + "/exe").c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) continue;
    target.resize(static_cast<std::size_t>(n));
    std::u16string image = from_native(target);
    if (!image.empty()) images.push_back(image);
  }
  return images;
}

std::error_code start_process(const std::u16string& application, const std::u16string& /*command_line*/,
                              const std::u16string& current_directory) {
  // The launch copy's path is the only argument, as the quoted path is the whole command line on Windows.
  std::string path = native(application), directory = native(current_directory);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  char* argv[] = {path.data(), nullptr};
  pid_t pid = 0;
  int error = ::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
  ::posix_spawn_file_actions_destroy(&actions);
  return std::error_code(error, std::generic_category());
}

std::optional<std::u16string> system_error_text(uint32_t code) {
  const char* text = ::strerrordesc_np(static_cast<int>(code));
  if (!text) return std::nullopt;
  return from_native(text);
}

void initialize_com() {}

// ---- Profile (INI) files --------------------------------------------------------------------------
//
// Linux has no profile functions: common/profile.cpp reads and writes such files itself.

std::optional<std::u16string> system_profile_string(const std::u16string&, const std::u16string&, const std::u16string&,
                                                    const std::u16string&, std::size_t) {
  return std::nullopt;
}

std::optional<std::error_code> write_system_profile_string(const std::u16string&, const std::u16string&,
                                                           const std::u16string&, const std::u16string&) {
  return std::nullopt;
}

void flush_system_profile(const std::u16string&) {}

// ---- Signature ------------------------------------------------------------------------------------

SignatureCheck verify_p256(const uint8_t (&key_blob)[72], const uint8_t (&digest)[32], const uint8_t (&signature)[64]) {
  using Context = std::unique_ptr<EVP_PKEY_CTX, void (*)(EVP_PKEY_CTX*)>;
  Context key_context(::EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr), ::EVP_PKEY_CTX_free);
  if (!key_context || ::EVP_PKEY_fromdata_init(key_context.get()) != 1) return SignatureCheck::cannot_open_algorithm;

  // The blob's X and Y follow its 8-byte header; OpenSSL takes them as an uncompressed point.
  uint8_t point[65];
  point[0] = 0x04;
  std::memcpy(point + 1, key_blob + 8, 64);
  bool header_ok = std::memcmp(key_blob, "ECS1\x20\x00\x00\x00", 8) == 0;
  char group[] = "prime256v1";
  OSSL_PARAM params[] = {
      ::OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
      ::OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point),
      ::OSSL_PARAM_construct_end(),
  };
  EVP_PKEY* raw_key = nullptr;
  if (!header_ok || ::EVP_PKEY_fromdata(key_context.get(), &raw_key, EVP_PKEY_PUBLIC_KEY, params) != 1)
    return SignatureCheck::cannot_import_key;
  std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> key(raw_key, ::EVP_PKEY_free);
  Context check(::EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr), ::EVP_PKEY_CTX_free);
  if (!check || ::EVP_PKEY_public_check(check.get()) != 1) return SignatureCheck::cannot_import_key;

  std::unique_ptr<ECDSA_SIG, void (*)(ECDSA_SIG*)> sig(::ECDSA_SIG_new(), ::ECDSA_SIG_free);
  BIGNUM* r = ::BN_bin2bn(signature, 32, nullptr);
  BIGNUM* s = ::BN_bin2bn(signature + 32, 32, nullptr);
  if (!sig || !r || !s || ::ECDSA_SIG_set0(sig.get(), r, s) != 1) {
    ::BN_free(r);
    ::BN_free(s);
    return SignatureCheck::invalid;
  }
  unsigned char* der = nullptr;
  int der_length = ::i2d_ECDSA_SIG(sig.get(), &der);
  if (der_length <= 0) return SignatureCheck::invalid;
  std::unique_ptr<unsigned char, void (*)(void*)> der_owner(der, [](void* p) { ::OPENSSL_free(p); });

  Context verify(::EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr), ::EVP_PKEY_CTX_free);
  if (!verify || ::EVP_PKEY_verify_init(verify.get()) != 1) return SignatureCheck::cannot_open_algorithm;
  int result = ::EVP_PKEY_verify(verify.get(), der, static_cast<size_t>(der_length), digest, 32);
  return result == 1 ? SignatureCheck::valid : SignatureCheck::invalid;
}

// ---- User interface -------------------------------------------------------------------------------

int message_box(void* /*owner*/, const std::u16string& /*text*/, const std::u16string& /*caption*/, uint32_t /*flags*/) {
  return 0;
}

namespace {
void write_stream(int fd, std::string_view utf8) {
  // A closed pipe must not end the program: the write is simply lost.
  static bool ignoring_sigpipe = (::signal(SIGPIPE, SIG_IGN), true);
  (void)ignoring_sigpipe;
  uint64_t done = 0;
  write_fully(fd, utf8.data(), utf8.size(), done);
}
}  // namespace

void write_stdout(std::string_view utf8) { write_stream(STDOUT_FILENO, utf8); }
void write_stderr(std::string_view utf8) { write_stream(STDERR_FILENO, utf8); }

}  // namespace platform
