// Replays the event-file fuzz target's seed corpus: whole, cut-off and damaged event files.
#include "../../../sdk/Diagnostics/fuzz/FuzzEventFileOne.h"
#include "CorpusReplay.h"

TEST(EventFileFuzzCorpus, SeedsReadOrFailCleanly) {
  EXPECT_GE(testsupport::replayCorpus(DIAGNOSTICS_FUZZ_CORPUS_DIR, fuzzEventFileOne), 8u);
}
