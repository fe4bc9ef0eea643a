// Wrapper life cycle shared by every message class.
#include "proto/NANOMessageBase.h"

NANOMessageBase::~NANOMessageBase() {
  if (messageInfo_ != nullptr) nanoFreeMessage(*descriptor_, messageInfo_);
}

bool NANOMessageBase::adoptCopyOf(const NANOMessageInfo* record) {
  if (record == nullptr) {
    messageInfo_ = nanoNewMessage(*descriptor_);
    return messageInfo_ != nullptr;
  }
  // Only records made by this message's own functions carry this very name pointer.
  if (record->name != descriptor_->name) return false;
  NANOMessageInfo* copy = nullptr;
  if (!nanoCopyMessage(*descriptor_, &copy, record)) {
    if (copy != nullptr) nanoFreeMessage(*descriptor_, copy);
    return false;
  }
  messageInfo_ = copy;
  return true;
}

bool NANOMessageBase::adoptDecoded(const uint8_t* bytes, size_t length) {
  NANOMessageInfo* temporary = nanoNewMessage(*descriptor_);
  if (temporary == nullptr) return false;
  if (!nanoDecode(*descriptor_, bytes, length, temporary)) {
    nanoFreeMessage(*descriptor_, temporary);
    return false;
  }
  // The decoded record is already this wrapper's own: keep it instead of copying it.
  messageInfo_ = temporary;
  return true;
}

std::optional<std::vector<uint8_t>> NANOMessageBase::protoBuffer() const {
  if (messageInfo_ == nullptr) return std::nullopt;
  std::vector<uint8_t> bytes;
  if (!nanoEncodeToBytes(*descriptor_, messageInfo_, bytes)) return std::nullopt;
  return bytes;
}
