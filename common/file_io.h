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
void write_new_file(const std::u16string& path, const std::string& content);
void copy_to_new_file(const std::u16string& source, const std::u16string& destination);
// copy_to_new_file without its two reparse-point walks, for a caller that has just walked both paths
// in the same step (resolve_package_path walks what it returns; a staging name adds only its own
// last element, which must not exist). Walking them again would check nothing new.
void copy_walked_to_new_file(const std::u16string& source, const std::u16string& destination);

// Creates the directory and every missing directory above it. A failure raises the standard
// library's std::filesystem::filesystem_error naming "create_directories" and the directory.
void create_directories(const std::u16string& directory);
