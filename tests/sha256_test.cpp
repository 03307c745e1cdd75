#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "common/patch_error.h"
#include "integrity/sha256.h"
#include "integrity/sha256_blocks.h"

namespace {

using sha256_blocks::BlockFunction;

struct NamedBlockFunction {
  const char* name;
  BlockFunction run;
};

void PrintTo(const NamedBlockFunction& function, std::ostream* out) { *out << function.name; }

const NamedBlockFunction PORTABLE{"portable", sha256_blocks::portable};
const NamedBlockFunction SHA_EXTENSIONS{"sha_extensions", sha256_blocks::sha_extensions};

std::string hash_with(BlockFunction run, const std::string& message) {
  Sha256 hasher;
  hasher.reset();
  sha256_blocks::update_with(hasher, run, message.data(), message.size());
  const auto digest = sha256_blocks::finish_with(hasher, run);
  return to_hex(digest.data(), digest.size());
}

std::string from_hex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

// The "Key = value" lines of a CAVP response file, in file order, CR LF line ends removed.
std::vector<std::pair<std::string, std::string>> read_cavp(const std::string& name) {
  std::ifstream in(VANRO_SOURCE_DIR "/tests/data/sha256/" + name, std::ios::binary);
  EXPECT_TRUE(in) << name;
  std::vector<std::pair<std::string, std::string>> entries;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto equals = line.find(" = ");
    if (line.empty() || line[0] == '#' || line[0] == '[' || equals == std::string::npos) continue;
    entries.emplace_back(line.substr(0, equals), line.substr(equals + 3));
  }
  return entries;
}

class Sha256BlockTest : public ::testing::TestWithParam<NamedBlockFunction> {
 protected:
  void SetUp() override {
    if (GetParam().run == sha256_blocks::sha_extensions && !sha256_blocks::cpu_has_sha_extensions())
      GTEST_SKIP() << "this CPU has no SHA extensions";
  }
  BlockFunction run() const { return GetParam().run; }
};

