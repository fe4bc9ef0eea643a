// In-memory form of every protocol-buffer message of the SDK (measurement, log-upload and
// diagnostics messages) and the generic engine that creates, frees, copies, encodes and decodes
// it on top of the nanopb runtime.
//
// A message instance is a heap-allocated `NANOMessageInfo` record. Its fields are addressed by
// slot: the 0-based position of the field in the message's declaration, which is not its tag.
// Every message is described once by a `NANOMessageDescriptor` (slot table plus nanopb's own
// field table); the engine functions below are driven by that table only.
//
// Storage of one slot (`fields[slot]`, null = absent):
//   bool, enum, int32, uint32, int64, uint64, double  an 8-byte value cell (32-bit kinds hold
//                                                      their bit pattern zero-extended)
//   float                                              a 4-byte value cell
//   string, bytes                                      a NANOArrayInfo: size = byte length,
//                                                      data = the bytes (never null when present)
//   message                                            a nested NANOMessageInfo
//   repeated (any kind)                                a NANOArrayInfo that always exists:
//                                                      size = element count, data = array of
//                                                      element pointers (each as above)
// A record owns everything under it. Records are not thread-safe; use one from one thread at a
// time.
//
// Nothing here throws. Failures print one "<ERROR> ..." line on standard output and return
// false, -1 or null.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <pb.h>

// Flag word of one slot (`FIELDS_TYPE`): one cardinality bit and one kind bit.
enum : int32_t {
  NANO_FIELD_OPTIONAL = 0x0002,
  NANO_FIELD_REPEATED = 0x0008,
  NANO_FIELD_BOOL = 0x0020,
  NANO_FIELD_ENUM = 0x0040,
  NANO_FIELD_INT32 = 0x0080,
  NANO_FIELD_UINT32 = 0x0100,
  NANO_FIELD_INT64 = 0x0200,
  NANO_FIELD_UINT64 = 0x0400,
  NANO_FIELD_FLOAT = 0x0800,
  NANO_FIELD_DOUBLE = 0x1000,
  NANO_FIELD_STRING = 0x2000,
  NANO_FIELD_MESSAGE = 0x4000,
  NANO_FIELD_BYTES = 0x8000,
  NANO_FIELD_KIND_MASK = 0xFFE0,
};

// The kind bits of a field's flag word.
inline int32_t NANOFieldKind(int32_t type) { return type & NANO_FIELD_KIND_MASK; }

// Counted record: the bytes of a string or bytes value, or the elements of a repeated field.
struct NANOArrayInfo {
  uint32_t used;  // fill position while decoding; equals size after a decode
  uint32_t size;  // byte length, or element count
  void* data;     // bytes, or array of `size` element pointers; null when empty
};

// One message instance.
struct NANOMessageInfo {
  void** fields;         // one storage pointer per slot, null when absent
  const int32_t* types;  // the message's flag words (static, shared)
  const char* name;      // the message name; the very pointer of its descriptor's `name`
};

struct NANOMessageDescriptor;
class NANOMessageBase;
// Makes a wrapper holding a deep copy of a record of the descriptor's message.
using NANOWrapperFactory = std::shared_ptr<NANOMessageBase> (*)(const NANOMessageInfo* record);

// One slot of a message: field name, wire tag, flag word and, for message kinds, the
// sub-message's descriptor.
struct NANOSlot {
  const char* name;
  uint32_t tag;
  int32_t type;
  const NANOMessageDescriptor* submessage;
};

// Everything the engine knows of one message.
struct NANOMessageDescriptor {
  const char* name;       // message name, e.g. "Event"; identifies records of this message
  const char* className;  // wrapper class, e.g. "TLMPBEvent"
  const NANOSlot* slots;
  int32_t slotCount;
  const int32_t* types;        // flag words, one per slot (same as slots[i].type)
  const pb_msgdesc_t* fields;  // nanopb's generated field table
  size_t structSize;           // size of nanopb's generated struct
  NANOWrapperFactory makeWrapper;
};

