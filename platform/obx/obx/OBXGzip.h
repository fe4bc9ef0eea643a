// gzip compression of data (RFC 1952) with zlib.
#pragma once

#include "foundation/Error.h"
#include "foundation/Value.h"

inline constexpr const char* kOBXZlibErrorDomain = "com.obx.zlib.ErrorDomain";
// Error codes are zlib's return codes (Z_DATA_ERROR -3, Z_BUF_ERROR -5, ...), with
// kOBXZlibErrorInvalidInput for input that is not one or more whole gzip members.
inline constexpr int kOBXZlibErrorInvalidInput = 1;

// One gzip member holding `data` (an empty input gives the 20-byte member of nothing).
// On failure: empty result and `*error` set.
platform::Bytes obx_dataByGzippingData(const platform::Bytes& data, platform::Error* error = nullptr);
// The data held by one or more concatenated gzip members. Empty, truncated, corrupt input or
// trailing bytes that are not a gzip member: empty result and `*error` set.
platform::Bytes obx_dataByInflatingGzippedData(const platform::Bytes& data, platform::Error* error = nullptr);
