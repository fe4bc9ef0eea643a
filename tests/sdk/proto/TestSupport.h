// Helpers shared by the message-layer tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "obx/OBXLogger.h"
#include "proto/NANOMessages.h"

using Bytes = std::vector<uint8_t>;

// Collects the platform log lines written while it lives; every kind of line may be written at
// once as it starts (none held back for a capture before it).
class LogCapture {
 public:
  LogCapture() {
    OBXLoggerForgetHeldLinesForTesting();
    previous_ = OBXLoggerSetSink([this](const OBXLogLine& line) { lines.push_back(line.message); });
  }
  ~LogCapture() { OBXLoggerSetSink(previous_); }
  std::vector<std::string> lines;

 private:
  OBXLogSink previous_;
};

inline Bytes encode(const NANOMessageBase& message) {
  auto bytes = message.protoBuffer();
  EXPECT_TRUE(bytes.has_value());
  return bytes.value_or(Bytes{});
}
