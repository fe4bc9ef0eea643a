// The generic message engine: life cycle of records and their binding to nanopb.
//
// nanopb sees every message as its generated struct, in which scalars are static optional
// members (has-flag and value) and every string, bytes, repeated and sub-message field is a
// callback. Encoding fills a zeroed struct from the record and installs encode callbacks that
// read straight from the record; decoding installs decode callbacks that write straight into the
// record and copies the scalars found on the wire afterwards. Sub-messages are handled by the
// same code one level down, with their own struct and bindings.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <pb_common.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include "proto/NANOMessageInfo.h"
#include "proto/NANOMessages.h"

namespace {

bool isRepeated(int32_t type) { return (type & NANO_FIELD_REPEATED) != 0; }
bool isCountedKind(int32_t kind) { return kind == NANO_FIELD_STRING || kind == NANO_FIELD_BYTES; }
// Singular scalars live in nanopb's struct; everything else passes through callbacks.
bool isScalarSlot(int32_t type) {
  const int32_t kind = NANOFieldKind(type);
  return !isRepeated(type) && !isCountedKind(kind) && kind != NANO_FIELD_MESSAGE;
}

// Frees the storage of one singular value (or one element) of the given kind.
void freeValue(const NANOSlot& slot, void* value) {
  if (value == nullptr) return;
  const int32_t kind = NANOFieldKind(slot.type);
  if (kind == NANO_FIELD_MESSAGE) {
    nanoFreeMessage(*slot.submessage, static_cast<NANOMessageInfo*>(value));
  } else if (isCountedKind(kind)) {
    auto* counted = static_cast<NANOArrayInfo*>(value);
    std::free(counted->data);
    std::free(counted);
  } else {
    std::free(value);
  }
}

// A new counted record holding a copy of `length` bytes and a terminating zero.
NANOArrayInfo* newCounted(const void* bytes, size_t length) {
  auto* counted = static_cast<NANOArrayInfo*>(std::calloc(1, sizeof(NANOArrayInfo)));
  if (counted == nullptr) return nullptr;
  counted->data = std::calloc(length + 1, 1);
  if (counted->data == nullptr) {
    std::free(counted);
    return nullptr;
  }
  if (length > 0) std::memcpy(counted->data, bytes, length);
  counted->size = static_cast<uint32_t>(length);
  return counted;
}

// Deep copy of one singular value (or element); null on failure.
void* copyValue(const NANOSlot& slot, const void* value) {
  const int32_t kind = NANOFieldKind(slot.type);
  if (kind == NANO_FIELD_MESSAGE) {
    NANOMessageInfo* copy = nullptr;
    if (!nanoCopyMessage(*slot.submessage, &copy, static_cast<const NANOMessageInfo*>(value))) {
      if (copy != nullptr) nanoFreeMessage(*slot.submessage, copy);
      return nullptr;
    }
    return copy;
  }
  if (isCountedKind(kind)) {
    const auto* counted = static_cast<const NANOArrayInfo*>(value);
    if (counted->data == nullptr && counted->size > 0) return nullptr;
    return newCounted(counted->data, counted->size);
  }
  const size_t cellSize = kind == NANO_FIELD_FLOAT ? 4 : 8;
  void* cell = std::malloc(cellSize);
  if (cell != nullptr) std::memcpy(cell, value, cellSize);
  return cell;
}

int findSlot(const NANOMessageDescriptor& descriptor, uint32_t tag) {
  for (int32_t i = 0; i < descriptor.slotCount; ++i) {
    if (descriptor.slots[i].tag == tag) return i;
  }
  return -1;
}

uint64_t readCell(const void* cell) {
  uint64_t value;
  std::memcpy(&value, cell, sizeof value);
  return value;
}

// ---- Binding a record to a nanopb struct ------------------------------------------------------

// State of one top-level decode. Duplicates of a singular sub-message merge into one record, each
// occurrence through its own nanopb pass; the element capacity of every list this decode grew is
// kept here so that the next occurrence goes on growing it geometrically instead of copying it.
struct DecodeContext {
  struct Grown {
    const void* data;
    uint32_t capacity;
  };
  std::unordered_map<const NANOArrayInfo*, Grown> capacities;

  uint32_t capacityOf(const NANOArrayInfo* list) const {
    if (list->data == nullptr) return 0;
    const auto found = capacities.find(list);
    // Only while the list still holds the block this decode allocated.
    if (found != capacities.end() && found->second.data == list->data) return found->second.capacity;
    return list->size;
  }
};

struct Binding {
  const NANOMessageDescriptor* descriptor;
  const NANOSlot* slot;
  void** entry;       // the slot's storage pointer in the record
  uint32_t capacity;  // element capacity of a repeated list while decoding
  DecodeContext* context;
};

// A zeroed nanopb struct of one message and the bindings of its callback fields. The bindings
// never move (reserved up front), since nanopb holds pointers to them.
struct WireStruct {
  // 8-byte words: every member of a nanopb struct is at most 8-byte aligned. (A vector of
  // max_align_t would leave the padding inside each element uninitialised.)
  std::vector<uint64_t> storage;
  std::vector<Binding> bindings;

