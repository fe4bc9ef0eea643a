// Wrapper objects: every message instance the SDK passes around is a wrapper that owns exactly
// one NANOMessageInfo record. All wrappers share `NANOMessageBase`; each message has its own
// thin class (TLMPBEvent, LMTPBLogRequest, CDVPBErrorInfo, ...) made from `NANOMessage<>`.
//
//   auto event = TLMPBEvent::initWithMessageInfo(nullptr);          // new empty message
//   NANOSetString(*event, TLMPBEventSlot::name, "_s");              // fields by slot
//   std::optional<std::vector<uint8_t>> bytes = event->protoBuffer();
//   auto decoded = TLMPBEvent::initWithBuffer(*bytes);              // null when bytes are bad
//
// Wrappers are handed around as std::shared_ptr and are not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "proto/NANOMessageInfo.h"

class NANOMessageBase {
 public:
  virtual ~NANOMessageBase();
  NANOMessageBase(const NANOMessageBase&) = delete;
  NANOMessageBase& operator=(const NANOMessageBase&) = delete;

  // The message name ("Event", "LogRequest", ...).
  const char* messageID() const { return descriptor_->name; }
  // The owned record (not a copy); null only for a wrapper that failed to construct.
  NANOMessageInfo* messageInfo() const { return messageInfo_; }
  // The encoding; empty bytes for an all-unset message, nullopt when encoding fails.
  std::optional<std::vector<uint8_t>> protoBuffer() const;

  // The message's own init, free-field and copy functions, used by the generic accessors.
  virtual NANOInitMessageInfoFn initMessageInfoFn() const = 0;
  virtual NANODeallocMessageFieldFn deallocMessageFieldFn() const = 0;
  virtual NANOCopyMessageInfoFn copyMessageInfoFn() const = 0;

  const NANOMessageDescriptor& descriptor() const { return *descriptor_; }

 protected:
  explicit NANOMessageBase(const NANOMessageDescriptor& descriptor) : descriptor_(&descriptor) {}
  // Construction helpers for NANOMessage<>: take a deep copy of `record` (or a new empty record
  // when it is null). False when the record is of another message or copying fails.
  bool adoptCopyOf(const NANOMessageInfo* record);
  // Decode into a temporary record, then adopt a copy of it.
  bool adoptDecoded(const uint8_t* bytes, size_t length);

 private:
  const NANOMessageDescriptor* descriptor_;
  NANOMessageInfo* messageInfo_ = nullptr;
};

template <const NANOMessageDescriptor& D>
bool nanoInitFn(NANOMessageInfo* record) {
  return nanoInitMessage(D, record);
}
template <const NANOMessageDescriptor& D>
bool nanoFreeFieldFn(NANOMessageInfo* record, int32_t slot) {
  return nanoFreeField(D, record, slot);
}
template <const NANOMessageDescriptor& D>
bool nanoCopyFn(NANOMessageInfo** destination, const NANOMessageInfo* source) {
  return nanoCopyMessage(D, destination, source);
}

// The wrapper class of one message. `Derived` is the concrete class (CRTP).
template <class Derived, const NANOMessageDescriptor& D>
class NANOMessage : public NANOMessageBase {
 public:
  static const NANOMessageDescriptor& messageDescriptor() { return D; }

  // Null record: a new empty message. A record: a wrapper holding a deep copy of it, or null
  // when the record belongs to another message (or copying fails). The caller keeps its record.
  static std::shared_ptr<Derived> initWithMessageInfo(const NANOMessageInfo* record) {
    std::shared_ptr<Derived> wrapper(new Derived());
    if (!wrapper->adoptCopyOf(record)) return nullptr;
    return wrapper;
  }
  // Decodes the bytes; null when they are not a valid encoding (after the decoder's line on
  // standard output). No bytes give an all-unset message.
  static std::shared_ptr<Derived> initWithBuffer(std::span<const uint8_t> bytes) {
    std::shared_ptr<Derived> wrapper(new Derived());
    if (!wrapper->adoptDecoded(bytes.data(), bytes.size())) return nullptr;
    return wrapper;
  }
  static std::shared_ptr<Derived> initWithBuffer(const uint8_t* bytes, size_t length) {
    return initWithBuffer(std::span<const uint8_t>(bytes, bytes == nullptr ? 0 : length));
  }

