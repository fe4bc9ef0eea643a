#include "obx/OBXGzip.h"

#include <zlib.h>

#include <algorithm>
#include <climits>

namespace {

constexpr int kGzipWindowBits = 15 + 16;  // 32 KiB window, gzip wrapper only
constexpr std::size_t kChunk = 64 * 1024;

platform::Bytes fail(platform::Error* error, int code, const std::string& what, const char* zlibMessage) {
  std::string description = what;
  if (zlibMessage != nullptr) description += std::string(": ") + zlibMessage;
  platform::setError(error, kOBXZlibErrorDomain, code, description);
  return {};
}

// zlib counts in unsigned int; feed large inputs in pieces.
void feed(z_stream& stream, const platform::Bytes& data, std::size_t& offset) {
  if (stream.avail_in == 0 && offset < data.size()) {
    std::size_t n = std::min<std::size_t>(data.size() - offset, UINT_MAX);
    stream.next_in = const_cast<Bytef*>(data.data() + offset);
    stream.avail_in = static_cast<uInt>(n);
    offset += n;
  }
}

}  // namespace

platform::Bytes obx_dataByGzippingData(const platform::Bytes& data, platform::Error* error) {
  z_stream stream{};
  int status = deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits, 8, Z_DEFAULT_STRATEGY);
  if (status != Z_OK) return fail(error, status, "Failed to initialize compression", stream.msg);

  platform::Bytes out;
  std::size_t offset = 0;
  unsigned char buffer[kChunk];
  do {
    feed(stream, data, offset);
    int flush = (offset == data.size()) ? Z_FINISH : Z_NO_FLUSH;
    stream.next_out = buffer;
    stream.avail_out = sizeof buffer;
    status = deflate(&stream, flush);
    if (status == Z_STREAM_ERROR) {
      deflateEnd(&stream);
      return fail(error, status, "Failed to compress data", stream.msg);
    }
    out.insert(out.end(), buffer, buffer + (sizeof buffer - stream.avail_out));
  } while (status != Z_STREAM_END);
  deflateEnd(&stream);
  return out;
}

platform::Bytes obx_dataByInflatingGzippedData(const platform::Bytes& data, platform::Error* error) {
  if (data.empty()) return fail(error, kOBXZlibErrorInvalidInput, "No gzip data to inflate", nullptr);

  z_stream stream{};
  int status = inflateInit2(&stream, kGzipWindowBits);
  if (status != Z_OK) return fail(error, status, "Failed to initialize decompression", stream.msg);

  platform::Bytes out;
  std::size_t offset = 0;
  unsigned char buffer[kChunk];
  for (;;) {
    feed(stream, data, offset);
    stream.next_out = buffer;
    stream.avail_out = sizeof buffer;
    status = inflate(&stream, Z_NO_FLUSH);
    out.insert(out.end(), buffer, buffer + (sizeof buffer - stream.avail_out));
    if (status == Z_STREAM_END) {
      // Another member may follow; anything else after a member is an error.
      if (stream.avail_in == 0 && offset == data.size()) break;
      if (inflateReset(&stream) != Z_OK) {
        inflateEnd(&stream);
        return fail(error, Z_STREAM_ERROR, "Failed to inflate data", stream.msg);
      }
      continue;
    }
    if (status == Z_OK) continue;
    if (status == Z_BUF_ERROR && stream.avail_in == 0 && offset == data.size()) {
      inflateEnd(&stream);
      return fail(error, Z_BUF_ERROR, "Gzip data is truncated", nullptr);
    }
    if (status == Z_BUF_ERROR) continue;  // output buffer was full: go on
    inflateEnd(&stream);
    return fail(error, status, "Failed to inflate data", stream.msg);
  }
  inflateEnd(&stream);
  return out;
}