// Function types handed out by the wrappers (see NANOMessageBase.h).
using NANOInitMessageInfoFn = bool (*)(NANOMessageInfo* record);
using NANODeallocMessageFieldFn = bool (*)(NANOMessageInfo* record, int32_t slot);
using NANOCopyMessageInfoFn = bool (*)(NANOMessageInfo** destination, const NANOMessageInfo* source);

// ---- Generic engine ------------------------------------------------------------------------

// Fills a zeroed record as an empty message: slot array, empty repeated lists, flags, name.
bool nanoInitMessage(const NANOMessageDescriptor& descriptor, NANOMessageInfo* record);
// Allocates and initialises a new empty record; null on failure.
NANOMessageInfo* nanoNewMessage(const NANOMessageDescriptor& descriptor);
// Frees one slot's content: a singular slot becomes absent, a repeated slot keeps its (emptied)
// list. A slot outside the message prints "<ERROR> <Name>: Cannot deallocate field %d: Unknown
// field" and fails.
bool nanoFreeField(const NANOMessageDescriptor& descriptor, NANOMessageInfo* record, int32_t slot);
// Frees every slot, the slot array and the record itself.
bool nanoFreeMessage(const NANOMessageDescriptor& descriptor, NANOMessageInfo* record);
// Frees `*destination` (if any), puts a new record there and deep-copies every present field of
// `source`, which must be a record of this message. On failure the partly filled copy stays in
// `*destination` for its owner to free.
bool nanoCopyMessage(const NANOMessageDescriptor& descriptor, NANOMessageInfo** destination,
                     const NANOMessageInfo* source);
// Encodes in ascending tag order into a new buffer of exactly the encoded size (malloc'd, the
// caller frees it with free()). Returns the byte count, or -1 with `*buffer` null.
int32_t nanoEncode(const NANOMessageDescriptor& descriptor, const NANOMessageInfo* record,
                   uint8_t** buffer);
// The same into a byte vector; false on failure.
bool nanoEncodeToBytes(const NANOMessageDescriptor& descriptor, const NANOMessageInfo* record,
                       std::vector<uint8_t>& out);
// Decodes `length` bytes into `record` (normally a fresh one). Repeated fields collect every
// occurrence in input order; of a singular scalar or string occurring twice the last one wins; a
// singular sub-message occurring twice is merged. Strings and bytes longer than 1,048,576 bytes
// are refused, and so is a string or bytes field the record already holds as present without
// bytes ("<ERROR> String decoder failed: string data is NULL"). A failed decode leaves the
// record partly filled; the caller frees it.
bool nanoDecode(const NANOMessageDescriptor& descriptor, const uint8_t* bytes, size_t length,
                NANOMessageInfo* record);

// Checks a descriptor against nanopb's generated field table: same field count (extension ranges
// excluded), every tag exactly once, matching cardinality and kind, matching sub-message tables.
// On a mismatch returns false and describes it in `problem`.
bool nanoCheckDescriptor(const NANOMessageDescriptor& descriptor, std::string* problem);

// The largest string or bytes value decoding accepts.
inline constexpr size_t kNANOMaxStringLength = 1048576;

// ---- Value-cell and counted-record helpers --------------------------------------------------

// Frees `data` (not the elements it points to) and empties the record.
void nano_init_array_info(NANOArrayInfo* array);
// Frees the bytes of a string or bytes record and empties it; the record itself stays.
void nano_free_string(NANOArrayInfo* string);
// Allocate the cell when `*destination` is null (8 bytes; float 4), then store the value.
void nano_set_bool(void** destination, bool value);
void nano_set_uint32(void** destination, uint32_t value);
void nano_set_uint64(void** destination, uint64_t value);
void nano_set_float(void** destination, float value);
void nano_set_double(void** destination, double value);
// Create the counted record when `*destination` is null, replace its bytes by a copy of
// `length` bytes followed by a terminating zero that `size` does not count.
void nano_set_string(void** destination, const void* bytes, size_t length);
void nano_set_bytes(void** destination, const void* bytes, size_t length);
// Encodes a filled nanopb struct: a sizing pass, then a buffer of exactly that size handed to
// the caller (free() it). Returns the byte count, or -1 with `*buffer` null.
int32_t nano_two_pass_encoding(const pb_msgdesc_t* fields, const void* message, uint8_t** buffer);
