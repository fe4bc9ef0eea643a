// Replays the seed corpora of the property-list and JSON fuzz targets: every input reads or is
// refused with its error, and whatever reads writes back stably.
#include "../../../platform/foundation/fuzz/FuzzFoundationOne.h"
#include "CorpusReplay.h"

TEST(FoundationFuzzCorpus, PropertyListSeedsReadOrFailCleanly) {
  EXPECT_GE(testsupport::replayCorpus(FOUNDATION_FUZZ_CORPUS_DIR "/plist", fuzzPropertyListOne), 10u);
}

TEST(FoundationFuzzCorpus, JsonSeedsReadOrFailCleanly) {
  EXPECT_GE(testsupport::replayCorpus(FOUNDATION_FUZZ_CORPUS_DIR "/json", fuzzJsonOne), 9u);
}
