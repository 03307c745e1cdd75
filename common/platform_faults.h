// Shared by the two platform files: the counting point of the test hooks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform::faults {
// Called first by every mutating platform call, with the call's name and the path it changes. True
// when this call must fail; ends the process when it must crash. Always false in builds without the
// test hooks.
bool fail_here(const char* call, const std::u16string& path = {});
// The free space a test pretends, if any.
std::optional<uint64_t> free_space_override();
}  // namespace platform::faults
