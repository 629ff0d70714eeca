// libFuzzer target of the scan of a saved pipeline's pickle stream (cpp/core/src/pickle_scan.cpp).
//
// Each input is scanned twice: under the loader's limits, and under tight ones (no floor, shallow
// nesting), so that the allowance and nesting refusals are met by inputs of a few bytes too.
// Whatever the input, the scan must return, and what it returns must hold together: a loaded
// stream is one frame ending at STOP, with what is left of the allowance of the bytes read.
//
// Build and fuzz (clang with the libFuzzer runtime; on Debian the packages clang and
// libclang-rt-14-dev), from the repository's root:
//
//   clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
//     -Icpp/core/include cpp/fuzz/pickle_scan_fuzz.cpp cpp/core/src/pickle_scan.cpp -o build/pickle_scan_fuzz
//   mkdir -p build/fuzz-found
//   build/pickle_scan_fuzz -dict=cpp/fuzz/pickle_scan.dict -max_len=16384 -max_total_time=1200 \
//     build/fuzz-found cpp/fuzz/corpus
//
// New inputs go to the first folder, and the committed corpus is only read. To fuzz for longer,
// raise -max_total_time (seconds; leave it out to run until stopped), and add -jobs=N -workers=N
// to run N at once; -rss_limit_mb caps each run's memory (2048 by default). A report leaves a
// crash-*, leak-*, oom-* or timeout-* file in the working folder: the target run on that file alone
// replays it. So does the replay driver (pickle_scan_replay.cpp, CMake option
// KORVANE_FUZZ_REPLAY), which any compiler builds and `make sanitize` runs over the corpus.
// An input worth keeping belongs in scripts/make_pickle_corpus.py, which writes the corpus.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>

#include "korvane/pickle_scan.hpp"

namespace {

using korvane::pickles::Limits;
using korvane::pickles::Outcome;
using korvane::pickles::ScanResult;

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "pickle scan: %s\n", what);
  std::abort();
}

void check(const ScanResult& result, size_t size, const Limits& limits) {
  if (result.outcome != Outcome::kLoad) {
    if (result.message.empty() || !result.stream.empty()) broken("a refusal without a message, or with a stream");
    return;
  }
  const std::string& stream = result.stream;
  if (stream.size() < 10 || static_cast<uint8_t>(stream[0]) != 0x95 || stream.back() != '.') {
    broken("a loaded stream that is not one frame ending at STOP");
  }
  uint64_t frame = 0;
  for (int i = 0; i < 8; ++i) frame |= static_cast<uint64_t>(static_cast<uint8_t>(stream[1 + i])) << (8 * i);
  if (frame != stream.size() - 9) broken("a frame length other than the stream's");
  if (result.read <= 0 || static_cast<uint64_t>(result.read) > size) broken("more read than the file holds");
  const int64_t allowance = limits.built_floor + limits.built_per_byte * result.read;
  if (result.left < 0 || result.left > allowance) broken("what is left lies outside the allowance");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Limits loader;
  Limits tight;
  tight.built_floor = 0;
  tight.max_nesting = 4;
  tight.max_digits = 40;
  for (const Limits& limits : {loader, tight}) check(korvane::pickles::scan(data, size, limits), size, limits);
  return 0;
}
