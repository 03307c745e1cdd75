// Bounded whole-file reads, create-only writes and create-only copies.
#pragma once

#include <cstdint>
#include <string>

// Byte contents of files are held in std::string.
std::string read_whole_file(const std::u16string& path, uint64_t limit);
void write_new_file(const std::u16string& path, const std::string& content);
void copy_to_new_file(const std::u16string& source, const std::u16string& destination);

// Creates the directory and every missing directory above it. A failure raises the standard
// library's std::filesystem::filesystem_error naming "create_directories" and the directory.
void create_directories(const std::u16string& directory);
