// Helpers shared by the message-layer tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "obx/OBXLogger.h"
#include "proto/NANOMessages.h"

using Bytes = std::vector<uint8_t>;

// Collects the platform log lines written while it lives.
class LogCapture {
 public:
  LogCapture() {
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
