// The disk side of the log-upload client: pending log events live in event files, one directory
// per account and log source below the client's log directory:
//
//   <log directory>/<account, percent-escaped>/<log source "%d">/<open time in ms "%lld">
//
// An event file is a plain run of records, each the event's byte length as a base-128 varint
// (least significant group first, 1 to 5 bytes) followed by the encoded LogEvent. Each closed
// file later becomes one upload request.
//
// Nothing here locks: the log-upload client calls every operation on its serial queue.
// CDVLumtraceRequest objects are immutable and may travel between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "proto/LMTPBMessages.h"

// Wall-clock milliseconds since 1970 and milliseconds since boot, from the platform clock
// (dispatch/Clock.h), truncated. CurrentUptimeMillis answers 0 when the boot time is unknown.
int64_t CurrentTimeMillis();
int64_t CurrentUptimeMillis();

// The varint length prefix of a record of `length` bytes.
std::vector<uint8_t> CDVLumtraceRecordPrefix(uint32_t length);
// How many leading bytes of `contents` form whole records. A record whose prefix or body is cut
// off (a process that died in the middle of a write) and everything after it are not counted.
size_t CDVLumtraceWholeRecordsLength(std::span<const uint8_t> contents);
// The event bodies of the whole records of `contents`, in order.
std::vector<std::vector<uint8_t>> CDVLumtraceRecords(std::span<const uint8_t> contents);

// Account names as directory names: every byte but ASCII letters, digits, "-", "_" and "~" is
// percent-escaped, so "/", "." and ".." can neither nest nor leave the log directory.
std::string CDVLumtraceEscapeAccount(const std::string& account);
// Reverses the escaping; a "%" not followed by two hex digits is kept as it is.
std::string CDVLumtraceUnescapeAccount(const std::string& directoryName);

class CDVLumtraceWriter {
 public:
  // Creates the parent directory and the file itself (exclusively: an existing file is not
  // opened). Always gives a writer; when the open failed its fd is -1 and every write fails.
  explicit CDVLumtraceWriter(const std::string& path);
  static std::shared_ptr<CDVLumtraceWriter> initWithPath(const std::string& path) {
    return std::make_shared<CDVLumtraceWriter>(path);
  }
  ~CDVLumtraceWriter();
  CDVLumtraceWriter(const CDVLumtraceWriter&) = delete;
  CDVLumtraceWriter& operator=(const CDVLumtraceWriter&) = delete;

  // Appends the event as one record. False when the writer is closed, the event cannot be
  // encoded or a write fails; a failed write never leaves part of a record behind: the file
  // is cut back to its last whole record.
  bool writeLogEvent(const LMTPBLogEvent& event);
  // The same for an event already encoded (no data: the one-byte record 0x00).
  bool writeEncodedEvent(std::span<const uint8_t> encodedEvent);
  void close();

  const std::string& path() const { return path_; }
  int fd() const { return fd_; }
  void setFd(int fd) { fd_ = fd; }
  // Bytes written successfully through this writer, length prefixes included.
  uint64_t numBytes() const { return numBytes_; }
  void setNumBytes(uint64_t numBytes) { numBytes_ = numBytes; }

 private:
  std::string path_;
  int fd_ = -1;
  uint64_t numBytes_ = 0;
};

// One write call for the whole buffer; true only when all of it was written, and only then is
// it counted in the writer's numBytes. A short write is neither retried nor undone here.
bool WriteBuffer(const uint8_t* buffer, size_t length, CDVLumtraceWriter& writer);

class CDVLumtraceAccountData {
 public:
  explicit CDVLumtraceAccountData(std::string accountLogDirectory)
      : accountLogDirectory_(std::move(accountLogDirectory)) {}
  static std::shared_ptr<CDVLumtraceAccountData> initWithAccountLogDirectory(const std::string& directory) {
    return std::make_shared<CDVLumtraceAccountData>(directory);
  }

  const std::string& accountLogDirectory() const { return accountLogDirectory_; }
  // The open writer of the log source, made on first use in a new file named by the current
  // millisecond (the next free number when that name is taken: a file of that name exists, or
  // `isPathTaken`, when given, answers true for it). Returned even when its file could not be
  // opened.
  std::shared_ptr<CDVLumtraceWriter> writerForLogSource(
      int32_t logSource, const std::function<bool(const std::string&)>& isPathTaken = nullptr);
  // Forgets the writer; its file is closed when the last reference goes.
  void removeWriterForLogSource(int32_t logSource);
  // Closes every writer and forgets them all.
  void flushWriters();
  // `directory` joined with the current millisecond.
  static std::string filenameWithCurrentTimeInDirectory(const std::string& directory);

  size_t writerCount() const { return logSourceToWriter_.size(); }

 private:
  std::string accountLogDirectory_;
  std::map<int32_t, std::shared_ptr<CDVLumtraceWriter>> logSourceToWriter_;
};

// One event file waiting to be uploaded.
class CDVLumtraceRequest {
 public:
  CDVLumtraceRequest(int32_t logSource, std::string account, std::string path)
      : logSource_(logSource), account_(std::move(account)), path_(std::move(path)) {}
  static std::shared_ptr<const CDVLumtraceRequest> initWithLogSource(int32_t logSource, const std::string& account,
                                                                     const std::string& path) {
    return std::make_shared<const CDVLumtraceRequest>(logSource, account, path);
  }

  int32_t logSource() const { return logSource_; }
  const std::string& account() const { return account_; }
  const std::string& path() const { return path_; }

 private:
  const int32_t logSource_;
  const std::string account_;
  const std::string path_;
};
