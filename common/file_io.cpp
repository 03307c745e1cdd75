#include "common/file_io.h"

#include <filesystem>
#include <optional>
#include <system_error>

#include "common/path.h"
#include "common/path_safety.h"
#include "common/patch_error.h"
#include "common/platform.h"
#include "common/retrying.h"

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
uint64_t open_within_limit(const std::u16string& path, uint64_t limit, OpenFile& file,
                           retrying::Owner owner = retrying::Owner::anyone) {
  if (retrying::open_for_read(path, file.handle, owner)) throw PatchError("Cannot open input file");
  file.open = true;
  uint64_t size = 0;
  if (platform::open_file_size(file.handle, size) || size > limit) throw PatchError("File size exceeds limit");
  return size;
}

// Writes the whole content with one call and flushes it through the same handle.
void write_and_flush(platform::FileHandle file, const std::string& content, const char* incomplete) {
  uint64_t done = 0;
  if (!content.empty() && (platform::write_file(file, content.data(), content.size(), done) || done != content.size()))
    throw PatchError(incomplete);
  if (platform::flush_file(file)) throw PatchError(incomplete);
}

// Pieces of a copy: large enough that a file of a few megabytes takes a few calls.
constexpr uint64_t COPY_PIECE = 1048576;

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

namespace {

void read_pieces(platform::FileHandle file, uint64_t size, const FilePieceLook& look) {
  // The open handle keeps writers out, so the pieces are one consistent file.
  constexpr uint64_t PIECE = 65536;
  char piece[PIECE];
  for (uint64_t offset = 0; offset < size;) {
    uint64_t want = size - offset < PIECE ? size - offset : PIECE, done = 0;
    if (platform::read_file(file, piece, want, done) || done != want) throw PatchError("Incomplete file read");
    look(offset, piece, done);
    offset += done;
  }
}

}  // namespace

void read_file_in_pieces(const std::u16string& path, uint64_t limit, const FilePieceLook& look, retrying::Owner owner) {
  OpenFile file;
  const uint64_t size = open_within_limit(path, limit, file, owner);
  read_pieces(file.handle, size, look);
}

void read_open_file_in_pieces(platform::FileHandle file, uint64_t limit, const FilePieceLook& look) {
  uint64_t size = 0;
  if (platform::open_file_size(file, size) || size > limit) throw PatchError("File size exceeds limit");
  if (platform::rewind_file(file)) throw PatchError("Incomplete file read");
  read_pieces(file, size, look);
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
  if (retrying::create_new_file(path, file.handle)) throw PatchError("Cannot create new file");
  file.open = true;
  write_and_flush(file.handle, content, "Incomplete file write");
}

void write_staged_file(const StagedWrite& write, const std::string& content) {
  OpenFile file;
  if (retrying::create_new_file(write.staging, file.handle)) throw PatchError(write.cannot_create);
  file.open = true;
  // From here until the rename, a failure deletes the staging file before it is raised: a crash
  // leaves it, and only it, for the next run to judge.
  try {
    write_and_flush(file.handle, content, write.incomplete);
    file.close();
    if (write.check) write.check();
    std::error_code error = write.replace ? retrying::replace_file(write.staging, write.target)
                                          : retrying::move_file_new(write.staging, write.target);
    if (error == std::errc::file_exists && write.target_exists) throw PatchError(write.target_exists);
    if (error) throw PatchError(write.cannot_place);
  } catch (...) {
    file.close();
    retrying::delete_file(write.staging);
    throw;
  }
}

void create_directories(const std::u16string& directory) {
  bool is_directory = false;
  if (directory.empty() || (!platform::directory_status(directory, is_directory) && is_directory)) return;
  std::u16string parent = parent_path(directory);
  if (parent != directory) create_directories(parent);
  std::error_code error = retrying::create_directory(directory);
  if (error == std::errc::file_exists && !platform::directory_status(directory, is_directory) && is_directory)
    return;
  if (error) throw std::filesystem::filesystem_error("create_directories", std::filesystem::path(directory), error);
}

namespace {

// Copies `size` bytes from the source's current position into a new file, which is handed back
// open and not yet flushed; a failure leaves no destination.
platform::FileHandle copy_from(platform::FileHandle source, uint64_t size, const std::u16string& destination,
                               const FilePieceLook& look) {
  OpenFile to;
  if (retrying::create_new_file(destination, to.handle)) throw PatchError("无法创建文件副本。");
  to.open = true;
  try {
    std::string piece(static_cast<std::size_t>(size < COPY_PIECE ? size : COPY_PIECE), '\0');
    for (uint64_t offset = 0; offset < size;) {
      uint64_t want = size - offset < COPY_PIECE ? size - offset : COPY_PIECE, read = 0, written = 0;
      if (platform::read_file(source, piece.data(), want, read) || read != want ||
          platform::write_file(to.handle, piece.data(), want, written) || written != want)
        throw PatchError("无法创建文件副本。");
      if (look) look(offset, piece.data(), want);
      offset += want;
    }
  } catch (...) {
    // Like a failed system copy, a failed copy leaves no destination behind.
    to.close();
    retrying::delete_file(destination);
    throw;
  }
  to.open = false;
  return to.handle;
}

// Flushes and closes a copy that copy_from made; a copy that cannot be flushed is taken away again.
void flush_copy(platform::FileHandle copy, const std::u16string& destination) {
  OpenFile file;
  file.handle = copy;
  file.open = true;
  if (!platform::flush_file(file.handle)) return;
  file.close();
  retrying::delete_file(destination);
  throw PatchError("无法创建文件副本。");
}

}  // namespace

platform::FileHandle copy_into_new_file(const std::u16string& source, const std::u16string& destination,
                                        const FilePieceLook& look) {
  if (!is_plain_file(source)) throw PatchError("源文件缺失或不是普通文件。");
  create_directories(parent_path(destination));
  OpenFile from;
  uint64_t size = 0;
  if (retrying::open_for_read(source, from.handle)) throw PatchError("无法创建文件副本。");
  from.open = true;
  if (platform::open_file_size(from.handle, size)) throw PatchError("无法创建文件副本。");
  return copy_from(from.handle, size, destination, look);
}

void copy_open_file_to_new_file(platform::FileHandle source, const std::u16string& destination) {
  create_directories(parent_path(destination));
  uint64_t size = 0;
  if (platform::open_file_size(source, size) || platform::rewind_file(source)) throw PatchError("无法创建文件副本。");
  flush_copy(copy_from(source, size, destination, {}), destination);
}

void copy_to_new_file(const std::u16string& source, const std::u16string& destination) {
  check_no_reparse_points(source);
  check_no_reparse_points(destination);
  copy_walked_to_new_file(source, destination);
}

void copy_walked_to_new_file(const std::u16string& source, const std::u16string& destination) {
  flush_copy(copy_into_new_file(source, destination), destination);
}
