// Generic field accessors: the only way the SDK reads and writes message fields. A field is
// addressed by its slot (0-based declaration position, see the <Class>Slot constants), never by
// its tag.
//
// Getters return copies and setters copy their input; nothing hands out or takes over a
// record's storage. A refused call writes one line to the platform log (OBXLogBasic, service
// "[Cindervale/Nano]", code "I-NAN000000", always written) and leaves the message unchanged;
// getters then answer false, 0, 0.0 or nullopt/null:
//   - "ProtocolBuffer message hasn't been initialized. GetBool can't be performed" (and the
//     other operation words; HasField adds ". Message name <name>");
//   - "<Nano/Failure> Field type isn't a scalar INT32. Message: <name>, field ID: <slot>"
//     (BOOL, INT32, INT64, FLOAT, DOUBLE, STRING, BYTES, MESSAGE); "... isn't REPEATED ..." for
//     the array accessors;
//   - "<Nano/Failure> Field ID is out of range. Message: <name>, field ID: <slot>";
//   - "<Nano/Failure> Message type mismatch. Expected: <name>, got: <name>. Message: <name>,
//     field ID: <slot>" for a sub-message of another message type.
//
// Which accessor serves which slot:
//   Bool: bool; Int32: enum, int32, uint32 (the stored 32 bits); Int64: int64, uint64; Float,
//   Double, String: their kind; Bytes: bytes (and string) slots; Message: message slots;
//   Array: repeated slots (elements as platform::Value numbers, strings or data; message
//   elements through the typed overloads).
// An unset scalar reads as 0 without a log; a repeated field is always present (HasField true)
// and reads as an empty list when it holds nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Value.h"
#include "proto/NANOMessageBase.h"

bool NANOHasField(const NANOMessageBase& message, int32_t slot);
// A singular field becomes absent, a repeated field empty.
void NANOClearField(NANOMessageBase& message, int32_t slot);

bool NANOGetBool(const NANOMessageBase& message, int32_t slot);
// Whether the bool field is present and true.
inline bool NANOIsTrue(const NANOMessageBase& message, int32_t slot) {
  return NANOHasField(message, slot) && NANOGetBool(message, slot);
}
void NANOSetBool(NANOMessageBase& message, int32_t slot, bool value);
int32_t NANOGetInt32(const NANOMessageBase& message, int32_t slot);
void NANOSetInt32(NANOMessageBase& message, int32_t slot, int32_t value);
int64_t NANOGetInt64(const NANOMessageBase& message, int32_t slot);
void NANOSetInt64(NANOMessageBase& message, int32_t slot, int64_t value);
float NANOGetFloat(const NANOMessageBase& message, int32_t slot);
void NANOSetFloat(NANOMessageBase& message, int32_t slot, float value);
double NANOGetDouble(const NANOMessageBase& message, int32_t slot);
void NANOSetDouble(NANOMessageBase& message, int32_t slot, double value);

// nullopt when absent or not valid UTF-8; a present empty string reads as "".
std::optional<std::string> NANOGetString(const NANOMessageBase& message, int32_t slot);
// nullopt makes the field absent; an empty string makes it present (and encoded).
void NANOSetString(NANOMessageBase& message, int32_t slot, std::optional<std::string_view> value);
std::optional<std::vector<uint8_t>> NANOGetBytes(const NANOMessageBase& message, int32_t slot);
void NANOSetBytes(NANOMessageBase& message, int32_t slot,
                  std::optional<std::span<const uint8_t>> value);

// A new wrapper holding a copy of the sub-message; null when absent. Changing it does not change
// the parent until it is stored back with NANOSetMessage.
std::shared_ptr<NANOMessageBase> NANOGetMessage(const NANOMessageBase& message, int32_t slot,
                                                const NANOMessageDescriptor& elementType);
