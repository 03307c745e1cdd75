// The Windows side of the platform interface, against the real system calls (run under Wine here).
// These are the guarantees the logic above the interface leans on: share modes, create-only
// creation, copies and moves that never replace, strict text conversion, and the fault hook.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "common/platform.h"
#include "tests/support/temp_dir.h"

namespace {

const wchar_t* wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

std::string read_bytes(const std::u16string& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool exists(const std::u16string& path) {
  return platform::file_attributes(path).has_value();
}

// A second, independent handle on the file, as another program would hold it.
HANDLE open_other(const std::u16string& path, DWORD access, DWORD share) {
  return CreateFileW(wide(path), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// ---- Text -------------------------------------------------------------------------------------

TEST(PlatformWin32Text, StrictConvertersRefuseMalformedText) {
  const std::vector<std::string> bad_utf8 = {
      "\x80",              // a continuation byte where a sequence starts
      "\xC0\x80",          // over-long NUL
      "\xC1\xBF",          // over-long
      "\xE0\x80\x80",      // over-long
      "\xED\xA0\x80",      // encoded high surrogate
      "\xED\xBF\xBF",      // encoded low surrogate
      "\xF4\x90\x80\x80",  // above U+10FFFF
      "\xF5\x80\x80\x80",  // lead byte that cannot occur
      "\xFF",
      "\xE6\xB1",          // cut short by the end
      "\xE6\xB1" "A",      // cut short by a byte that does not continue it
      "ok\xE6\xB1\x89\x80",
  };
  for (const std::string& input : bad_utf8) {
    std::u16string out = u"stale";
    EXPECT_FALSE(platform::utf8_to_utf16(input, out)) << testing::PrintToString(input);
    EXPECT_TRUE(out.empty()) << testing::PrintToString(input);
  }
  const std::vector<std::u16string> bad_utf16 = {u"\xD800", u"a\xD800" u"b", u"\xDC00", u"\xDE00\xD83D",
                                                 u"x\xD83D"};
  for (const std::u16string& input : bad_utf16) {
    std::string out = "stale";
    EXPECT_FALSE(platform::utf16_to_utf8(input, out)) << testing::PrintToString(input);
    EXPECT_TRUE(out.empty());
  }
}

TEST(PlatformWin32Text, ConvertersKeepEveryUnitOfWellFormedText) {
  struct Case {
    std::string utf8;
    std::u16string utf16;
  };
  const std::vector<Case> cases = {
      {"", u""},
      {"\xE6\xB1\x89", u"\x6C49"},
      {"\xEF\xBB\xBF" "A", u"\xFEFF" u"A"},
      {std::string("A\0B", 3), std::u16string(u"A\0B", 3)},
      {"\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
      {"\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},
  };
  for (const Case& c : cases) {
    std::u16string wide_out;
    std::string narrow_out;
    EXPECT_TRUE(platform::utf8_to_utf16(c.utf8, wide_out));
    EXPECT_EQ(wide_out, c.utf16);
    EXPECT_TRUE(platform::utf16_to_utf8(c.utf16, narrow_out));
    EXPECT_EQ(narrow_out, c.utf8);
  }
}

TEST(PlatformWin32Text, LowerCaseFoldsEveryScript) {
  EXPECT_EQ(platform::lower_case(u"_VANRO/Runtime/WINMM.DLL"), u"_vanro/runtime/winmm.dll");
  // Latin-1, Greek, Cyrillic and full-width letters fold; CJK has no case and stays.
  EXPECT_EQ(platform::lower_case(u"\u00C4\u00C9\u03A3\u0416\uFF21\u6C49"), u"\u00E4\u00E9\u03C3\u0436\uFF41\u6C49");
  EXPECT_EQ(platform::lower_case(u""), u"");
}

// ---- Files ------------------------------------------------------------------------------------

TEST(PlatformWin32Files, ReadersShutOutWritersAndWritersShutOutReaders) {
  TempDir dir;
  const std::u16string path = dir.file(u"held.bin");
  write_test_file(path, "content");

  HANDLE writer = open_other(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  platform::FileHandle reader{}, second_reader{};
  EXPECT_EQ(platform::open_for_read(path, reader).value(), ERROR_SHARING_VIOLATION);
  CloseHandle(writer);

  ASSERT_FALSE(platform::open_for_read(path, reader));
  const bool second = !platform::open_for_read(path, second_reader);
  EXPECT_TRUE(second) << "others may read while we read";
  HANDLE late_writer = open_other(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  EXPECT_EQ(late_writer, INVALID_HANDLE_VALUE) << "nobody may write while we read";
  EXPECT_TRUE(platform::delete_file(path)) << "nobody may delete while we read";
  if (late_writer != INVALID_HANDLE_VALUE) CloseHandle(late_writer);
  if (second) platform::close_file(second_reader);
  platform::close_file(reader);
}

TEST(PlatformWin32Files, NothingElseOpensAFileWhileItIsCreated) {
  TempDir dir;
  const std::u16string path = dir.file(u"\u5B89\u88C5\u8BB0\u5F55.txt");
  platform::FileHandle created{}, reader{};
  ASSERT_FALSE(platform::create_new_file(path, created));

  EXPECT_EQ(platform::open_for_read(path, reader).value(), ERROR_SHARING_VIOLATION);
  HANDLE other = open_other(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  EXPECT_EQ(other, INVALID_HANDLE_VALUE);
  if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
  EXPECT_TRUE(platform::delete_file(path));

  uint64_t written = 0;
  EXPECT_FALSE(platform::write_file(created, "abc", 3, written));
  EXPECT_EQ(written, 3u);
  EXPECT_FALSE(platform::flush_file(created));
  platform::close_file(created);
  EXPECT_EQ(read_bytes(path), "abc");
}

TEST(PlatformWin32Files, CreateNewRefusesAnExistingFileAndLeavesItUntouched) {
  TempDir dir;
  const std::u16string path = dir.file(u"existing.tsv");
  write_test_file(path, "keep me");
  platform::FileHandle file{};
  EXPECT_EQ(platform::create_new_file(path, file).value(), ERROR_FILE_EXISTS);
  EXPECT_EQ(read_bytes(path), "keep me");

  make_test_dir(dir.file(u"folder"));
  EXPECT_TRUE(platform::create_new_file(dir.file(u"folder"), file));
  EXPECT_TRUE(platform::create_new_file(dir.file(u"missing\\x.bin"), file));
  EXPECT_FALSE(exists(dir.file(u"missing"))) << "no folder is made on the way";
}

TEST(PlatformWin32Files, MoveNeverReplacesTheDestination) {
  TempDir dir;
  const std::u16string source = dir.file(u"source.bin");
  const std::u16string taken = dir.file(u"taken.bin");
  write_test_file(source, "new content");
  write_test_file(taken, "old content");

  EXPECT_EQ(platform::move_file_new(source, taken).value(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(platform::move_file_new(source, taken), std::errc::file_exists);
  EXPECT_EQ(read_bytes(taken), "old content");
  EXPECT_EQ(read_bytes(source), "new content");

  EXPECT_FALSE(platform::move_file_new(source, dir.file(u"moved.bin")));
  EXPECT_FALSE(exists(source));
  EXPECT_EQ(read_bytes(dir.file(u"moved.bin")), "new content");
  EXPECT_FALSE(platform::delete_file(dir.file(u"moved.bin")));
  EXPECT_FALSE(exists(dir.file(u"moved.bin")));
}

TEST(PlatformWin32Files, OneReadReturnsTheWholeFile) {
  TempDir dir;
  const std::u16string path = dir.file(u"data.bin");
  const std::string content(100000, 'z');
  write_test_file(path, content);
  platform::FileHandle file{};
  ASSERT_FALSE(platform::open_for_read(path, file));
  uint64_t size = 0;
  EXPECT_FALSE(platform::open_file_size(file, size));
  EXPECT_EQ(size, content.size());
  std::string buffer(content.size(), '\0');
  uint64_t done = 0;
  EXPECT_FALSE(platform::read_file(file, buffer.data(), buffer.size(), done));
  EXPECT_EQ(done, content.size());
  EXPECT_EQ(buffer, content);
  platform::close_file(file);

  EXPECT_TRUE(platform::open_for_read(dir.path, file)) << "a directory is not opened as a file";
}

// ---- Attributes and directories ---------------------------------------------------------------

TEST(PlatformWin32Directories, StatusSizeCreationAndRemoval) {
  TempDir dir;
  write_test_file(dir.file(u"five.bin"), "12345");
  make_test_dir(dir.file(u"sub"));

  struct Case {
    std::u16string path;
    bool is_directory;
  };
  for (const Case& c : {Case{dir.path, true}, Case{dir.file(u"sub"), true}, Case{dir.file(u"five.bin"), false},
                        Case{dir.file(u"absent"), false}, Case{dir.file(u"absent\\deeper"), false}}) {
    bool is_directory = !c.is_directory;
    EXPECT_FALSE(platform::directory_status(c.path, is_directory)) << testing::PrintToString(c.path);
    EXPECT_EQ(is_directory, c.is_directory) << testing::PrintToString(c.path);
  }

  uint64_t size = 0;
  EXPECT_FALSE(platform::file_size(dir.file(u"five.bin"), size));
  EXPECT_EQ(size, 5u);
  EXPECT_TRUE(platform::file_size(dir.file(u"absent"), size));
  EXPECT_TRUE(platform::file_size(dir.file(u"sub"), size));

  EXPECT_FALSE(platform::create_directory(dir.file(u"new")));
  EXPECT_EQ(platform::file_attributes(dir.file(u"new")).value_or(0) & platform::ATTRIBUTE_DIRECTORY,
            platform::ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(platform::create_directory(dir.file(u"new")), std::errc::file_exists);
  EXPECT_EQ(platform::create_directory(dir.file(u"five.bin")), std::errc::file_exists);
  std::error_code missing_parent = platform::create_directory(dir.file(u"absent\\child"));
  EXPECT_TRUE(missing_parent);
  EXPECT_NE(missing_parent, std::errc::file_exists);

  write_test_file(dir.file(u"new\\user-file.txt"), "mine");
  EXPECT_EQ(platform::remove_directory(dir.file(u"new")), std::errc::directory_not_empty) << "a folder that holds anything stays";
  EXPECT_FALSE(platform::delete_file(dir.file(u"new\\user-file.txt")));
  EXPECT_EQ(platform::remove_directory(dir.file(u"new")), std::error_code());
  EXPECT_FALSE(exists(dir.file(u"new")));
  EXPECT_EQ(platform::remove_directory(dir.file(u"new")), std::errc::no_such_file_or_directory);
  EXPECT_EQ(platform::remove_directory(dir.file(u"five.bin")), std::errc::not_a_directory);
}

// Wine shows a Unix symbolic link to a directory as a reparse point, and no Windows call can make
// one, so the ctest fixture `wine_test_links` makes them on the Linux side (tests/make_test_links.cmake),
// on the prefix's drive C:.
TEST(PlatformWin32Directories, LinkedDirectoryIsAReparsePoint) {
  const std::u16string root = u"C:\\vanro-test-links";
  const std::u16string linked = root + u"\\linked";
  if (!exists(linked)) GTEST_SKIP() << "run through ctest, whose fixture makes the links";

  const uint32_t link_bits = platform::ATTRIBUTE_REPARSE_POINT | platform::ATTRIBUTE_DIRECTORY;
  EXPECT_EQ(platform::file_attributes(linked).value_or(0) & link_bits, link_bits);
  for (const std::u16string& plain : {std::u16string(u"C:\\"), root, root + u"\\real\\sub", linked + u"\\sub"})
    EXPECT_EQ(platform::file_attributes(plain).value_or(platform::ATTRIBUTE_REPARSE_POINT) &
                  platform::ATTRIBUTE_REPARSE_POINT,
              0u)
        << testing::PrintToString(plain) << " is no link itself";

  bool is_directory = false;
  EXPECT_FALSE(platform::directory_status(linked, is_directory));
  EXPECT_TRUE(is_directory) << "the directory status follows the link";
  EXPECT_FALSE(platform::directory_status(root + u"\\dangling", is_directory));
  EXPECT_FALSE(is_directory) << "a link to nothing is a missing directory, not an error";
}

TEST(PlatformWin32Directories, FreeSpaceIsWhatTheVolumeReports) {
  TempDir dir;
  auto free_space = platform::free_disk_space(dir.path);
  ASSERT_TRUE(free_space.has_value());
  EXPECT_GT(*free_space, 0u);
  EXPECT_LE(*free_space, std::filesystem::space(std::filesystem::path(dir.path)).capacity);
  EXPECT_FALSE(platform::free_disk_space(dir.file(u"absent\\deeper")).has_value());

  platform::testing::set_free_space(1234);
  EXPECT_EQ(platform::free_disk_space(dir.path), 1234u);
  platform::testing::set_free_space(std::nullopt);
}

// ---- Process and program ----------------------------------------------------------------------

TEST(PlatformWin32Process, ModuleFileNameIsThisProgram) {
  auto name = platform::module_file_name();
  ASSERT_TRUE(name.has_value());
  ASSERT_GT(name->size(), 3u);
  EXPECT_EQ(name->substr(1, 2), u":\\");
  const std::u16string lower = platform::lower_case(*name);
  EXPECT_EQ(lower.substr(lower.size() - 16), u"\\vanro_tests.exe");
  EXPECT_EQ(platform::file_attributes(*name).value_or(platform::ATTRIBUTE_DIRECTORY) & platform::ATTRIBUTE_DIRECTORY,
            0u);
}

TEST(PlatformWin32Process, FullPathNameResolvesAgainstTheCurrentDirectory) {
  TempDir dir;
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(std::filesystem::path(dir.path));
  const std::u16string long_name(300, u'x');
  struct Case {
    std::u16string relative, expected;
  };
  for (const Case& c : {Case{u"game", dir.path + u"\\game"}, Case{u"a\\..\\b.txt", dir.path + u"\\b.txt"},
                        Case{u"sub/x.bin", dir.path + u"\\sub\\x.bin"}, Case{long_name, dir.path + u"\\" + long_name}}) {
    std::u16string full;
    EXPECT_FALSE(platform::full_path_name(c.relative, full));
    EXPECT_EQ(full, c.expected);
  }
  std::filesystem::current_path(previous);
}

TEST(PlatformWin32Process, StartProcessReturnsTheErrorCode) {
  TempDir dir;
  const std::u16string not_a_program = dir.file(u"VANROGame.exe");
  write_test_file(not_a_program, "this is text, not a program");
  EXPECT_EQ(platform::start_process(not_a_program, u"\"" + not_a_program + u"\"", dir.path).value(),
            ERROR_BAD_EXE_FORMAT);
  const std::u16string missing = dir.file(u"missing.exe");
  EXPECT_EQ(platform::start_process(missing, u"\"" + missing + u"\"", dir.path).value(), ERROR_FILE_NOT_FOUND);
}

// The child gets the quoted command line and the given current directory: cmd writes the latter.
TEST(PlatformWin32Process, StartProcessPassesCommandLineAndDirectory) {
  TempDir dir;
  std::array<wchar_t, MAX_PATH> system{};
  ASSERT_NE(GetSystemDirectoryW(system.data(), MAX_PATH), 0u);
  const std::u16string cmd = std::u16string(reinterpret_cast<const char16_t*>(system.data())) + u"\\cmd.exe";
  const std::u16string output = dir.file(u"cwd.txt");
  ASSERT_FALSE(platform::start_process(cmd, u"\"" + cmd + u"\" /c cd > cwd.txt", dir.path));

  std::string written;
  for (int i = 0; i < 200 && written.find('\n') == std::string::npos; ++i) {
    Sleep(50);
    written = read_bytes(output);
  }
  std::string expected;
  ASSERT_TRUE(platform::utf16_to_utf8(dir.path, expected));
  EXPECT_EQ(written, expected + "\r\n");
}

// A child that stays alive until its hold file is gone, started from a copy of this program so that
// its image path is its own.
TEST(PlatformWin32Process, OtherProcessImagesListsARunningChild) {
  TempDir dir;
  auto self = platform::module_file_name();
  ASSERT_TRUE(self.has_value());
  const std::u16string child = dir.file(u"walk-child.exe");
  const std::u16string hold = dir.file(u"hold");
  ASSERT_TRUE(CopyFileW(wide(*self), wide(child), TRUE));
  write_test_file(hold, "");
  const std::u16string wanted = platform::lower_case(child);
  auto listed = [&] {
    for (const std::u16string& image : platform::other_process_images())
      if (platform::lower_case(image) == wanted) return true;
    return false;
  };
  EXPECT_FALSE(listed());

  SetEnvironmentVariableW(L"VANRO_HOLD_FILE", wide(hold));
  const std::error_code started =
      platform::start_process(child, u"\"" + child + u"\" --gtest_filter=PlatformWin32Child.HoldsWhileAsked", dir.path);
  SetEnvironmentVariableW(L"VANRO_HOLD_FILE", nullptr);
  ASSERT_FALSE(started);
  bool seen = false;
  for (int i = 0; i < 200 && !seen; ++i) {
    seen = listed();
    if (!seen) Sleep(50);
  }
  EXPECT_TRUE(seen);
  EXPECT_FALSE(platform::delete_file(hold));
  for (int i = 0; i < 200 && listed(); ++i) Sleep(50);
  EXPECT_FALSE(listed()) << "the child ends once its hold file is gone";
}

TEST(PlatformWin32Child, HoldsWhileAsked) {
  const char* hold = std::getenv("VANRO_HOLD_FILE");
  if (hold == nullptr) GTEST_SKIP() << "only the child of OtherProcessImagesListsARunningChild waits";
  for (int i = 0; i < 600 && std::filesystem::exists(hold); ++i) Sleep(50);
}

TEST(PlatformWin32Process, SystemErrorTextOnlyForKnownCodes) {
  auto known = platform::system_error_text(ERROR_FILE_NOT_FOUND);
  ASSERT_TRUE(known.has_value());
  EXPECT_FALSE(known->empty());
  EXPECT_FALSE(platform::system_error_text(0x2000FFFFu).has_value());
}

// ---- Signature --------------------------------------------------------------------------------

template <std::size_t N>
std::array<uint8_t, N> from_hex(std::string_view hex) {
  std::array<uint8_t, N> out{};
  for (std::size_t i = 0; i < N; ++i) out[i] = static_cast<uint8_t>(std::stoi(std::string(hex.substr(2 * i, 2)), nullptr, 16));
  return out;
}

platform::SignatureCheck check(const std::array<uint8_t, 72>& key, const std::array<uint8_t, 32>& digest,
                     const std::array<uint8_t, 64>& signature) {
  return platform::verify_p256(reinterpret_cast<const uint8_t(&)[72]>(*key.data()),
                               reinterpret_cast<const uint8_t(&)[32]>(*digest.data()),
                               reinterpret_cast<const uint8_t(&)[64]>(*signature.data()));
}

// The project's test key (tools/keys) signed the SHA-256 of "vanro platform signature test".
TEST(PlatformWin32Signature, VerifiesP256OverADigest) {
  const auto key = from_hex<72>(
      "4543533120000000"
      "1fe1f742d0a22e78252773a653fad5e5a73a7852a9e969d5db0860aa391c5015"
      "40fe6ba0ab57aac4eb2a880944217c8fba798e22bee30b7b9ce551b5527f881d");
  const auto digest = from_hex<32>("54a33d9ece2222847f5d28b26b1c5b113e460dd0a100f5de1d1099e335ecea7b");
  const auto signature = from_hex<64>(
      "73e8c5cd39db11a6a1a242aa9094b2c64c971a9497a9e7739868b19702b98943"
      "abf87d9d3f0872f22778041ae3aefbc974dd66e6c00bad5fb7117fb00933c1e4");
  EXPECT_EQ(check(key, digest, signature), platform::SignatureCheck::valid);

  auto other_digest = digest;
  other_digest[31] ^= 1;
  EXPECT_EQ(check(key, other_digest, signature), platform::SignatureCheck::invalid);
  auto other_signature = signature;
  other_signature[0] ^= 0x80;
  EXPECT_EQ(check(key, digest, other_signature), platform::SignatureCheck::invalid);
  auto private_magic = key;
  private_magic[3] = '2';  // "ECS2" names a private key blob
  EXPECT_EQ(check(private_magic, digest, signature), platform::SignatureCheck::cannot_import_key);
}

// ---- Fault hook -------------------------------------------------------------------------------

class PlatformWin32Faults : public testing::Test {
 protected:
  void TearDown() override { platform::testing::set_fault(platform::testing::FaultMode::none, 0); }
  TempDir dir;
};

TEST_F(PlatformWin32Faults, TheSecondMutatingCallFails) {
  const std::u16string path = dir.file(u"partial.bin");
  platform::testing::set_fault(platform::testing::FaultMode::fail, 2);
  platform::FileHandle file{};
  ASSERT_FALSE(platform::create_new_file(path, file));
  uint64_t done = 99;
  EXPECT_EQ(platform::write_file(file, "abc", 3, done).value(), ERROR_WRITE_FAULT);
  EXPECT_EQ(done, 0u);
  EXPECT_FALSE(platform::flush_file(file));
  platform::close_file(file);
  EXPECT_EQ(platform::testing::mutating_calls(), 3u);
  EXPECT_EQ(read_bytes(path), "") << "the failed write wrote nothing";
}

// Each mutating call asks the hook first, and an injected failure changes nothing on disk.
TEST_F(PlatformWin32Faults, EveryMutatingCallCanBeMadeToFail) {
  const std::u16string existing = dir.file(u"a.txt");
  const std::u16string empty_dir = dir.file(u"empty");
  const std::u16string ini = dir.file(u"hook.ini");
  write_test_file(existing, "a");
  make_test_dir(empty_dir);
  platform::FileHandle open{}, created{};
  ASSERT_FALSE(platform::create_new_file(dir.file(u"open.bin"), open));
  uint64_t done = 0;

  struct Case {
    const char* name;
    std::function<bool()> call;  // true when the call succeeded
    std::function<bool()> untouched;
  };
  const std::vector<Case> cases = {
      {"create_new_file", [&] { return !platform::create_new_file(dir.file(u"b.txt"), created); },
       [&] { return !exists(dir.file(u"b.txt")); }},
      {"write_file", [&] { return !platform::write_file(open, "x", 1, done); },
       [&] { return read_bytes(dir.file(u"open.bin")).empty(); }},
      {"flush_file", [&] { return !platform::flush_file(open); }, [] { return true; }},
      {"move_file_new", [&] { return !platform::move_file_new(existing, dir.file(u"d.txt")); },
       [&] { return exists(existing) && !exists(dir.file(u"d.txt")); }},
      {"delete_file", [&] { return !platform::delete_file(existing); }, [&] { return exists(existing); }},
      {"create_directory", [&] { return !platform::create_directory(dir.file(u"e")); },
       [&] { return !exists(dir.file(u"e")); }},
      {"remove_directory", [&] { return !platform::remove_directory(empty_dir); }, [&] { return exists(empty_dir); }},
      {"replace_file", [&] { return !platform::replace_file(existing, dir.file(u"f.txt")); },
       [&] { return exists(existing) && !exists(dir.file(u"f.txt")); }},
      {"write_profile_string",
       [&] { return !platform::write_system_profile_string(u"hud", u"toggle_key", u"Q", ini).value_or(std::error_code()); },
       [&] { return !exists(ini); }},
      {"flush_profile", [&] { return platform::flush_system_profile(ini), false; }, [&] { return !exists(ini); }},
  };
  for (const Case& c : cases) {
    platform::testing::set_fault(platform::testing::FaultMode::fail, 1);
    SetLastError(0);
    EXPECT_FALSE(c.call()) << c.name;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRITE_FAULT)) << c.name;
    EXPECT_EQ(platform::testing::mutating_calls(), 1u) << c.name;
    EXPECT_TRUE(c.untouched()) << c.name;
  }
  platform::testing::set_fault(platform::testing::FaultMode::none, 0);
  platform::close_file(open);
}

}  // namespace
