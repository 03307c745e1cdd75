// Bounded reads, create-only writes and copies: nothing is ever overwritten or read past its limit.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "common/file_io.h"
#include "common/path_safety.h"
#include "tests/support/message.h"
#include "common/platform.h"
#include "tests/support/temp_dir.h"

#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>
#endif

namespace {

std::string contents(const std::u16string& path) { return read_whole_file(path, 1 << 20); }

// A file of `size` bytes that takes no disk space. The Windows build marks it sparse and sets its
// end itself: mingw's resize_file refuses any size larger than the free disk space.
void make_sparse_file(const std::u16string& path, uint64_t size) {
  write_test_file(path, "");
#ifdef _WIN32
  HANDLE file = CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD returned = 0;
  DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  const bool sized = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  CloseHandle(file);
  ASSERT_TRUE(sized);
#else
  std::filesystem::resize_file(std::filesystem::path(path), size);
#endif
}

TEST(ReadWholeFile, LimitIsInclusive) {
  TempDir dir;
  write_test_file(dir.file(u"ten"), "0123456789");
  EXPECT_EQ(read_whole_file(dir.file(u"ten"), 10), "0123456789");
  EXPECT_EQ(message_of([&] { read_whole_file(dir.file(u"ten"), 9); }), "File size exceeds limit");
  write_test_file(dir.file(u"empty"), "");
  EXPECT_EQ(read_whole_file(dir.file(u"empty"), 0), "");
}

TEST(ReadWholeFile, HugeFileOverTheLimitIsRefusedBeforeAnyAllocation) {
  TempDir dir;
  // 4 GiB and 10 bytes: allocating it would fail loudly, and a size cut to a 32-bit size_t (10)
  // would pass the limit.
  make_sparse_file(dir.file(u"huge"), (uint64_t(1) << 32) + 10);
  EXPECT_EQ(message_of([&] { read_whole_file(dir.file(u"huge"), 134217728); }), "File size exceeds limit");
}

TEST(ReadWholeFile, MissingFilesAndDirectoriesCannotBeOpened) {
  TempDir dir;
  EXPECT_EQ(message_of([&] { read_whole_file(dir.file(u"missing"), 10); }), "Cannot open input file");
  EXPECT_EQ(message_of([&] { read_whole_file(dir.path, 10); }), "Cannot open input file");
}

TEST(ReadWholeFile, AFileBeingWrittenCannotBeOpened) {
  TempDir dir;
  platform::FileHandle writer{};
  ASSERT_FALSE(platform::create_new_file(dir.file(u"busy"), writer));
  EXPECT_EQ(message_of([&] { read_whole_file(dir.file(u"busy"), 10); }), "Cannot open input file");
  platform::close_file(writer);
  EXPECT_EQ(read_whole_file(dir.file(u"busy"), 10), "");
}

TEST(WriteNewFile, CreatesOnlyNewFiles) {
  TempDir dir;
  write_new_file(dir.file(u"new"), "content");
  EXPECT_EQ(contents(dir.file(u"new")), "content");
  write_new_file(dir.file(u"empty"), "");
  EXPECT_EQ(contents(dir.file(u"empty")), "");
  EXPECT_EQ(message_of([&] { write_new_file(dir.file(u"new"), "other"); }), "Cannot create new file");
  EXPECT_EQ(contents(dir.file(u"new")), "content");
  EXPECT_EQ(message_of([&] { write_new_file(dir.file(u"missing/x"), "x"); }), "Cannot create new file");
  EXPECT_FALSE(path_exists(dir.file(u"missing")));
  EXPECT_EQ(message_of([&] { write_new_file(dir.path, "x"); }), "Cannot create new file");
}

TEST(WriteNewFile, FailedWriteOrFlushIsReported) {
  TempDir dir;
  for (uint64_t nth : {2, 3}) {  // 1 creates, 2 writes, 3 flushes
    platform::testing::set_fault(platform::testing::FaultMode::fail, nth);
    std::u16string path = dir.file(u"fault" + std::u16string(1, char16_t(u'0' + nth)));
    EXPECT_EQ(message_of([&] { write_new_file(path, "content"); }), "Incomplete file write");
    platform::testing::set_fault(platform::testing::FaultMode::none, 0);
    // The incomplete file stays: its caller decides what is left behind.
    EXPECT_TRUE(path_exists(path));
  }
  platform::testing::set_fault(platform::testing::FaultMode::fail, 1);
  EXPECT_EQ(message_of([&] { write_new_file(dir.file(u"never"), "x"); }), "Cannot create new file");
  platform::testing::set_fault(platform::testing::FaultMode::none, 0);
}

TEST(CopyToNewFile, NeverOverwritesAndCreatesFolders) {
  TempDir dir;
  write_test_file(dir.file(u"source"), "source bytes");
  copy_to_new_file(dir.file(u"source"), dir.file(u"a/b/copy"));
  EXPECT_EQ(contents(dir.file(u"a/b/copy")), "source bytes");

  write_test_file(dir.file(u"existing"), "keep me");
  EXPECT_EQ(message_of([&] { copy_to_new_file(dir.file(u"source"), dir.file(u"existing")); }), "无法创建文件副本。");
  EXPECT_EQ(contents(dir.file(u"existing")), "keep me");

  EXPECT_EQ(message_of([&] { copy_to_new_file(dir.file(u"missing"), dir.file(u"c")); }), "源文件缺失或不是普通文件。");
  EXPECT_EQ(message_of([&] { copy_to_new_file(dir.file(u"a"), dir.file(u"c")); }), "源文件缺失或不是普通文件。");
  EXPECT_FALSE(path_exists(dir.file(u"c")));
}

// Another program that holds a file for a moment (a scanner, an indexer) is waited out at every call
// that names the file; one that holds it past the bound ends the call with its own failure. Test
// builds answer the held calls at once, without waiting.
TEST(FileCalls, AHoldIsWaitedOutAndOnePastTheBoundFails) {
  TempDir dir;
  write_test_file(dir.file(u"source"), "source bytes");
  int round = 0;
  struct Case {
    const char* what;
    uint64_t calls;  // mutating calls without a hold
    std::function<void(const std::u16string& name)> run;
    const char* gives_up;
  };
  const Case cases[] = {
      {"staged write", 4, [&](const std::u16string& name) {
         write_staged_file({dir.file(name + u".new"), dir.file(name), "cannot create", "incomplete", "cannot place"}, "x");
       }, "cannot create"},
      {"copy", 3, [&](const std::u16string& name) { copy_to_new_file(dir.file(u"source"), dir.file(name)); },
       "无法创建文件副本。"},
  };
  for (const Case& c : cases) {
    for (uint64_t held : {uint64_t{3}, uint64_t{1000}}) {
      const std::u16string name = u"target" + std::u16string(1, char16_t(u'a' + round++));
      platform::testing::set_fault(platform::testing::FaultMode::held, 1, held);
      std::string message = message_of([&] { c.run(name); });
      uint64_t calls = platform::testing::mutating_calls();
      platform::testing::set_fault(platform::testing::FaultMode::none, 0);
      EXPECT_EQ(message, held == 3 ? "" : c.gives_up) << c.what;
      if (held == 3) {
        EXPECT_EQ(calls, c.calls + 3) << c.what;
      }
      EXPECT_EQ(path_exists(dir.file(name)), held == 3) << c.what;
    }
  }
  // Short waits first, then about five seconds in all before a call gives up.
  unsigned waited = 0, attempts = 1;
  for (unsigned wait; (wait = retrying::detail::wait_before_attempt(attempts)) != 0; ++attempts) waited += wait;
  EXPECT_EQ(retrying::detail::wait_before_attempt(1), 1u);
  EXPECT_GE(waited, 5000u);
  EXPECT_LE(waited, 5500u);
}

TEST(CopyToNewFile, FolderCreationFailureNamesTheOperation) {
  TempDir dir;
  write_test_file(dir.file(u"source"), "x");
  write_test_file(dir.file(u"file"), "x");  // a file where a folder must go
  std::string message = message_of([&] { copy_to_new_file(dir.file(u"source"), dir.file(u"file/sub/copy")); });
  EXPECT_NE(message.find("create_directories"), std::string::npos) << message;
}

}  // namespace
