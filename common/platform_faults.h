// Shared by the two platform files: the counting point of the test hooks, and what the power-cut
// mode needs to know of the files being written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/platform.h"

namespace platform::faults {
// Called first by every mutating platform call, with the call's name and the path it changes: what
// the call must answer instead of being made. Ends the process when it must crash or lose its power.
// Always `none` in builds without the test hooks.
enum class Injected { none, fault, held };
Injected fail_here(const char* call, const std::u16string& path = {});
// The same for a call on an open file (a write, a flush): recorded with the file's path, and never
// met by a hold, which keeps a file from being opened, not a handle from being used.
Injected fail_here(const char* call, FileHandle file);
// Whether waits must return at once: calls are answered with injected holds.
bool instant_waits();
// The free space a test pretends, if any.
std::optional<uint64_t> free_space_override();
// Whether paths past the lengths a default Windows takes must be refused.
bool windows_path_limits();

// What has reached the file system but not yet the disk, for the power-cut mode. Each platform file
// reports its successful calls here; in builds without the test hooks these do nothing.
void created(FileHandle file, const std::u16string& path);
void written(FileHandle file, uint64_t bytes);
void flushed(FileHandle file);
void closed(FileHandle file);
// A file written whole by one call (a profile file rewritten in place).
void rewritten(const std::u16string& path);
void flushed(const std::u16string& path);
void moved(const std::u16string& source, const std::u16string& destination);
void deleted(const std::u16string& path);
}  // namespace platform::faults
