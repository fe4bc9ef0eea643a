#include <gtest/gtest.h>

#include "measurement/model/TLMFormatting.h"
#include "measurement/model/TLMRecordingMonitor.h"

namespace {

TEST(Formatting, NamesInDebugModeShowPublicNames) {
  TLMScopedRecordingMonitor monitor(/*debugMode=*/true, /*facadePresent=*/true);
  EXPECT_EQ(TLMFormattedEventName("_vs"), "screen_view (_vs)");
  EXPECT_EQ(TLMFormattedEventName("screen_view"), "screen_view");
  EXPECT_EQ(TLMFormattedEventName("_zz"), "_zz");
  EXPECT_EQ(TLMFormattedEventName("_cmp"), "cindervale_campaign (_cmp)");
  EXPECT_EQ(TLMFormattedParameterName("_err"), "cindervale_error (_err)");
  EXPECT_EQ(TLMFormattedUserPropertyName("_id"), "user_id (_id)");
  EXPECT_EQ(TLMFormattedEventName(12), "12");
}

TEST(Formatting, NamesOutsideDebugModeOrWithoutFacadePassUnchanged) {
  {
    TLMScopedRecordingMonitor monitor(/*debugMode=*/false);
    EXPECT_EQ(TLMFormattedEventName("_vs"), "_vs");
    EXPECT_EQ(TLMFormattedUserPropertyName("_exp_7"), "experiment_id (_exp_7)");
  }
  TLMScopedRecordingMonitor monitor(/*debugMode=*/true, /*facadePresent=*/false);
  EXPECT_EQ(TLMFormattedEventName("_vs"), "_vs");
}

TEST(Formatting, ParameterDictionaries) {
  TLMParameters p{{"_err", TLMValue(2)}, {"b", TLMValue("x")}, {"A", TLMValue(1.5)}};
  {
    TLMScopedRecordingMonitor monitor(/*debugMode=*/true);
    EXPECT_EQ(TLMFormattedParametersDescription(p),
              "{\n    A = 1.5;\n    b = x;\n    cindervale_error (_err) = InvalidEventName (2);\n}");
    TLMParameters unknown{{"_err", TLMValue(42)}};
    EXPECT_EQ(TLMFormattedParametersDescription(unknown), "{\n    cindervale_error (_err) = 42;\n}");
  }
  TLMScopedRecordingMonitor monitor(/*debugMode=*/false);
  EXPECT_EQ(TLMFormattedParametersDescription(p), platform::Value(p.toDictionary()).description());
}

}  // namespace