template <class T>
std::shared_ptr<T> NANOGetMessage(const NANOMessageBase& message, int32_t slot) {
  return std::static_pointer_cast<T>(NANOGetMessage(message, slot, T::messageDescriptor()));
}
// Stores a deep copy of `value`, which must be of the slot's message type (null or another type
// is refused with a log line).
void NANOSetMessage(NANOMessageBase& message, int32_t slot, const NANOMessageBase* value);
inline void NANOSetMessage(NANOMessageBase& message, int32_t slot,
                           const std::shared_ptr<NANOMessageBase>& value) {
  NANOSetMessage(message, slot, value.get());
}

// Repeated scalar, string and bytes fields. Elements come back in order as numbers (bool; int32
// and enum as signed 32-bit, uint32 as unsigned 32-bit, int64, uint64, float, double), strings
// (elements that are not valid UTF-8 are left out) or data. nullopt when the message is not
// initialised or the slot is not repeated.
std::optional<platform::Array> NANOGetArray(const NANOMessageBase& message, int32_t slot);
// Repeated message fields: copies of the elements as wrappers of `elementType`.
std::optional<std::vector<std::shared_ptr<NANOMessageBase>>> NANOGetArray(
    const NANOMessageBase& message, int32_t slot, const NANOMessageDescriptor& elementType);
template <class T>
std::optional<std::vector<std::shared_ptr<T>>> NANOGetArray(const NANOMessageBase& message,
                                                            int32_t slot) {
  auto elements = NANOGetArray(message, slot, T::messageDescriptor());
  if (!elements) return std::nullopt;
  std::vector<std::shared_ptr<T>> typed;
  typed.reserve(elements->size());
  for (auto& element : *elements) typed.push_back(std::static_pointer_cast<T>(element));
  return typed;
}

// Replaces a repeated field. Numbers for numeric slots, strings for string slots, data for bytes
// slots; nullopt (or an empty list) empties the field. At the first element of the wrong kind
// the call logs "<ERROR> Invalid object type. ..." and leaves the field empty.
void NANOSetArray(NANOMessageBase& message, int32_t slot,
                  const std::optional<platform::Array>& values);
// Repeated message fields: deep copies of the elements, which must be of the slot's type.
void NANOSetArray(NANOMessageBase& message, int32_t slot,
                  std::span<const std::shared_ptr<NANOMessageBase>> values);
template <class T>
void NANOSetArray(NANOMessageBase& message, int32_t slot,
                  const std::vector<std::shared_ptr<T>>& values) {
  std::vector<std::shared_ptr<NANOMessageBase>> base(values.begin(), values.end());
  NANOSetArray(message, slot, std::span<const std::shared_ptr<NANOMessageBase>>(base));
}

// Conversions of a value into the counted record of a string or bytes field (a singular slot or
// one element of a repeated one); the setters above store through them. On success `array`
// holds a new buffer with exactly the value's bytes, all of them (NULs included, no terminating
// zero, never null, also for an empty value), `size` is their count, and its old bytes are freed.
// Otherwise `array` is left as it was. The object forms answer:
//   - a null object: true, nothing to store;
//   - an object of another kind (not a string, not data): false;
//   - a string (UTF-8 bytes) or data: as the typed forms.
// The typed forms answer false when `array` is null, the value is longer than 4 GiB - 1 bytes
// (`size` could not hold it) or the buffer cannot be allocated.
bool NANOConvertStringToArrayInfo(const platform::Value* object, NANOArrayInfo* array);
bool NANOConvertStringToArrayInfo(std::string_view text, NANOArrayInfo* array);
bool NANOConvertNSDataToArrayInfo(const platform::Value* object, NANOArrayInfo* array);
bool NANOConvertNSDataToArrayInfo(std::span<const uint8_t> bytes, NANOArrayInfo* array);

// The platform class name of a value, as log lines name it: "NSNull", "NSNumber" (booleans
// included), "NSString", "NSData", "NSDate", "NSArray", "NSDictionary", else "NSObject".
const char* NANOValueClassName(const platform::Value& value);
