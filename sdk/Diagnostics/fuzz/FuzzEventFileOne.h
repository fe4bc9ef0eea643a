// One fuzz input for the event-file reader: the bytes are an event file as found on disk, perhaps
// cut off or damaged. Returns false when the reader's answer breaks a promise: whole records that
// do not end inside the file, a run of whole records that does not read the same on its own, or
// an event that decodes but does not re-encode to stable bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "Diagnostics/CDVLumtraceWriter.h"

inline bool fuzzEventFileOne(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> contents(data, size);
  const size_t whole = CDVLumtraceWholeRecordsLength(contents);
  if (whole > size) return false;
  const auto records = CDVLumtraceRecords(contents);
  if (CDVLumtraceWholeRecordsLength(contents.first(whole)) != whole ||
      CDVLumtraceRecords(contents.first(whole)) != records) {
    return false;
  }
  size_t bodies = 0;
  for (const auto& record : records) {
    bodies += record.size();
    auto event = LMTPBLogEvent::initWithBuffer(record);
    if (!event) continue;
    auto first = event->protoBuffer();
    if (!first) return false;
    auto again = LMTPBLogEvent::initWithBuffer(*first);
    if (!again || again->protoBuffer() != first) return false;
  }
  return bodies + records.size() <= whole;
}
