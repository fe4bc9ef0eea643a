#include "Diagnostics/CDVLumtraceWriter.h"

#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <unistd.h>

#include "Core/Public/CDVLogger.h"
#include "dispatch/Clock.h"
#include "foundation/Files.h"
#include "foundation/Text.h"
#include "foundation/Format.h"

int64_t CurrentTimeMillis() {
  return static_cast<int64_t>(platform::Clock::current()->now() * 1000.0);
}

int64_t CurrentUptimeMillis() {
  const double uptime = platform::Clock::current()->uptime();
  if (!std::isfinite(uptime) || uptime <= 0) return 0;
  return static_cast<int64_t>(uptime * 1000.0);
}

std::vector<uint8_t> CDVLumtraceRecordPrefix(uint32_t length) {
  std::vector<uint8_t> prefix;
  do {
    uint8_t byte = length & 0x7F;
    length >>= 7;
    if (length != 0) byte |= 0x80;
    prefix.push_back(byte);
  } while (length != 0);
  return prefix;
}

namespace {

// Reads one record at `offset`; false when it is not whole.
bool nextRecord(std::span<const uint8_t> contents, size_t& offset, size_t& bodyOffset, size_t& bodyLength) {
  uint64_t length = 0;
  size_t position = offset;
  for (int shift = 0;; shift += 7) {
    if (position >= contents.size() || shift > 28) return false;
    const uint8_t byte = contents[position++];
    length |= static_cast<uint64_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) break;
  }
  if (length > UINT32_MAX || length > contents.size() - position) return false;
  bodyOffset = position;
  bodyLength = static_cast<size_t>(length);
  offset = position + bodyLength;
  return true;
}

bool isUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
         c == '~';
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

size_t CDVLumtraceWholeRecordsLength(std::span<const uint8_t> contents) {
  size_t offset = 0, bodyOffset = 0, bodyLength = 0;
  size_t whole = 0;
  while (nextRecord(contents, offset, bodyOffset, bodyLength)) whole = offset;
  return whole;
}

std::vector<std::vector<uint8_t>> CDVLumtraceRecords(std::span<const uint8_t> contents) {
  std::vector<std::vector<uint8_t>> records;
  size_t offset = 0, bodyOffset = 0, bodyLength = 0;
  while (nextRecord(contents, offset, bodyOffset, bodyLength)) {
    records.emplace_back(contents.begin() + bodyOffset, contents.begin() + bodyOffset + bodyLength);
  }
  return records;
}

std::string CDVLumtraceEscapeAccount(const std::string& account) {
  return platform::text::percentEncoded(account, isUnreserved);
}

std::string CDVLumtraceUnescapeAccount(const std::string& directoryName) {
  std::string text;
  for (size_t i = 0; i < directoryName.size(); ++i) {
    if (directoryName[i] == '%' && i + 2 < directoryName.size() && hexValue(directoryName[i + 1]) >= 0 &&
        hexValue(directoryName[i + 2]) >= 0) {
      text.push_back(static_cast<char>(hexValue(directoryName[i + 1]) * 16 + hexValue(directoryName[i + 2])));
      i += 2;
    } else {
      text.push_back(directoryName[i]);
    }
  }
  return text;
}

// ---- CDVLumtraceWriter -----------------------------------------------------------------------

CDVLumtraceWriter::CDVLumtraceWriter(const std::string& path) : path_(path) {
  const auto slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    platform::Error error;
    if (!platform::files::createDirectories(path.substr(0, slash), &error)) {
      CDVLogError(kCDVLoggerCore, "I-COR000015", "Failed to create directory: %@", error.fullDescription());
      return;  // nothing is written into a folder that is not the user's own
    }
  }
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    const int errorNumber = errno;
    fd_ = -1;
    CDVLogError(kCDVLoggerCore, "I-COR000016", "Failed to create %@, error (%d)", path, errorNumber);
  }
}

CDVLumtraceWriter::~CDVLumtraceWriter() { close(); }

void CDVLumtraceWriter::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

bool WriteBuffer(const uint8_t* buffer, size_t length, CDVLumtraceWriter& writer) {
  const ssize_t written = ::write(writer.fd(), buffer, length);
  if (written < 0 || static_cast<size_t>(written) != length) return false;
  writer.setNumBytes(writer.numBytes() + length);
  return true;
}

bool CDVLumtraceWriter::writeLogEvent(const LMTPBLogEvent& event) {
  if (fd_ < 0) return false;
  std::optional<std::vector<uint8_t>> encoded = event.protoBuffer();
  if (!encoded) return false;
  return writeEncodedEvent(*encoded);
}

bool CDVLumtraceWriter::writeEncodedEvent(std::span<const uint8_t> encodedEvent) {
  if (fd_ < 0) return false;
  if (encodedEvent.size() > UINT32_MAX) return false;
  // Where this record starts, so that a failed write can be cut off again.
  const off_t recordStart = ::lseek(fd_, 0, SEEK_CUR);
  const std::vector<uint8_t> prefix = CDVLumtraceRecordPrefix(static_cast<uint32_t>(encodedEvent.size()));
  bool written = WriteBuffer(prefix.data(), prefix.size(), *this);
  if (written && !encodedEvent.empty()) {
    written = WriteBuffer(encodedEvent.data(), encodedEvent.size(), *this);
    if (!written) numBytes_ -= prefix.size();
  }
  if (!written && recordStart >= 0) {
    if (::ftruncate(fd_, recordStart) == 0) ::lseek(fd_, recordStart, SEEK_SET);
  }
  return written;
}

// ---- CDVLumtraceAccountData ------------------------------------------------------------------

std::shared_ptr<CDVLumtraceWriter> CDVLumtraceAccountData::writerForLogSource(
    int32_t logSource, const std::function<bool(const std::string&)>& isPathTaken) {
  auto found = logSourceToWriter_.find(logSource);
  if (found != logSourceToWriter_.end()) return found->second;
  const std::string directory = platform::files::join(accountLogDirectory_, platform::format("%d", logSource));
  // Two files opened within one millisecond would share a name; the later one takes the next
  // free number instead of failing and losing its events. A name the caller still refers to
  // (a file already uploaded whose request is still listed) is not taken either.
  int64_t millis = CurrentTimeMillis();
  std::string path = platform::files::join(directory, platform::format("%lld", millis));
  while (platform::files::exists(path) || (isPathTaken && isPathTaken(path))) {
    path = platform::files::join(directory, platform::format("%lld", ++millis));
  }
  auto writer = CDVLumtraceWriter::initWithPath(path);
  logSourceToWriter_[logSource] = writer;
  return writer;
}

void CDVLumtraceAccountData::removeWriterForLogSource(int32_t logSource) { logSourceToWriter_.erase(logSource); }

void CDVLumtraceAccountData::flushWriters() {
  for (auto& [logSource, writer] : logSourceToWriter_) writer->close();
  logSourceToWriter_.clear();
}

std::string CDVLumtraceAccountData::filenameWithCurrentTimeInDirectory(const std::string& directory) {
  return platform::files::join(directory, platform::format("%lld", CurrentTimeMillis()));
}
