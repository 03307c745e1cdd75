#include "common/retrying.h"

#include <iterator>

namespace retrying {

namespace detail {

// Short waits first, so that a scanner's usual hold of a few milliseconds costs little, then a
// quarter of a second each, until about five seconds have been waited in all.
unsigned wait_before_attempt(std::size_t attempt) {
  constexpr unsigned FIRST_WAITS[] = {1, 2, 5, 10, 20, 50, 100, 200};
  constexpr unsigned LATER_WAIT = 250, GIVE_UP_AFTER = 5000;
  unsigned waited = 0;
  for (std::size_t i = 1; i < attempt; ++i) waited += i <= std::size(FIRST_WAITS) ? FIRST_WAITS[i - 1] : LATER_WAIT;
  if (waited >= GIVE_UP_AFTER) return 0;
  return attempt <= std::size(FIRST_WAITS) ? FIRST_WAITS[attempt - 1] : LATER_WAIT;
}

}  // namespace detail

namespace {

bool is_hold(const std::error_code& error, Owner owner) {
  return platform::is_held(error) || (owner == Owner::this_run && error == std::errc::permission_denied);
}

template <typename Call>
std::error_code patiently(Owner owner, Call call) {
  std::error_code error;
  until_done([&] {
    error = call();
    return !is_hold(error, owner);
  });
  return error;
}

}  // namespace

std::error_code open_for_read(const std::u16string& path, platform::FileHandle& file, Owner owner) {
  return patiently(owner, [&] { return platform::open_for_read(path, file); });
}

std::error_code open_for_removal(const std::u16string& path, platform::FileHandle& file) {
  return patiently(Owner::this_run, [&] { return platform::open_for_removal(path, file); });
}

std::error_code create_new_file(const std::u16string& path, platform::FileHandle& file) {
  return patiently(Owner::anyone, [&] { return platform::create_new_file(path, file); });
}

std::error_code create_directory(const std::u16string& path) {
  return patiently(Owner::anyone, [&] { return platform::create_directory(path); });
}

std::error_code move_file_new(const std::u16string& source, const std::u16string& destination) {
  return patiently(Owner::this_run, [&] { return platform::move_file_new(source, destination); });
}

std::error_code move_files_new(const std::vector<platform::FileMove>& moves, std::size_t& moved) {
  moved = 0;
  return patiently(Owner::this_run, [&] {
    std::vector<platform::FileMove> rest(moves.begin() + static_cast<std::ptrdiff_t>(moved), moves.end());
    std::size_t done = 0;
    std::error_code error = platform::move_files_new(rest, done);
    moved += done;
    return error;
  });
}

std::error_code replace_file(const std::u16string& source, const std::u16string& destination) {
  return patiently(Owner::this_run, [&] { return platform::replace_file(source, destination); });
}

std::error_code delete_file(const std::u16string& path) {
  return patiently(Owner::this_run, [&] { return platform::delete_file(path); });
}

std::error_code delete_open_file(platform::FileHandle file, const std::u16string& path) {
  return patiently(Owner::this_run, [&] { return platform::delete_open_file(file, path); });
}

std::error_code remove_directory(const std::u16string& path) {
  return patiently(Owner::this_run, [&] { return platform::remove_directory(path); });
}

std::error_code clear_read_only(const std::u16string& path) {
  return patiently(Owner::this_run, [&] { return platform::clear_read_only(path); });
}

std::error_code flush_file_at(const std::u16string& path) {
  return patiently(Owner::this_run, [&] { return platform::flush_file_at(path); });
}

std::error_code reached(const std::u16string& path, platform::Reached& result) {
  return patiently(Owner::anyone, [&] { return platform::reached(path, result); });
}

std::optional<std::error_code> write_system_profile_string(const std::u16string& section, const std::u16string& key,
                                                           const std::u16string& value, const std::u16string& path) {
  std::optional<std::error_code> result;
  patiently(Owner::this_run, [&] {
    result = platform::write_system_profile_string(section, key, value, path);
    return result.value_or(std::error_code());
  });
  return result;
}

}  // namespace retrying
