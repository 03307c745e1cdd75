// The rules that keep all work inside plain directories of the local file system.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/platform.h"

// Appended to a target's full path to name the file in which it is written before a rename puts it
// in place.
inline constexpr char16_t STAGING_SUFFIX[] = u".vanro-new";

// The paths that the reparse-point walks ask about, deepest first: the path and every directory
// above it down to, but not including, the root of its volume.
std::vector<std::u16string> reparse_walk_paths(const std::u16string& path);
inline constexpr char REPARSE_POINT_MESSAGE[] = "目录含符号链接或重解析点，操作已停止。";

// The topmost of the path and the directories above it (up to its volume's root) that is a link or
// another reparse point that leads elsewhere; nullopt when there is none. A folder that Wine marks
// because a file system is mounted there leads nowhere else and does not count.
std::optional<std::u16string> reparse_point_on(const std::u16string& path);
bool crosses_reparse_point(const std::u16string& path);
// Raises REPARSE_POINT_MESSAGE when crosses_reparse_point. Returns what the walk
// learnt of the path itself: its attributes, or that it is missing (also when a folder above it is).
platform::AttributeQuery check_no_reparse_points(const std::u16string& path);
void check_signature_path(const std::u16string& path);
bool is_safe_core_path(std::string_view path);
bool is_safe_relative_path(std::string_view path);
// Whether an element of a relative path names a device: CON, PRN, AUX, NUL, COM0 to COM9, LPT0 to
// LPT9, CONIN$ or CONOUT$, in any case, with or without an extension. Windows (and Wine) open the
// device for such a name in any folder.
bool names_a_device(std::string_view path);
// Whether the last element of a relative path ends with the staging suffix, letter case folded as
// the file system folds it: such a path names another file's staging file.
bool ends_with_staging_suffix(std::string_view path);
// The folders that one run has walked already and found to be plain folders. Within a run their
// answer holds for every file below them, so a walk passes over them; a caller gives one only where
// nothing that the run does in between could make such a folder a link.
using WalkedFolders = std::set<std::u16string>;
// `found`, when given, receives what the walk learnt of the resolved path itself, so that a caller
// that must know whether it exists needs not ask again.
std::u16string resolve_package_path(const std::u16string& base, std::string_view relative,
                                    platform::AttributeQuery* found = nullptr, WalkedFolders* walked = nullptr);
bool same_path(std::u16string_view a, std::u16string_view b);

// What the system reaches through folders already asked about, by folder, for a run that asks about many files.
using ReachedFolders = std::map<std::u16string, std::optional<platform::Reached>>;
// Whether the file at the path is reached through a link that its attributes do not show, or this
// cannot be told: Wine shows a Unix link to a file as a plain file, and deleting, renaming or
// rewriting it changes the file it points to, wherever that lies. A file is its own when what the
// system reaches through it is a file of that name in the folder the system reaches through the
// path's folder. For a file that exists; `known` keeps the folders' answers between calls.
bool is_disguised_link(const std::u16string& path, ReachedFolders* known = nullptr);
// Raises REPARSE_POINT_MESSAGE when is_disguised_link.
void check_not_disguised_link(const std::u16string& path, ReachedFolders* known = nullptr);
// The same for the file that `file`, opened at the path, holds: what it reaches is asked of the handle.
void check_not_disguised_link(const std::u16string& path, platform::FileHandle file, ReachedFolders* known);

// Whether something exists at the path (its attributes can be read).
bool path_exists(const std::u16string& path);
// Whether the path is a plain file: readable attributes, neither directory nor reparse point.
bool is_plain_file(const std::u16string& path);
bool is_plain(uint32_t attributes);
// The attributes of what exists at the path, or nullopt when nothing does (the path, or a directory
// on the way to it, is not found). Any other failure to read them raises
// "无法读取文件属性，操作已停止。": a file that cannot be looked at is never taken for one already gone.
std::optional<uint32_t> present_attributes(const std::u16string& path);
// The same for what a walk already learnt of a path.
std::optional<uint32_t> present_attributes(const platform::AttributeQuery& query);
