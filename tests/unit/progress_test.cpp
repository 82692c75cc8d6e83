#include "cli/progress.h"

#include <gtest/gtest.h>

#include <cstdint>

TEST(ProgressLine, ShowsBytesPercentageAndRate) {
  EXPECT_EQ("Uploading 512 B of 2.0 KiB (25%), 256 B/s",
            formatProgressLine("Uploading", 512, 2048, 2.0));
  EXPECT_EQ("Downloading 1.5 MiB of 3.0 MiB (50%), 768.0 KiB/s",
            formatProgressLine("Downloading", 1536 * 1024, 3 * 1024 * 1024, 2.0));
}

TEST(ProgressLine, LeavesOutWhatIsNotKnown) {
  EXPECT_EQ("Downloading 5.0 GiB", formatProgressLine("Downloading", 5ull << 30, 0, 0.0));
  EXPECT_EQ("Downloading 0 B", formatProgressLine("Downloading", 0, 0, 0.0));
}

TEST(ProgressLine, HugeSizesDoNotOverflowThePercentage) {
  EXPECT_EQ("Uploading 8.0 TiB of 16.0 TiB (50%)",
            formatProgressLine("Uploading", 8ull << 40, 16ull << 40, 0.0));
  EXPECT_EQ("Uploading 8388608.0 TiB of 16777216.0 TiB (50%)",
            formatProgressLine("Uploading", UINT64_MAX / 2, UINT64_MAX, 0.0));
}