  explicit WireStruct(const NANOMessageDescriptor& descriptor)
      : storage(descriptor.structSize / sizeof(uint64_t) + 2, 0) {
    bindings.reserve(static_cast<size_t>(descriptor.slotCount));
  }
  void* data() { return storage.data(); }
};

bool encodeCallback(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
bool decodeCallback(pb_istream_t* stream, const pb_field_t* field, void** arg);

// Fills the struct from the record: scalars with their has-flags, callbacks for the rest.
bool bindEncoders(const NANOMessageDescriptor& descriptor, const NANOMessageInfo* record,
                  WireStruct& wire) {
  pb_field_iter_t it;
  if (!pb_field_iter_begin(&it, descriptor.fields, wire.data())) return true;
  do {
    if (PB_LTYPE(it.type) == PB_LTYPE_EXTENSION) continue;
    const int index = findSlot(descriptor, it.tag);
    if (index < 0) return false;
    const NANOSlot& slot = descriptor.slots[index];
    void* entry = record->fields[index];
    if (PB_ATYPE(it.type) != (isScalarSlot(slot.type) ? PB_ATYPE_STATIC : PB_ATYPE_CALLBACK)) {
      return false;  // a table this engine was not built for
    }
    if (PB_ATYPE(it.type) == PB_ATYPE_STATIC) {
      if (entry == nullptr) continue;
      *static_cast<bool*>(it.pSize) = true;
      const int32_t kind = NANOFieldKind(slot.type);
      if (kind == NANO_FIELD_FLOAT) {
        std::memcpy(it.pData, entry, 4);
      } else if (kind == NANO_FIELD_BOOL) {
        *static_cast<bool*>(it.pData) = (*static_cast<const uint8_t*>(entry) != 0);
      } else if (it.data_size == 4) {
        const uint32_t value = static_cast<uint32_t>(readCell(entry));
        std::memcpy(it.pData, &value, 4);
      } else {
        std::memcpy(it.pData, entry, 8);
      }
      continue;
    }
    if (isRepeated(slot.type)) {
      const auto* list = static_cast<const NANOArrayInfo*>(entry);
      if (list == nullptr) {
        std::printf("<ERROR> %s Encoder: '%s' should have been allocated\n", descriptor.name,
                    slot.name);
        return false;
      }
      if (list->size == 0) continue;
    } else if (entry == nullptr) {
      continue;
    }
    wire.bindings.push_back({&descriptor, &slot, &record->fields[index], 0, nullptr});
    auto* callback = static_cast<pb_callback_t*>(it.pData);
    callback->funcs.encode = &encodeCallback;
    callback->arg = &wire.bindings.back();
  } while (pb_field_iter_next(&it));
  return true;
}

bool encodeSubmessage(pb_ostream_t* stream, const pb_field_t* field,
                      const NANOMessageDescriptor& descriptor, const NANOMessageInfo* record) {
  if (record == nullptr || record->fields == nullptr) return false;
  WireStruct wire(descriptor);
  if (!bindEncoders(descriptor, record, wire)) return false;
  return pb_encode_tag_for_field(stream, field) &&
         pb_encode_submessage(stream, descriptor.fields, wire.data());
}

// One scalar element of a repeated field, written by the field's wire type.
bool encodeScalarElement(pb_ostream_t* stream, const pb_field_t* field, int32_t kind,
                         const void* cell) {
  if (!pb_encode_tag_for_field(stream, field)) return false;
  const bool narrow = kind == NANO_FIELD_ENUM || kind == NANO_FIELD_INT32 ||
                      kind == NANO_FIELD_UINT32 || kind == NANO_FIELD_BOOL;
  switch (PB_LTYPE(field->type)) {
    case PB_LTYPE_FIXED32: {
      uint32_t value;
      if (kind == NANO_FIELD_FLOAT) {
        std::memcpy(&value, cell, 4);
      } else {
        value = static_cast<uint32_t>(readCell(cell));
      }
      return pb_encode_fixed32(stream, &value);
    }
    case PB_LTYPE_FIXED64: {
      const uint64_t value = readCell(cell);
      return pb_encode_fixed64(stream, &value);
    }
    case PB_LTYPE_SVARINT: {
      const uint64_t raw = readCell(cell);
      const int64_t value = narrow ? static_cast<int32_t>(static_cast<uint32_t>(raw))
                                   : static_cast<int64_t>(raw);
      return pb_encode_svarint(stream, value);
    }
    case PB_LTYPE_BOOL:
      return pb_encode_varint(stream, (readCell(cell) & 0xFF) != 0 ? 1 : 0);
    case PB_LTYPE_UVARINT: {
      const uint64_t raw = readCell(cell);
      return pb_encode_varint(stream, narrow ? static_cast<uint32_t>(raw) : raw);
    }
    case PB_LTYPE_VARINT: {
      // Signed: a negative 32-bit value is sign-extended (ten bytes).
      const uint64_t raw = readCell(cell);
      const int64_t value = narrow ? static_cast<int32_t>(static_cast<uint32_t>(raw))
                                   : static_cast<int64_t>(raw);
      return pb_encode_varint(stream, static_cast<uint64_t>(value));
    }
    default:
      return false;
  }
}

bool encodeCallback(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  if (arg == nullptr || *arg == nullptr) return false;
  const auto* binding = static_cast<const Binding*>(*arg);
  const NANOSlot& slot = *binding->slot;
  const int32_t kind = NANOFieldKind(slot.type);
  void* entry = *binding->entry;
  if (entry == nullptr) return false;

  if (!isRepeated(slot.type)) {
    if (kind == NANO_FIELD_MESSAGE) {
      return encodeSubmessage(stream, field, *slot.submessage,
                              static_cast<const NANOMessageInfo*>(entry));
    }
    const auto* counted = static_cast<const NANOArrayInfo*>(entry);
    if (counted->data == nullptr) return false;
    return pb_encode_tag_for_field(stream, field) &&
           pb_encode_string(stream, static_cast<const pb_byte_t*>(counted->data), counted->size);
  }

  const auto* list = static_cast<const NANOArrayInfo*>(entry);
  if (list->size == 0) return true;
  if (list->data == nullptr) return false;
  void* const* elements = static_cast<void* const*>(list->data);
  for (uint32_t i = 0; i < list->size; ++i) {
    const void* element = elements[i];
    if (element == nullptr) return false;
    bool ok;
    if (kind == NANO_FIELD_MESSAGE) {
      ok = encodeSubmessage(stream, field, *slot.submessage,
                            static_cast<const NANOMessageInfo*>(element));
    } else if (isCountedKind(kind)) {
      const auto* counted = static_cast<const NANOArrayInfo*>(element);
      ok = counted->data != nullptr && pb_encode_tag_for_field(stream, field) &&
           pb_encode_string(stream, static_cast<const pb_byte_t*>(counted->data), counted->size);
    } else {
      ok = encodeScalarElement(stream, field, kind, element);
    }
    if (!ok) return false;
  }
  return true;
}

// ---- Decoding ---------------------------------------------------------------------------------

bool decodeInto(const NANOMessageDescriptor& descriptor, pb_istream_t* stream,
                NANOMessageInfo* record, bool fresh, DecodeContext& context);

// Appends an element to a repeated list being decoded (the list owns it from then on).
bool appendElement(Binding& binding, NANOArrayInfo* list, void* element) {
  if (list->used >= binding.capacity || list->data == nullptr) {
    if (binding.capacity >= std::numeric_limits<uint32_t>::max() / 2) return false;
    const uint32_t capacity = binding.capacity < 4 ? 4 : binding.capacity * 2;
    void* grown = std::realloc(list->data, sizeof(void*) * capacity);
    if (grown == nullptr) return false;
    list->data = grown;
    binding.capacity = capacity;
    binding.context->capacities[list] = {grown, capacity};
  }
  static_cast<void**>(list->data)[list->used++] = element;
  list->size = list->used;
  return true;
}

// Reads the remaining bytes of `stream` into a new counted record; null on failure.
NANOArrayInfo* readCounted(pb_istream_t* stream) {
  const size_t length = stream->bytes_left;
  if (length > kNANOMaxStringLength) {
    std::printf("Unable to process proto stream. Buffer is too big. %zu > %d\n", length,
                static_cast<int>(kNANOMaxStringLength));
    return nullptr;
  }
  auto* counted = static_cast<NANOArrayInfo*>(std::calloc(1, sizeof(NANOArrayInfo)));
  if (counted == nullptr) return nullptr;
  counted->data = std::calloc(length + 1, 1);
  if (counted->data == nullptr || !pb_read(stream, static_cast<pb_byte_t*>(counted->data), length)) {
    std::free(counted->data);
    std::free(counted);
    return nullptr;
  }
  counted->size = static_cast<uint32_t>(length);
  return counted;
}

// Reads one scalar element by the field's wire type into a new value cell; null on failure.
void* readScalarElement(pb_istream_t* stream, const pb_field_t* field, int32_t kind) {
  uint64_t value = 0;
  switch (PB_LTYPE(field->type)) {
    case PB_LTYPE_FIXED32: {
      uint32_t raw;
      if (!pb_decode_fixed32(stream, &raw)) return nullptr;
      if (kind == NANO_FIELD_FLOAT) {
        void* cell = std::malloc(4);
        if (cell != nullptr) std::memcpy(cell, &raw, 4);
        return cell;
      }
      value = raw;
      break;
    }
    case PB_LTYPE_FIXED64:
      if (!pb_decode_fixed64(stream, &value)) return nullptr;
      break;
    case PB_LTYPE_SVARINT: {
      int64_t signedValue;
      if (!pb_decode_svarint(stream, &signedValue)) return nullptr;
      value = static_cast<uint64_t>(signedValue);
      break;
    }
    default:
      if (!pb_decode_varint(stream, &value)) return nullptr;
      break;
  }
  void* cell = std::malloc(8);
  if (cell != nullptr) std::memcpy(cell, &value, 8);
  return cell;
}

bool decodeCallback(pb_istream_t* stream, const pb_field_t* field, void** arg) {
  if (arg == nullptr || *arg == nullptr) return false;
  auto& binding = *static_cast<Binding*>(*arg);
  const NANOSlot& slot = *binding.slot;
  const int32_t kind = NANOFieldKind(slot.type);

  if (!isRepeated(slot.type)) {
    if (kind == NANO_FIELD_MESSAGE) {
      // A second occurrence of a singular sub-message merges into the first.
      auto* sub = static_cast<NANOMessageInfo*>(*binding.entry);
      if (sub == nullptr) {
        sub = nanoNewMessage(*slot.submessage);
        if (sub == nullptr) return false;
        *binding.entry = sub;
      }
      return decodeInto(*slot.submessage, stream, sub, false, *binding.context);
    }
    // A singular string or bytes value: the last occurrence wins, as the wire format wants.
    // A value present without bytes is a record no setter or decode makes (one written by
    // hand): refuse to decode into it rather than guess what it held.
    const auto* current = static_cast<const NANOArrayInfo*>(*binding.entry);
    if (current != nullptr && current->data == nullptr) {
      std::puts("<ERROR> String decoder failed: string data is NULL");
      return false;
    }
    NANOArrayInfo* counted = readCounted(stream);
    if (counted == nullptr) return false;
    freeValue(slot, *binding.entry);
    *binding.entry = counted;
    return true;
  }

  auto* list = static_cast<NANOArrayInfo*>(*binding.entry);
  if (list == nullptr) {
    // Not reached: bindDecoders refuses a record without this list before anything is read.
    std::printf("<ERROR> %s decoder failed: Invalid arg parameter\n", binding.descriptor->name);
    return false;
  }
  if (kind == NANO_FIELD_MESSAGE) {
    const NANOMessageDescriptor& element = *slot.submessage;
    NANOMessageInfo* record = nanoNewMessage(element);
    if (record == nullptr) {
      std::printf("<ERROR> %s decoder failed: Unable to initialize MessageInfo\n", element.name);
      return false;
    }
    if (!appendElement(binding, list, record)) {
      nanoFreeMessage(element, record);
      return false;
    }
    if (!decodeInto(element, stream, record, true, *binding.context)) {
      std::printf("<ERROR> %s decoder failed: Unable to decode repeated %s\n", element.name,
                  element.name);
      return false;
    }
    return true;
  }
  void* value;
  if (isCountedKind(kind)) {
    value = readCounted(stream);
  } else {
    // An empty packed run holds no element.
    if (stream->bytes_left == 0) return true;
    value = readScalarElement(stream, field, kind);
  }
  if (value == nullptr) return false;
  if (!appendElement(binding, list, value)) {
    freeValue(slot, value);
    return false;
  }
  return true;
}

bool bindDecoders(const NANOMessageDescriptor& descriptor, NANOMessageInfo* record,
                  WireStruct& wire, DecodeContext& context) {
  pb_field_iter_t it;
  if (!pb_field_iter_begin(&it, descriptor.fields, wire.data())) return true;
  do {
    if (PB_LTYPE(it.type) == PB_LTYPE_EXTENSION || PB_ATYPE(it.type) != PB_ATYPE_CALLBACK) continue;
    const int index = findSlot(descriptor, it.tag);
    if (index < 0) return false;
    const NANOSlot& slot = descriptor.slots[index];
    if (isScalarSlot(slot.type)) return false;
    uint32_t capacity = 0;
    if (isRepeated(slot.type)) {
      auto* list = static_cast<NANOArrayInfo*>(record->fields[index]);
      if (list == nullptr) return false;
      list->used = list->size;
      capacity = context.capacityOf(list);
    }
    wire.bindings.push_back({&descriptor, &slot, &record->fields[index], capacity, &context});
    auto* callback = static_cast<pb_callback_t*>(it.pData);
    callback->funcs.decode = &decodeCallback;
    callback->arg = &wire.bindings.back();
  } while (pb_field_iter_next(&it));
  return true;
}

// Copies the scalars that were on the wire into their slots.
bool populate(const NANOMessageDescriptor& descriptor, NANOMessageInfo* record, WireStruct& wire) {
  pb_field_iter_t it;
  if (!pb_field_iter_begin(&it, descriptor.fields, wire.data())) return true;
  do {
    if (PB_ATYPE(it.type) != PB_ATYPE_STATIC || !*static_cast<bool*>(it.pSize)) continue;
    const int index = findSlot(descriptor, it.tag);
    if (index < 0 || !isScalarSlot(descriptor.slots[index].type)) return false;
    const int32_t kind = NANOFieldKind(descriptor.slots[index].type);
    void** entry = &record->fields[index];
    if (kind == NANO_FIELD_FLOAT) {
      float value;
      std::memcpy(&value, it.pData, 4);
      nano_set_float(entry, value);
    } else if (kind == NANO_FIELD_BOOL) {
      nano_set_bool(entry, *static_cast<const bool*>(it.pData));
    } else if (it.data_size == 4) {
      uint32_t value;
      std::memcpy(&value, it.pData, 4);
      nano_set_uint32(entry, value);
    } else {
      uint64_t value;
      std::memcpy(&value, it.pData, 8);
      nano_set_uint64(entry, value);
    }
    if (*entry == nullptr) return false;
  } while (pb_field_iter_next(&it));
  return true;
}

// The wire type a field of the given nanopb type is written with.
pb_wire_type_t wireTypeOf(pb_type_t type) {
  switch (PB_LTYPE(type)) {
    case PB_LTYPE_BOOL:
    case PB_LTYPE_VARINT:
    case PB_LTYPE_UVARINT:
    case PB_LTYPE_SVARINT: return PB_WT_VARINT;
    case PB_LTYPE_FIXED32: return PB_WT_32BIT;
    case PB_LTYPE_FIXED64: return PB_WT_64BIT;
    default: return PB_WT_STRING;
  }
}

// Finds the fields of one message level whose wire type does not fit their declaration (a varint
// where a string or sub-message is declared, a fixed64 where a varint is ...). Such a field is
// an unknown field, as other protobuf parsers treat it: it must never be read as the field's
// value. Returns the byte ranges to leave out; empty when every field fits or the input cannot be
// walked (then the decode itself reports the fault).
std::vector<std::pair<size_t, size_t>> mismatchedFields(const pb_byte_t* bytes, size_t length,
                                                        WireStruct& wire, const pb_msgdesc_t* fields) {
  std::vector<std::pair<size_t, size_t>> ranges;
  pb_istream_t scan = pb_istream_from_buffer(bytes, length);
  pb_field_iter_t it;
  if (!pb_field_iter_begin(&it, fields, wire.data())) return ranges;
  while (scan.bytes_left > 0) {
    const size_t start = length - scan.bytes_left;
    pb_wire_type_t wireType;
    uint32_t tag;
    bool eof = false;
    if (!pb_decode_tag(&scan, &wireType, &tag, &eof) || eof) break;
    if (!pb_skip_field(&scan, wireType)) return {};
    if (!pb_field_iter_find(&it, tag) || PB_LTYPE(it.type) == PB_LTYPE_EXTENSION) continue;
    const pb_wire_type_t declared = wireTypeOf(it.type);
    const bool packed = PB_HTYPE(it.type) == PB_HTYPE_REPEATED && declared != PB_WT_STRING &&
                        wireType == PB_WT_STRING;
    if (wireType != declared && !packed) ranges.emplace_back(start, length - scan.bytes_left);
  }
  return ranges;
}

bool decodeInto(const NANOMessageDescriptor& descriptor, pb_istream_t* stream,
                NANOMessageInfo* record, bool fresh, DecodeContext& context) {
  if (record == nullptr || record->fields == nullptr) {
    std::printf("<ERROR> %s decoder failed: message_info is NULL\n", descriptor.name);
    return false;
  }
  if (fresh) {
    // Repeated fields start empty and sub-messages are replaced.
    for (int32_t i = 0; i < descriptor.slotCount; ++i) {
      const int32_t type = descriptor.slots[i].type;
      if (isRepeated(type) || NANOFieldKind(type) == NANO_FIELD_MESSAGE) nanoFreeField(descriptor, record, i);
    }
  }
  WireStruct wire(descriptor);
  if (!bindDecoders(descriptor, record, wire, context)) {
    std::printf("<ERROR> %s decoder failed: Unable to set decoders\n", descriptor.name);
    return false;
  }
  // Every stream here reads from memory: the caller's buffer, or a window of it.
  static const auto readsMemory = pb_istream_from_buffer(nullptr, 0).callback;
  std::vector<pb_byte_t> kept;
  pb_istream_t filtered;
  pb_istream_t* input = stream;
  if (stream->callback == readsMemory && stream->bytes_left > 0) {
    const auto* bytes = static_cast<const pb_byte_t*>(stream->state);
    const size_t length = stream->bytes_left;
    const auto skipped = mismatchedFields(bytes, length, wire, descriptor.fields);
    if (!skipped.empty()) {
      kept.reserve(length);
      size_t from = 0;
      for (const auto& [start, end] : skipped) {
        kept.insert(kept.end(), bytes + from, bytes + start);
        from = end;
      }
      kept.insert(kept.end(), bytes + from, bytes + length);
      filtered = pb_istream_from_buffer(kept.data(), kept.size());
      input = &filtered;
      if (!pb_read(stream, nullptr, length)) return false;
    }
  }
  if (!pb_decode_ex(input, descriptor.fields, wire.data(), PB_DECODE_NOINIT)) {
    std::printf("<ERROR> %s decoder failed: %s\n", descriptor.name, PB_GET_ERROR(input));
    return false;
  }
  return populate(descriptor, record, wire);
}

}  // namespace

// ---- Life cycle -----------------------------------------------------------------------------

bool nanoInitMessage(const NANOMessageDescriptor& descriptor, NANOMessageInfo* record) {
  if (record == nullptr) return false;
  const size_t count = static_cast<size_t>(descriptor.slotCount);
  record->fields = static_cast<void**>(std::calloc(count == 0 ? 1 : count, sizeof(void*)));
  if (record->fields == nullptr) return false;
  for (size_t i = 0; i < count; ++i) {
    if (!isRepeated(descriptor.slots[i].type)) continue;
    record->fields[i] = std::calloc(1, sizeof(NANOArrayInfo));
    if (record->fields[i] == nullptr) {
      for (size_t j = 0; j < i; ++j) std::free(record->fields[j]);
      std::free(record->fields);
      record->fields = nullptr;
      return false;
    }
  }
  record->types = descriptor.types;
  record->name = descriptor.name;
  return true;
}

NANOMessageInfo* nanoNewMessage(const NANOMessageDescriptor& descriptor) {
  auto* record = static_cast<NANOMessageInfo*>(std::calloc(1, sizeof(NANOMessageInfo)));
  if (record == nullptr) return nullptr;
  if (!nanoInitMessage(descriptor, record)) {
    std::free(record);
    return nullptr;
  }
  return record;
}

bool nanoFreeField(const NANOMessageDescriptor& descriptor, NANOMessageInfo* record, int32_t slot) {
  if (record == nullptr || record->fields == nullptr) return false;
  if (slot < 0 || slot >= descriptor.slotCount) {
    std::printf("<ERROR> %s: Cannot deallocate field %d: Unknown field\n", descriptor.name, slot);
    return false;
  }
  const NANOSlot& info = descriptor.slots[slot];
  if (!isRepeated(info.type)) {
    freeValue(info, record->fields[slot]);
    record->fields[slot] = nullptr;
    return true;
  }
  auto* list = static_cast<NANOArrayInfo*>(record->fields[slot]);
  if (list == nullptr) return true;
  if (list->data != nullptr) {
    void** elements = static_cast<void**>(list->data);
    for (uint32_t i = 0; i < list->size; ++i) freeValue(info, elements[i]);
  }
  nano_init_array_info(list);
  return true;
}

bool nanoFreeMessage(const NANOMessageDescriptor& descriptor, NANOMessageInfo* record) {
  if (record == nullptr) return false;
  if (record->fields != nullptr) {
    for (int32_t i = 0; i < descriptor.slotCount; ++i) {
      if (!nanoFreeField(descriptor, record, i)) return false;
      if (isRepeated(descriptor.slots[i].type)) std::free(record->fields[i]);
    }
    std::free(record->fields);
  }
  std::free(record);
  return true;
}

bool nanoCopyMessage(const NANOMessageDescriptor& descriptor, NANOMessageInfo** destination,
                     const NANOMessageInfo* source) {
  if (destination == nullptr || source == nullptr || source->fields == nullptr ||
      source->name != descriptor.name) {
    return false;
  }
  if (*destination != nullptr) {
    // The old record may be of another message: free it with its own descriptor.
    const NANOMessageDescriptor* own = &descriptor;
    if ((*destination)->name != descriptor.name) {
      own = nullptr;
      for (const NANOMessageDescriptor* candidate : nanoAllMessageDescriptors()) {
        if (candidate->name == (*destination)->name) own = candidate;
      }
    }
    if (own != nullptr || (*destination)->fields == nullptr) {
      nanoFreeMessage(own != nullptr ? *own : descriptor, *destination);
    }
    // A record of no known message is left alone rather than freed by the wrong table.
    *destination = nullptr;
  }
  NANOMessageInfo* copy = nanoNewMessage(descriptor);
  if (copy == nullptr) return false;
  *destination = copy;
  for (int32_t i = 0; i < descriptor.slotCount; ++i) {
    const NANOSlot& slot = descriptor.slots[i];
    const void* value = source->fields[i];
    if (value == nullptr) continue;
    if (!isRepeated(slot.type)) {
      copy->fields[i] = copyValue(slot, value);
      if (copy->fields[i] == nullptr) return false;
      continue;
    }
    const auto* from = static_cast<const NANOArrayInfo*>(value);
    auto* to = static_cast<NANOArrayInfo*>(copy->fields[i]);
    if (from->size == 0) continue;
    if (from->data == nullptr) return false;
    to->data = std::calloc(from->size, sizeof(void*));
    if (to->data == nullptr) return false;
    void* const* fromElements = static_cast<void* const*>(from->data);
    void** toElements = static_cast<void**>(to->data);
    for (uint32_t e = 0; e < from->size; ++e) {
      if (fromElements[e] == nullptr) return false;
      toElements[e] = copyValue(slot, fromElements[e]);
      if (toElements[e] == nullptr) return false;
      to->size = e + 1;
    }
  }
  return true;
}

// ---- Encoding and decoding ------------------------------------------------------------------

int32_t nanoEncode(const NANOMessageDescriptor& descriptor, const NANOMessageInfo* record,
                   uint8_t** buffer) {
  if (buffer == nullptr) return -1;
  *buffer = nullptr;
  if (record == nullptr || record->fields == nullptr) return -1;
  WireStruct wire(descriptor);
  if (!bindEncoders(descriptor, record, wire)) return -1;
  return nano_two_pass_encoding(descriptor.fields, wire.data(), buffer);
}

bool nanoEncodeToBytes(const NANOMessageDescriptor& descriptor, const NANOMessageInfo* record,
                       std::vector<uint8_t>& out) {
  out.clear();
  if (record == nullptr || record->fields == nullptr) return false;
  WireStruct wire(descriptor);
  if (!bindEncoders(descriptor, record, wire)) return false;
  size_t size = 0;
  if (!pb_get_encoded_size(&size, descriptor.fields, wire.data())) return false;
  if (size > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return false;
  out.resize(size);
  pb_ostream_t stream = pb_ostream_from_buffer(out.data(), size);
  if (!pb_encode(&stream, descriptor.fields, wire.data()) || stream.bytes_written != size) {
    out.clear();
    return false;
  }
  return true;
}

bool nanoDecode(const NANOMessageDescriptor& descriptor, const uint8_t* bytes, size_t length,
                NANOMessageInfo* record) {
  static const uint8_t kNoBytes = 0;
  pb_istream_t stream = pb_istream_from_buffer(bytes == nullptr ? &kNoBytes : bytes,
                                               bytes == nullptr ? 0 : length);
  DecodeContext context;
  return decodeInto(descriptor, &stream, record, true, context);
}

// ---- Descriptor check -----------------------------------------------------------------------

namespace {

bool kindMatches(int32_t kind, pb_type_t type) {
  const pb_type_t ltype = PB_LTYPE(type);
  switch (kind) {
    case NANO_FIELD_BOOL: return ltype == PB_LTYPE_BOOL;
    case NANO_FIELD_ENUM: return ltype == PB_LTYPE_VARINT || ltype == PB_LTYPE_UVARINT;
    case NANO_FIELD_INT32:
    case NANO_FIELD_INT64:
      return ltype == PB_LTYPE_VARINT || ltype == PB_LTYPE_SVARINT ||
             ltype == (kind == NANO_FIELD_INT32 ? PB_LTYPE_FIXED32 : PB_LTYPE_FIXED64);
    case NANO_FIELD_UINT32: return ltype == PB_LTYPE_UVARINT || ltype == PB_LTYPE_FIXED32;
    case NANO_FIELD_UINT64: return ltype == PB_LTYPE_UVARINT || ltype == PB_LTYPE_FIXED64;
    case NANO_FIELD_FLOAT: return ltype == PB_LTYPE_FIXED32;
    case NANO_FIELD_DOUBLE: return ltype == PB_LTYPE_FIXED64;
    case NANO_FIELD_STRING: return ltype == PB_LTYPE_STRING;
    case NANO_FIELD_BYTES: return ltype == PB_LTYPE_BYTES;
    case NANO_FIELD_MESSAGE: return ltype == PB_LTYPE_SUBMESSAGE;
    default: return false;
  }
}

size_t expectedDataSize(int32_t kind) {
  switch (kind) {
    case NANO_FIELD_BOOL: return sizeof(bool);
    case NANO_FIELD_ENUM:
    case NANO_FIELD_INT32:
    case NANO_FIELD_UINT32:
    case NANO_FIELD_FLOAT: return 4;
    default: return 8;
  }
}

bool fail(std::string* problem, const NANOMessageDescriptor& descriptor, const std::string& text) {
  if (problem != nullptr) *problem = std::string(descriptor.name) + ": " + text;
  return false;
}

}  // namespace

bool nanoCheckDescriptor(const NANOMessageDescriptor& descriptor, std::string* problem) {
  if (descriptor.fields == nullptr || descriptor.slots == nullptr) {
    return fail(problem, descriptor, "no field table");
  }
  std::vector<int> seen(static_cast<size_t>(descriptor.slotCount), 0);
  for (int32_t i = 0; i < descriptor.slotCount; ++i) {
    if (descriptor.types[i] != descriptor.slots[i].type) {
      return fail(problem, descriptor, "flag table differs from slot list at slot " + std::to_string(i));
    }
    const int32_t type = descriptor.slots[i].type;
    const int32_t cardinality = type & (NANO_FIELD_OPTIONAL | NANO_FIELD_REPEATED);
    const int32_t kind = NANOFieldKind(type);
    if ((cardinality != NANO_FIELD_OPTIONAL && cardinality != NANO_FIELD_REPEATED) ||
        (kind & (kind - 1)) != 0 || kind == 0 || (type & ~(NANO_FIELD_KIND_MASK | cardinality)) != 0) {
      return fail(problem, descriptor, "bad flag word at slot " + std::to_string(i));
    }
    if ((kind == NANO_FIELD_MESSAGE) != (descriptor.slots[i].submessage != nullptr)) {
      return fail(problem, descriptor, "sub-message table mismatch at slot " + std::to_string(i));
    }
  }
  std::vector<uint64_t> storage(descriptor.structSize / sizeof(uint64_t) + 2, 0);
  pb_field_iter_t it;
  int32_t count = 0;
  if (pb_field_iter_begin(&it, descriptor.fields, storage.data())) {
    do {
      if (PB_LTYPE(it.type) == PB_LTYPE_EXTENSION) continue;
      ++count;
      const int index = findSlot(descriptor, it.tag);
      const std::string where = "tag " + std::to_string(it.tag);
      if (index < 0) return fail(problem, descriptor, where + " has no slot");
      if (++seen[static_cast<size_t>(index)] > 1) return fail(problem, descriptor, where + " twice");
      const NANOSlot& slot = descriptor.slots[index];
      const int32_t kind = NANOFieldKind(slot.type);
      const bool repeated = PB_HTYPE(it.type) == PB_HTYPE_REPEATED;
      if (repeated != isRepeated(slot.type) || (!repeated && PB_HTYPE(it.type) != PB_HTYPE_OPTIONAL)) {
        return fail(problem, descriptor, where + " cardinality differs");
      }
      if (!kindMatches(kind, it.type)) return fail(problem, descriptor, where + " kind differs");
      const bool callback = repeated || isCountedKind(kind) || kind == NANO_FIELD_MESSAGE;
      if (callback != (PB_ATYPE(it.type) == PB_ATYPE_CALLBACK)) {
        return fail(problem, descriptor, where + " allocation differs");
      }
      if (!callback && (it.pSize == nullptr || it.data_size != expectedDataSize(kind))) {
        return fail(problem, descriptor, where + " value size differs");
      }
      if (kind == NANO_FIELD_MESSAGE && it.submsg_desc != slot.submessage->fields) {
        return fail(problem, descriptor, where + " sub-message differs");
      }
      if (static_cast<size_t>(static_cast<const char*>(it.pData) - reinterpret_cast<const char*>(storage.data())) +
              it.data_size > descriptor.structSize) {
        return fail(problem, descriptor, where + " lies outside the struct");
      }
    } while (pb_field_iter_next(&it));
  }
  if (count != descriptor.slotCount) {
    return fail(problem, descriptor,
                "nanopb has " + std::to_string(count) + " fields, slot list " +
                    std::to_string(descriptor.slotCount));
  }
  return true;
}

// ---- Value cells and counted records ----------------------------------------------------------

void nano_init_array_info(NANOArrayInfo* array) {
  if (array == nullptr) {
    std::puts("<ERROR> Unable to initialize the array. Array pointer is NULL");
    return;
  }
  std::free(array->data);
  array->data = nullptr;
  array->used = 0;
  array->size = 0;
}

void nano_free_string(NANOArrayInfo* string) {
  if (string == nullptr) {
    std::puts("<ERROR> Unable to dealloc string field. String struct is NULL");
    return;
  }
  std::free(string->data);
  string->data = nullptr;
  string->used = 0;
  string->size = 0;
}

namespace {
void setCell(void** destination, const void* value, size_t size, const char* what) {
  if (destination == nullptr) {
    std::printf("<ERROR> Unable to set %s. Destination pointer is NULL\n", what);
    return;
  }
  if (*destination == nullptr) {
    *destination = std::calloc(1, size == 4 ? 4 : 8);
    if (*destination == nullptr) return;
  }
  std::memcpy(*destination, value, size);
}

void setCounted(void** destination, const void* bytes, size_t length) {
  if (destination == nullptr) {
    std::puts("<ERROR> Unable to set string. Destination array is NULL");
    return;
  }
  // The new bytes first: a failed allocation leaves the value as it was.
  if (length > UINT32_MAX - 1) return;
  void* copy = std::calloc(length + 1, 1);
  if (copy == nullptr) return;
  if (length > 0 && bytes != nullptr) std::memcpy(copy, bytes, length);
  auto* counted = static_cast<NANOArrayInfo*>(*destination);
  if (counted == nullptr) {
    counted = static_cast<NANOArrayInfo*>(std::calloc(1, sizeof(NANOArrayInfo)));
    if (counted == nullptr) {
      std::free(copy);
      return;
    }
    *destination = counted;
  }
  std::free(counted->data);
  counted->data = copy;
  counted->size = static_cast<uint32_t>(length);
}
}  // namespace

void nano_set_bool(void** destination, bool value) {
  const uint64_t cell = value ? 1 : 0;
  setCell(destination, &cell, 8, "bool");
}
void nano_set_uint32(void** destination, uint32_t value) {
  const uint64_t cell = value;
  setCell(destination, &cell, 8, "uint32");
}
void nano_set_uint64(void** destination, uint64_t value) { setCell(destination, &value, 8, "uint64"); }
void nano_set_float(void** destination, float value) { setCell(destination, &value, 4, "float"); }
void nano_set_double(void** destination, double value) { setCell(destination, &value, 8, "double"); }
void nano_set_string(void** destination, const void* bytes, size_t length) {
  setCounted(destination, bytes, length);
}
void nano_set_bytes(void** destination, const void* bytes, size_t length) {
  setCounted(destination, bytes, length);
}

int32_t nano_two_pass_encoding(const pb_msgdesc_t* fields, const void* message, uint8_t** buffer) {
  if (buffer == nullptr) return -1;
  *buffer = nullptr;
  pb_ostream_t sizing = PB_OSTREAM_SIZING;
  pb_encode(&sizing, fields, message);
  if (sizing.bytes_written > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return -1;
  const size_t size = sizing.bytes_written;
  auto* bytes = static_cast<uint8_t*>(std::calloc(size == 0 ? 1 : size, 1));
  if (bytes == nullptr) return -1;
  pb_ostream_t stream = pb_ostream_from_buffer(bytes, size);
  if (!pb_encode(&stream, fields, message)) {
    std::free(bytes);
    return -1;
  }
  *buffer = bytes;
  return static_cast<int32_t>(stream.bytes_written);
}
