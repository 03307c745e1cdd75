// Bounded whole-file reads, create-only writes and create-only copies.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Byte contents of files are held in std::string.
std::string read_whole_file(const std::u16string& path, uint64_t limit);
// Reads a file of at most `limit` bytes front to back in pieces that stay in the processor's
// cache, handing each to `look` with its offset; fails as read_whole_file fails. For checks that
// need every byte once but not all bytes at once.
using FilePieceLook = std::function<void(uint64_t offset, const char* bytes, uint64_t length)>;
void read_file_in_pieces(const std::u16string& path, uint64_t limit, const FilePieceLook& look);
// The same read for a reader that decides as it goes how much it takes next: `reader` gets the
// file's size and a function that fills `length` bytes of a buffer with the next bytes of the file
// (the caller asks for no more than are left). The file stays open, and closed to writers, until
// `reader` returns; failures are those of read_whole_file.
using FilePieceSource = std::function<void(char* buffer, uint64_t length)>;
void read_file_pulled(const std::u16string& path, uint64_t limit,
                      const std::function<void(uint64_t size, const FilePieceSource& next)>& reader);
void write_new_file(const std::u16string& path, const std::string& content);
void copy_to_new_file(const std::u16string& source, const std::u16string& destination);
// copy_to_new_file without its two reparse-point walks, for a caller that has just walked both paths
// in the same step (resolve_package_path walks what it returns; a staging name adds only its own
// last element, which must not exist). Walking them again would check nothing new.
void copy_walked_to_new_file(const std::u16string& source, const std::u16string& destination);

// Creates the directory and every missing directory above it. A failure raises the standard
// library's std::filesystem::filesystem_error naming "create_directories" and the directory.
void create_directories(const std::u16string& directory);
