// Shared pieces of the diagnostics tests: a temporary sandbox, a manual clock, a capture of the
// log lines, and helpers to build and read log events.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Core/Public/CDVLogger.h"
#include "Diagnostics/CDVLumtraceWriter.h"
#include "FreeSpace.h"
#include "dispatch/Testing.h"
#include "foundation/Files.h"
#include "foundation/Sandbox.h"
#include "obx/OBXLogger.h"
#include "proto/NANOAccessors.h"

namespace diagtest {

// A LogEvent carrying `payload` and, when given, its times.
inline std::shared_ptr<LMTPBLogEvent> makeEvent(const std::string& payload, int64_t time = -1,
                                                int64_t uptime = -1) {
  auto event = LMTPBLogEvent::initWithMessageInfo(nullptr);
  std::vector<uint8_t> bytes(payload.begin(), payload.end());
  NANOSetBytes(*event, LMTPBLogEventSlot::payload, std::span<const uint8_t>(bytes));
  if (time >= 0) NANOSetInt64(*event, LMTPBLogEventSlot::event_time_ms, time);
  if (uptime >= 0) NANOSetInt64(*event, LMTPBLogEventSlot::event_uptime_ms, uptime);
  return event;
}

inline std::string payloadOf(const std::vector<uint8_t>& encodedEvent) {
  auto event = LMTPBLogEvent::initWithBuffer(encodedEvent);
  if (!event) return "<undecodable>";
  auto bytes = NANOGetBytes(*event, LMTPBLogEventSlot::payload);
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

// The payloads of the whole records of a file.
inline std::vector<std::string> payloadsInFile(const std::string& path) {
  std::vector<std::string> payloads;
  auto contents = platform::files::readFile(path);
  if (!contents) return payloads;
  for (const auto& record : CDVLumtraceRecords(*contents)) payloads.push_back(payloadOf(record));
  return payloads;
}

// Every file below `root`, as full paths, sorted.
inline std::vector<std::string> filesBelow(const std::string& root) {
  std::vector<std::string> found;
  for (const auto& name : platform::files::directoryContents(root)) {
    const std::string path = platform::files::join(root, name);
    if (platform::files::isDirectory(path)) {
      for (auto& inner : filesBelow(path)) found.push_back(inner);
    } else {
      found.push_back(path);
    }
  }
  return found;
}


class DiagnosticsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sandbox_ = std::make_unique<platform::sandbox::ScopedTemporarySandbox>();
    clock_ = std::make_shared<platform::ManualClock>(1700000000.0, 5000.0);
    scopedClock_ = std::make_unique<platform::ScopedClock>(clock_);
    OBXLoggerSetSink([this](const OBXLogLine& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
    });
  }

  void TearDown() override {
    // A test that failed where it writes (a full disk, say) shows how much room there was.
    if (HasFailure() && sandbox_) ADD_FAILURE() << "where the test writes:" << testsupport::freeSpace(sandbox_->root());
    OBXLoggerSetSink(nullptr);
    scopedClock_.reset();
    sandbox_.reset();
  }

  std::vector<OBXLogLine> linesWithCode(const std::string& code) {
    std::lock_guard lock(mutex_);
    std::vector<OBXLogLine> found;
    for (const auto& line : lines_) {
      if (line.messageCode == code) found.push_back(line);
    }
    return found;
  }

  std::string directory(const std::string& name) const {
    return platform::files::join(sandbox_->root(), name);
  }

  std::unique_ptr<platform::sandbox::ScopedTemporarySandbox> sandbox_;
  std::shared_ptr<platform::ManualClock> clock_;
  std::unique_ptr<platform::ScopedClock> scopedClock_;
  std::mutex mutex_;
  std::vector<OBXLogLine> lines_;
};

}  // namespace diagtest
