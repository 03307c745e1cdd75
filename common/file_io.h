// Bounded whole-file reads, create-only writes and create-only copies.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/platform.h"
#include "common/retrying.h"

// Every open, flush, rename and delete here waits out a momentary hold (common/retrying.h).
//
// Byte contents of files are held in std::string.
std::string read_whole_file(const std::u16string& path, uint64_t limit);
// Reads a file of at most `limit` bytes front to back in pieces that stay in the processor's
// cache, handing each to `look` with its offset; fails as read_whole_file fails. For checks that
// need every byte once but not all bytes at once.
using FilePieceLook = std::function<void(uint64_t offset, const char* bytes, uint64_t length)>;
// `owner` says whether the file is this run's own (common/retrying.h).
void read_file_in_pieces(const std::u16string& path, uint64_t limit, const FilePieceLook& look,
                         retrying::Owner owner = retrying::Owner::anyone);
// The same for a file already open (from its start), which stays open.
void read_open_file_in_pieces(platform::FileHandle file, uint64_t limit, const FilePieceLook& look);
// The same read for a reader that decides as it goes how much it takes next: `reader` gets the
// file's size and a function that fills `length` bytes of a buffer with the next bytes of the file
// (the caller asks for no more than are left). The file stays open, and closed to writers, until
// `reader` returns; failures are those of read_whole_file.
using FilePieceSource = std::function<void(char* buffer, uint64_t length)>;
void read_file_pulled(const std::u16string& path, uint64_t limit,
                      const std::function<void(uint64_t size, const FilePieceSource& next)>& reader);
// Creates the file as new and writes and flushes the content through that one handle: "Cannot
// create new file", "Incomplete file write". A file whose write fails stays, incomplete.
void write_new_file(const std::u16string& path, const std::string& content);

// A file written whole under a staging name and then given its final name, so that the final name
// never stands for a file that is not complete, flushed and checked. The texts are the caller's.
struct StagedWrite {
  std::u16string staging, target;
  const char* cannot_create;  // the staging file cannot be created as new
  const char* incomplete;     // the write or the flush fails
  const char* cannot_place;   // the rename fails
  const char* target_exists = nullptr;  // the rename fails because the target exists; else cannot_place
  bool replace = false;       // the target, if any, is replaced in one step (a profile file)
  std::function<void()> check = {};  // raises when the staging file, closed and flushed, is not right
};
// A staging file that stood there already is left alone; one this write created is deleted again
// whenever the write fails after creating it.
void write_staged_file(const StagedWrite& write, const std::string& content);

// Copies the source's bytes into a new file (create-only), reading and writing through one handle
// each and handing every piece to `look` as it is written, and returns the new file still open,
// its data not yet flushed: the caller flushes it (platform::flush_file) and closes it, so that no
// other program can open it in between. "源文件缺失或不是普通文件。" when the source is no plain
// file, the library's error naming create_directories for the folders, and "无法创建文件副本。" for
// any other failure, after which no destination is left.
platform::FileHandle copy_into_new_file(const std::u16string& source, const std::u16string& destination,
                                        const FilePieceLook& look = {});
// A create-only copy of a file already open (from its start), flushed before it returns; failures as
// copy_into_new_file's.
void copy_open_file_to_new_file(platform::FileHandle source, const std::u16string& destination);
// A whole create-only copy, flushed before it returns: copy_into_new_file, flushed and closed.
void copy_to_new_file(const std::u16string& source, const std::u16string& destination);
// copy_to_new_file without its two reparse-point walks, for a caller that has just walked both paths
// in the same step (resolve_package_path walks what it returns; a staging name adds only its own
// last element, which must not exist). Walking them again would check nothing new.
void copy_walked_to_new_file(const std::u16string& source, const std::u16string& destination);

// Creates the directory and every missing directory above it. A failure raises the standard
// library's std::filesystem::filesystem_error naming "create_directories" and the directory.
void create_directories(const std::u16string& directory);