  NANOInitMessageInfoFn initMessageInfoFn() const override { return &nanoInitFn<D>; }
  NANODeallocMessageFieldFn deallocMessageFieldFn() const override { return &nanoFreeFieldFn<D>; }
  NANOCopyMessageInfoFn copyMessageInfoFn() const override { return &nanoCopyFn<D>; }

 protected:
  NANOMessage() : NANOMessageBase(D) {}
};

// Declares the wrapper class `Class` of the message described by `Descriptor`.
#define NANO_DECLARE_WRAPPER(Class, Descriptor)                        \
  class Class final : public NANOMessage<Class, Descriptor> {          \
    friend class NANOMessage<Class, Descriptor>;                       \
    Class() = default;                                                 \
  };

// ---- Declaring messages ---------------------------------------------------------------------
//
// Each message is declared once from its slot list, an X-macro of
//   X(field_name, tag, flag word, sub-message descriptor or nullptr)
// in slot order. NANO_DECLARE_MESSAGE gives:
//   - `extern const NANOMessageDescriptor k<Class>Descriptor;`
//   - `struct <Class>Slot { enum : int32_t { field_name, ... }; };` (slot numbers by name)
//   - the wrapper class `<Class>`;
//   - the function family <prefix>_init_<stem>, <prefix>_free_<stem>,
//     <prefix>_free_<stem>_field, <prefix>_copy_<stem>, <prefix>_encode_<stem> (byte count or
//     -1, buffer to free()), <prefix>_decode_<stem>.
#define NANO_OPT(kind) (NANO_FIELD_OPTIONAL | NANO_FIELD_##kind)
#define NANO_REP(kind) (NANO_FIELD_REPEATED | NANO_FIELD_##kind)
#define NANO_SLOT_ENUMERATOR(field, tag, type, sub) field,

#define NANO_DECLARE_MESSAGE(Class, prefix, stem, SLOTS)                                       \
  extern const NANOMessageDescriptor k##Class##Descriptor;                                     \
  struct Class##Slot {                                                                         \
    enum : int32_t { SLOTS(NANO_SLOT_ENUMERATOR) kCount };                                     \
  };                                                                                           \
  NANO_DECLARE_WRAPPER(Class, k##Class##Descriptor)                                            \
  inline bool prefix##_init_##stem(NANOMessageInfo* record) {                                  \
    return nanoInitMessage(k##Class##Descriptor, record);                                      \
  }                                                                                            \
  inline bool prefix##_free_##stem(NANOMessageInfo* record) {                                  \
    return nanoFreeMessage(k##Class##Descriptor, record);                                      \
  }                                                                                            \
  inline bool prefix##_free_##stem##_field(NANOMessageInfo* record, int32_t slot) {            \
    return nanoFreeField(k##Class##Descriptor, record, slot);                                  \
  }                                                                                            \
  inline bool prefix##_copy_##stem(NANOMessageInfo** destination,                              \
                                   const NANOMessageInfo* source) {                            \
    return nanoCopyMessage(k##Class##Descriptor, destination, source);                         \
  }                                                                                            \
  inline int32_t prefix##_encode_##stem(const NANOMessageInfo* record, uint8_t** buffer) {     \
    return nanoEncode(k##Class##Descriptor, record, buffer);                                   \
  }                                                                                            \
  inline bool prefix##_decode_##stem(const uint8_t* bytes, size_t length,                      \
                                     NANOMessageInfo* record) {                                \
    return nanoDecode(k##Class##Descriptor, bytes, length, record);                            \
  }
