// The free space of a folder's file system, for the message of a test that failed where it
// writes: a write that failed on a full disk does not always say so (a failed commit is not in
// SQLite's log, a store's message may name no cause).
#pragma once

#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace testsupport {

// "\n  <path>: N KiB free on its file system", or what kept it from being read.
inline std::string freeSpace(const std::string& path) {
  struct statvfs fs {};
  if (::statvfs(path.c_str(), &fs) != 0) return "\n  " + path + ": free space unknown: " + std::strerror(errno);
  const unsigned long long kib = static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize / 1024;
  return "\n  " + path + ": " + std::to_string(kib) + " KiB free on its file system";
}

}  // namespace testsupport
