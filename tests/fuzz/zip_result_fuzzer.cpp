// Zips from arbitrary bytes, as a misbehaving service may hand back for
// several inputs: the strict walk and minizip's unpacking never crash, never
// accept a zip of strangers, and leave no unpacked entry behind.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_target.h"
#include "platform/files.h"
#include "verify/proof.h"

namespace {

std::string directory;
std::string zipPath;
std::vector<std::string> inputs;

bool writeWhole(const std::string& path, const uint8_t* data, size_t size) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  bool written = std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && written;
}

void removeScratchFiles() {
  deleteFile(zipPath);
  for (const std::string& input : inputs) deleteFile(input);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  directory = tempDirectory();
  std::atexit(removeScratchFiles);
  std::string input;
  FUZZ_CHECK(createTempFile(directory, "tvq", zipPath));
  // Two inputs that are PE files no zip of the corpus holds signed.
  for (int i = 0; i < 2; ++i) {
    FUZZ_CHECK(createTempFile(directory, "tvq", input));
    std::vector<uint8_t> image(0x400);
    image[0] = 'M';
    image[1] = 'Z';
    image[0x3C] = 0x40;
    image[0x40] = 'P';
    image[0x41] = 'E';
    image[0x40 + 20] = 240;
    image[0x40 + 24] = 0x0B;
    image[0x40 + 25] = 0x02;
    image[0x40 + 24 + 108] = 16;
    image[0x300] = static_cast<uint8_t>(i);
    FUZZ_CHECK(writeWhole(input, image.data(), image.size()));
    PeLayout layout;
    FUZZ_CHECK(readPeLayout(image.data(), image.size(), image.size(), layout).empty());
    inputs.push_back(input);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!writeWhole(zipPath, data, size)) return 0;
  // Nothing unsigned can be proven.
  FUZZ_CHECK(!proveResult(zipPath, inputs, "").failure.empty());
  return 0;
}
