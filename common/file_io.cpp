#include "common/file_io.h"

#include <filesystem>
#include <optional>
#include <system_error>

#include "common/path.h"
#include "common/path_safety.h"
#include "common/patch_error.h"
#include "common/platform.h"

namespace {

// Closes the handle on every way out, errors included.
struct OpenFile {
  platform::FileHandle handle{};
  bool open = false;
  ~OpenFile() { close(); }
  void close() {
    if (open) platform::close_file(handle);
    open = false;
  }
};

// Opens a file for reading and learns its size, refusing one over `limit` before anything is read
// or allocated.
uint64_t open_within_limit(const std::u16string& path, uint64_t limit, OpenFile& file) {
  if (platform::open_for_read(path, file.handle)) throw PatchError("Cannot open input file");
  file.open = true;
  uint64_t size = 0;
  if (platform::open_file_size(file.handle, size) || size > limit) throw PatchError("File size exceeds limit");
  return size;
}

}  // namespace

std::string read_whole_file(const std::u16string& path, uint64_t limit) {
  OpenFile file;
  const uint64_t size = open_within_limit(path, limit, file);

  // Nothing is allocated until the size is known to be within the caller's limit.
  std::string buffer(static_cast<std::size_t>(size), '\0');
  uint64_t done = 0;
  if (size != 0 && platform::read_file(file.handle, buffer.data(), size, done)) throw PatchError("Incomplete file read");
  file.close();
  if (done != size) throw PatchError("Incomplete file read");
  return buffer;
}

void read_file_in_pieces(const std::u16string& path, uint64_t limit, const FilePieceLook& look) {
  OpenFile file;
  const uint64_t size = open_within_limit(path, limit, file);

  // The open handle keeps writers out, so the pieces are one consistent file.
  constexpr uint64_t PIECE = 65536;
  char piece[PIECE];
  for (uint64_t offset = 0; offset < size;) {
    uint64_t want = size - offset < PIECE ? size - offset : PIECE, done = 0;
    if (platform::read_file(file.handle, piece, want, done) || done != want) throw PatchError("Incomplete file read");
    look(offset, piece, done);
    offset += done;
  }
}

void read_file_pulled(const std::u16string& path, uint64_t limit,
                      const std::function<void(uint64_t size, const FilePieceSource& next)>& reader) {
  OpenFile file;
  const uint64_t size = open_within_limit(path, limit, file);
  reader(size, [&](char* buffer, uint64_t length) {
    uint64_t done = 0;
    if (platform::read_file(file.handle, buffer, length, done) || done != length) throw PatchError("Incomplete file read");
  });
}

void write_new_file(const std::u16string& path, const std::string& content) {
  OpenFile file;
  if (platform::create_new_file(path, file.handle)) throw PatchError("Cannot create new file");
  file.open = true;

  uint64_t done = 0;
  if (!content.empty() &&
      (platform::write_file(file.handle, content.data(), content.size(), done) || done != content.size()))
    throw PatchError("Incomplete file write");
  std::error_code flush_error = platform::flush_file(file.handle);
  file.close();
  if (flush_error) throw PatchError("Incomplete file write");
}

void create_directories(const std::u16string& directory) {
  bool is_directory = false;
  if (directory.empty() || (!platform::directory_status(directory, is_directory) && is_directory)) return;
  std::u16string parent = parent_path(directory);
  if (parent != directory) create_directories(parent);
  std::error_code error = platform::create_directory(directory);
  if (error == std::errc::file_exists && !platform::directory_status(directory, is_directory) && is_directory)
    return;
  if (error) throw std::filesystem::filesystem_error("create_directories", std::filesystem::path(directory), error);
}

void copy_to_new_file(const std::u16string& source, const std::u16string& destination) {
  check_no_reparse_points(source);
  check_no_reparse_points(destination);
  copy_walked_to_new_file(source, destination);
}

void copy_walked_to_new_file(const std::u16string& source, const std::u16string& destination) {
  if (!is_plain_file(source)) throw PatchError("源文件缺失或不是普通文件。");
  create_directories(parent_path(destination));
  if (platform::copy_file_new(source, destination)) throw PatchError("无法创建文件副本。");
}
