// Replays the decoder fuzz target's seed corpus: every input must decode or fail cleanly, and
// whatever decodes must re-encode stably.
#include <filesystem>
#include <fstream>
#include <iterator>

#include "../../../sdk/proto/fuzz/FuzzDecodeOne.h"
#include "TestSupport.h"

namespace {

TEST(NanoFuzzCorpus, SeedsDecodeOrFailCleanly) {
  size_t count = 0;
  testing::internal::CaptureStdout();
  for (const auto& entry : std::filesystem::directory_iterator(NANO_FUZZ_CORPUS_DIR)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const Bytes input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(nanoFuzzDecodeOne(input.data(), input.size())) << entry.path();
    ++count;
  }
  testing::internal::GetCapturedStdout();
  EXPECT_GE(count, 10u);
}

}  // namespace
