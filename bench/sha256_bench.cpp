// Throughput of our SHA-256 against OpenSSL's on the same 256 MiB buffer, in one run.
// Each side is timed several times, interleaved, and its best run counts. The clock is the
// process's CPU time, not the wall clock: on a machine shared with builds, time spent waiting for
// a core would otherwise decide the figure.
#include <openssl/evp.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "integrity/sha256.h"
#include "integrity/sha256_blocks.h"

namespace {

constexpr std::size_t BUFFER_SIZE = std::size_t(256) << 20;
constexpr int RUNS = 7;

std::vector<uint8_t> make_buffer() {
  std::vector<uint8_t> buffer(BUFFER_SIZE);
  uint64_t x = 0x9e3779b97f4a7c15u;
  for (auto& b : buffer) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    b = static_cast<uint8_t>(x >> 24);
  }
  return buffer;
}

std::string ours(const std::vector<uint8_t>& buffer) { return sha256_hex(buffer.data(), buffer.size()); }

std::string openssl(const std::vector<uint8_t>& buffer) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(buffer.data(), buffer.size(), digest, &length, EVP_sha256(), nullptr);
  return to_hex(digest, length);
}

double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

template <typename F>
double seconds(F&& f, std::string& result) {
  const double start = cpu_seconds();
  result = f();
  return cpu_seconds() - start;
}

}  // namespace

int main() {
  const std::vector<uint8_t> buffer = make_buffer();
  std::printf("buffer: %zu MiB, best of %d runs each, CPU time\n", BUFFER_SIZE >> 20, RUNS);
  std::printf("block function: %s\n",
              sha256_blocks::cpu_has_sha_extensions() ? "SHA extensions" : "portable");

  double best_ours = 1e9, best_openssl = 1e9;
  std::string digest_ours, digest_openssl;
  for (int run = 0; run < RUNS; ++run) {
    best_ours = std::min(best_ours, seconds([&] { return ours(buffer); }, digest_ours));
    best_openssl = std::min(best_openssl, seconds([&] { return openssl(buffer); }, digest_openssl));
  }
  if (digest_ours != digest_openssl) {
    std::printf("digests differ: ours %s, OpenSSL %s\n", digest_ours.c_str(), digest_openssl.c_str());
    return 1;
  }

  const double mb = double(BUFFER_SIZE) / 1e6;
  const double ours_mbs = mb / best_ours, openssl_mbs = mb / best_openssl;
  std::printf("ours:    %.1f MB/s\n", ours_mbs);
  std::printf("OpenSSL: %.1f MB/s\n", openssl_mbs);
  std::printf("ratio=%.3f\n", ours_mbs / openssl_mbs);
  return 0;
}
