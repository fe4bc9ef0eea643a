// Replaying a fuzz target's seed corpus as an ordinary test.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace testsupport {

// Runs `one(data, size)` on every file of `directory`, in name order, expecting true of each;
// returns how many ran. What the readers print while refusing inputs is captured and dropped.
template <typename One>
size_t replayCorpus(const std::string& directory, One one) {
  std::vector<std::filesystem::path> paths;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) paths.push_back(entry.path());
  std::sort(paths.begin(), paths.end());
  testing::internal::CaptureStdout();
  for (const auto& path : paths) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(one(input.data(), input.size())) << path;
  }
  testing::internal::GetCapturedStdout();
  return paths.size();
}

}  // namespace testsupport
