// Replays the decoder fuzz target's seed corpus: every input must decode or fail cleanly, and
// whatever decodes must re-encode stably.
#include "../../../sdk/proto/fuzz/FuzzDecodeOne.h"
#include "CorpusReplay.h"
#include "TestSupport.h"

namespace {

TEST(NanoFuzzCorpus, SeedsDecodeOrFailCleanly) {
  EXPECT_GE(testsupport::replayCorpus(NANO_FUZZ_CORPUS_DIR, nanoFuzzDecodeOne), 10u);
}

}  // namespace
