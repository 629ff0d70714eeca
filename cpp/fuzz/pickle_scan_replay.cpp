// Replays inputs through the pickle scan's fuzz target (pickle_scan_fuzz.cpp) without libFuzzer,
// so any compiler, with any sanitizer, runs the committed corpus:
//
//   pickle_scan_replay cpp/fuzz/corpus [more files or folders...]
//
// Folders are read recursively. A fault aborts in the target, naming it; otherwise it prints how
// many inputs ran and exits 0 (1 when it could read none, or a file it was given).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

bool replay(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return false;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  size_t count = 0;
  bool all_read = true;
  for (int i = 1; i < argc; ++i) {
    const fs::path given(argv[i]);
    std::error_code error;
    if (fs::is_directory(given, error)) {
      for (const auto& entry : fs::recursive_directory_iterator(given)) {
        if (entry.is_regular_file()) count += replay(entry.path()) ? 1 : 0;
      }
    } else if (replay(given)) {
      ++count;
    } else {
      all_read = false;
    }
  }
  std::printf("pickle scan: %zu inputs replayed\n", count);
  return count > 0 && all_read ? 0 : 1;
}
