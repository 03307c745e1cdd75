// The platform's file calls as both programs make them: each one made again, after a short wait,
// while it fails only because another program holds the file for a moment.
//
// On players' machines other programs open our files: a virus scanner opens every new .dll and
// .exe as soon as it is closed and holds it while it scans, an indexer opens new files, a file
// manager keeps a folder it shows open. A rename, delete or open that meets such a holder fails
// with a sharing or lock violation, or (for a file whose deletion is pending, or that a program
// maps) with an access denial; a moment later it succeeds. Every call here waits for that: a hold
// of two seconds is survived, and a call gives up after about five seconds of waiting, returning
// the error it met last. A call that succeeds at once never waits.
//
// An access denial counts as a hold only where the file is this run's own: one that it wrote, or
// is about to delete. Elsewhere (a folder the player may not write) it is final at once.
//
// Results and errors are those of the platform calls (common/platform.h).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "common/platform.h"

namespace retrying {

// Whose the file is, for the purpose of an access denial.
enum class Owner { anyone, this_run };

std::error_code open_for_read(const std::u16string& path, platform::FileHandle& file, Owner owner = Owner::anyone);
// Always this run's own file: one it is about to judge and delete.
std::error_code open_for_removal(const std::u16string& path, platform::FileHandle& file);
std::error_code create_new_file(const std::u16string& path, platform::FileHandle& file);
std::error_code create_directory(const std::u16string& path);
// The files are always this run's: a rename, delete or folder removal touches nothing else.
std::error_code move_file_new(const std::u16string& source, const std::u16string& destination);
// A batch that meets a held file waits for it and resumes at that file.
std::error_code move_files_new(const std::vector<platform::FileMove>& moves, std::size_t& moved);
std::error_code replace_file(const std::u16string& source, const std::u16string& destination);
std::error_code delete_file(const std::u16string& path);
// A file that is mapped as a running program's image cannot be deleted even through our handle.
std::error_code delete_open_file(platform::FileHandle file, const std::u16string& path);
std::error_code remove_directory(const std::u16string& path);
std::error_code clear_read_only(const std::u16string& path);
std::error_code flush_file_at(const std::u16string& path);
// A failure to ask because of a hold is never an answer: it is waited out like any other.
std::error_code reached(const std::u16string& path, platform::Reached& result);
std::optional<std::error_code> write_system_profile_string(const std::u16string& section, const std::u16string& key,
                                                           const std::u16string& value, const std::u16string& path);

// Makes `attempt` again while it fails with a hold, as the calls above do; for a wait of the
// caller's own (a folder that stands until the holder of a deleted file lets go). True when the
// attempt succeeded.
template <typename Attempt>
bool until_done(Attempt attempt);

namespace detail {
// The waits between attempts, in milliseconds; 0 when the caller must give up.
unsigned wait_before_attempt(std::size_t attempt);
}  // namespace detail

template <typename Attempt>
bool until_done(Attempt attempt) {
  for (std::size_t tried = 1;; ++tried) {
    if (attempt()) return true;
    unsigned wait = detail::wait_before_attempt(tried);
    if (wait == 0) return false;
    platform::sleep_ms(wait);
  }
}

}  // namespace retrying