INSTANTIATE_TEST_SUITE_P(Blocks, Sha256BlockTest, ::testing::Values(PORTABLE, SHA_EXTENSIONS),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_P(Sha256BlockTest, FipsVectorsAndPaddingBoundaries) {
  const struct {
    std::string message;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      // One block of padding up to 55 bytes; from 56 bytes the length no longer fits and a second
      // block follows; at 64 the message fills a block of its own.
      {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {std::string(63, 'a'), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {std::string(65, 'a'), "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
  };
  for (const auto& c : cases) EXPECT_EQ(hash_with(run(), c.message), c.digest) << "length " << c.message.size();
}

TEST_P(Sha256BlockTest, PiecewiseFeedingGivesTheSameDigest) {
  std::mt19937 random(20240611);
  for (int round = 0; round < 200; ++round) {
    std::string message(random() % 1000, '\0');
    for (auto& c : message) c = static_cast<char>(random());
    const std::string whole = hash_with(run(), message);

    Sha256 hasher;
    hasher.reset();
    std::size_t position = 0;
    while (position < message.size()) {
      // Pieces of 0 to 130 bytes, so that some are empty and some span more than two blocks.
      const std::size_t piece = std::min<std::size_t>(random() % 131, message.size() - position);
      sha256_blocks::update_with(hasher, run(), message.data() + position, piece);
      position += piece;
    }
    sha256_blocks::update_with(hasher, run(), nullptr, 0);
    const auto digest = sha256_blocks::finish_with(hasher, run());
    ASSERT_EQ(to_hex(digest.data(), digest.size()), whole) << "round " << round;
  }
}

TEST_P(Sha256BlockTest, CavpShortAndLongMessages) {
  for (const char* file : {"SHA256ShortMsg.rsp", "SHA256LongMsg.rsp"}) {
    const auto entries = read_cavp(file);
    std::size_t checked = 0;
    for (std::size_t i = 0; i + 2 < entries.size(); ++i) {
      if (entries[i].first != "Len") continue;
      ASSERT_EQ(entries[i + 1].first, "Msg");
      ASSERT_EQ(entries[i + 2].first, "MD");
      const std::size_t bits = std::stoul(entries[i].second);
      std::string message = from_hex(entries[i + 1].second);
      message.resize(bits / 8);  // Len = 0 comes with the placeholder Msg = 00
      EXPECT_EQ(hash_with(run(), message), entries[i + 2].second) << file << " Len = " << bits;
      ++checked;
    }
    EXPECT_EQ(checked, std::string(file) == "SHA256ShortMsg.rsp" ? 65u : 64u) << file;
  }
}

// The Monte Carlo test: each checkpoint runs 1000 hashes of the last three digests chained
// together, starting from three copies of the seed, and its last digest is the next seed.
TEST_P(Sha256BlockTest, CavpMonteCarlo) {
  const auto entries = read_cavp("SHA256Monte.rsp");
  ASSERT_FALSE(entries.empty());
  ASSERT_EQ(entries[0].first, "Seed");
  std::string seed = from_hex(entries[0].second);
  std::size_t checkpoints = 0;
  for (std::size_t i = 1; i + 1 < entries.size(); i += 2) {
    ASSERT_EQ(entries[i].first, "COUNT");
    ASSERT_EQ(entries[i + 1].first, "MD");
    std::string md[3] = {seed, seed, seed};
    for (int j = 0; j < 1000; ++j) {
      const std::string next = from_hex(hash_with(run(), md[0] + md[1] + md[2]));
      md[0] = md[1];
      md[1] = md[2];
      md[2] = next;
    }
    seed = md[2];
    ASSERT_EQ(to_hex(seed.data(), seed.size()), entries[i + 1].second) << "COUNT = " << entries[i].second;
    ++checkpoints;
  }
  EXPECT_EQ(checkpoints, 100u);
}

TEST(Sha256Blocks, BothBlockFunctionsAgreeOnRandomInput) {
  if (!sha256_blocks::cpu_has_sha_extensions()) GTEST_SKIP() << "this CPU has no SHA extensions";
  std::mt19937 random(7);
  std::vector<uint8_t> buffer(64 * 40 + 1);
  for (int round = 0; round < 300; ++round) {
    for (auto& b : buffer) b = static_cast<uint8_t>(random());
    uint32_t a[8], b[8];
    for (int i = 0; i < 8; ++i) a[i] = b[i] = static_cast<uint32_t>(random());
    // An odd start address too: the blocks of a file buffer need not be aligned.
    const std::size_t offset = round % 2;
    const std::size_t count = random() % 40;
    sha256_blocks::portable(a, buffer.data() + offset, count);
    sha256_blocks::sha_extensions(b, buffer.data() + offset, count);
    ASSERT_TRUE(std::equal(a, a + 8, b)) << "round " << round << ", " << count << " blocks";
  }
}

#if defined(__i386__)
// Calls run(state, blocks, count) with the stack pointer `shift` bytes below a 16-byte boundary at
// the call, as a 32-bit window procedure or dialog callback may be entered: the system promises
// such a callback 4 bytes of alignment, where the compiler's own callers keep 16.
extern "C" void call_with_shifted_stack(BlockFunction run, uint32_t* state, const uint8_t* blocks,
                                        std::size_t count, std::size_t shift) asm("vanro_call_with_shifted_stack");
asm(R"(
    .text
    .globl vanro_call_with_shifted_stack
vanro_call_with_shifted_stack:
    pushl %ebp
    movl %esp, %ebp
    andl $-16, %esp
    subl $4, %esp
    subl 24(%ebp), %esp
    pushl 20(%ebp)
    pushl 16(%ebp)
    pushl 12(%ebp)
    call *8(%ebp)
    movl %ebp, %esp
    popl %ebp
    ret
)");
#endif

TEST_P(Sha256BlockTest, RunsOnAStackAlignedToOnlyFourBytes) {
#if defined(__i386__)
  std::mt19937 random(11);
  std::vector<uint8_t> blocks(64 * 17);
  for (auto& b : blocks) b = static_cast<uint8_t>(random());
  uint32_t expected[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  sha256_blocks::portable(expected, blocks.data(), 17);
  for (std::size_t shift : {0, 4, 8, 12}) {
    uint32_t state[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    call_with_shifted_stack(run(), state, blocks.data(), 17, shift);
    EXPECT_TRUE(std::equal(state, state + 8, expected)) << "stack " << shift << " bytes off a 16-byte boundary";
  }
#else
  GTEST_SKIP() << "only 32-bit x86 callbacks may be entered with a stack aligned to less than 16 bytes";
#endif
}

TEST(Sha256, HasherAndHexForms) {
  const uint8_t two[] = {0x00, 0xab};
  const uint8_t three[] = {0xff, 0x10, 0x09};
  EXPECT_EQ(to_hex(two, 2), "00ab");
  EXPECT_EQ(to_hex(three, 3), "ff1009");
  EXPECT_EQ(to_hex(two, 0), "");

  EXPECT_EQ(sha256_hex("abc", 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256_hex(std::string("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

  Sha256 hasher;
  hasher.reset();
  hasher.update("a", 1);
  hasher.update("", 0);
  hasher.update("bc", 2);
  const auto digest = hasher.finish();
  EXPECT_EQ(to_hex(digest.data(), digest.size()), sha256_hex("abc", 3));
}

class Sha256FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    directory = std::filesystem::temp_directory_path() / ("vanro-sha256-" + std::string(info->name()));
    std::filesystem::remove_all(directory);
    std::filesystem::create_directories(directory);
  }
  void TearDown() override { std::filesystem::remove_all(directory); }

  // A file of `size` zero bytes; sparse, so that 128 MiB cost nothing to make.
  std::u16string zero_file(const char* name, std::uintmax_t size) {
    const auto path = directory / name;
    std::ofstream(path, std::ios::binary).close();
    std::filesystem::resize_file(path, size);
    return path.u16string();
  }

  std::filesystem::path directory;
};

TEST_F(Sha256FileTest, EmptyFileAndTheSizeLimit) {
  EXPECT_EQ(sha256_file_hex(zero_file("empty", 0)),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_file_hex(zero_file("at-limit", FILE_HASH_LIMIT)),
            "254bcc3fc4f27172636df4bf32de9f107f620d559b20d760197e452b97453917");
  try {
    sha256_file_hex(zero_file("over-limit", FILE_HASH_LIMIT + 1));
    ADD_FAILURE() << "a file one byte over the limit was hashed";
  } catch (const PatchError& e) {
    EXPECT_STREQ(e.what(), "File size exceeds limit");
  }
  try {
    sha256_file_hex((directory / "missing").u16string());
    ADD_FAILURE() << "a missing file was hashed";
  } catch (const PatchError& e) {
    EXPECT_STREQ(e.what(), "Cannot open input file");
  }
}

}  // namespace
