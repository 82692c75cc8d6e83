// Runs each file named on the command line (or each file in a named folder)
// through the fuzz target once. Exits 0 when all of them pass; a broken
// invariant aborts.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_target.h"

namespace {

bool replayFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.string().c_str());
    return false;
  }
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  LLVMFuzzerInitialize(&argc, &argv);
  int replayed = 0;
  bool readable = true;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path named(argv[i]);
    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(named)) {
      for (const auto& entry : std::filesystem::directory_iterator(named))
        if (entry.is_regular_file()) files.push_back(entry.path());
    } else {
      files.push_back(named);
    }
    for (const auto& file : files) {
      readable = replayFile(file) && readable;
      ++replayed;
    }
  }
  std::fprintf(stderr, "replayed %d inputs\n", replayed);
  // An empty corpus replays nothing, which is a broken test set-up.
  return readable && replayed > 0 ? 0 : 1;
}
