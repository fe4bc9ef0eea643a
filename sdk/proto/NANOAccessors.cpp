// Generic field accessors over NANOMessageInfo records.
#include "proto/NANOAccessors.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/Text.h"
#include "obx/OBXLogger.h"
#include "proto/NANOMessages.h"

namespace {

void nanoLog(const std::string& text) {
  OBXLogBasic(OBXLoggerLevelError, "[Cindervale/Nano]", true, "I-NAN000000", text);
}

bool initialised(const NANOMessageBase& message) {
  return message.messageInfo() != nullptr && message.messageInfo()->fields != nullptr;
}

void logUninitialised(const char* operation) {
  nanoLog(std::string("ProtocolBuffer message hasn't been initialized. ") + operation +
          " can't be performed");
}

std::string where(const NANOMessageBase& message, int32_t slot) {
  return std::string("Message: ") + message.messageID() + ", field ID: " + std::to_string(slot);
}

// Common checks: initialised, slot in range, and `accepts(flag word)`. Logs and returns null on
// refusal; otherwise the record.
template <class Accepts>
NANOMessageInfo* checked(const NANOMessageBase& message, int32_t slot, const char* operation,
                         const char* kindName, Accepts accepts) {
  if (!initialised(message)) {
    logUninitialised(operation);
    return nullptr;
  }
  if (slot < 0 || slot >= message.descriptor().slotCount) {
    nanoLog("<Nano/Failure> Field ID is out of range. " + where(message, slot));
    return nullptr;
  }
  if (!accepts(message.descriptor().slots[slot].type)) {
    if (kindName == nullptr) {
      nanoLog("<Nano/Failure> Field type isn't REPEATED. " + where(message, slot));
    } else {
      nanoLog(std::string("<Nano/Failure> Field type isn't a scalar ") + kindName + ". " +
              where(message, slot));
    }
    return nullptr;
  }
  return message.messageInfo();
}

bool isBool(int32_t f) { return (f & 0x28) == 0x20; }
bool isInt32(int32_t f) { return (f & 0x1C0) != 0 && (f & 0x08) == 0; }
bool isInt64(int32_t f) { return (f & 0x600) != 0 && (f & 0x08) == 0; }
bool isFloat(int32_t f) { return (f & 0x808) == 0x800; }
bool isDouble(int32_t f) { return (f & 0x1008) == 0x1000; }
bool isString(int32_t f) { return (f & 0x2008) == 0x2000; }
bool isBytesLike(int32_t f) { return (f & 0xA008) != 0 && (f & 0x08) == 0; }
bool isMessage(int32_t f) { return (f & 0x4008) == 0x4000; }
bool isRepeatedSlot(int32_t f) { return (f & 0x08) != 0; }

uint64_t cellBits(const void* cell) {
  uint64_t value;
  std::memcpy(&value, cell, 8);
  return value;
}

void setCell(NANOMessageInfo* record, int32_t slot, const void* value, size_t size) {
  void*& entry = record->fields[slot];
  if (entry == nullptr) {
    entry = std::calloc(1, size == 4 ? 4 : 8);
    if (entry == nullptr) return;
  }
  std::memcpy(entry, value, size);
}

// Replaces the bytes of a singular string or bytes slot through `convert`. A failed conversion
// leaves the field as it was (absent when it was absent).
template <class Convert>
void setCounted(NANOMessageInfo* record, int32_t slot, Convert convert) {
  auto* existing = static_cast<NANOArrayInfo*>(record->fields[slot]);
  if (existing != nullptr) {
    convert(existing);
    return;
  }
  auto* fresh = static_cast<NANOArrayInfo*>(std::calloc(1, sizeof(NANOArrayInfo)));
  if (fresh == nullptr) return;
  if (!convert(fresh)) {
    std::free(fresh);
    return;
  }
  record->fields[slot] = fresh;
}

// Stores a copy of `length` bytes in `array` (see NANOConvertStringToArrayInfo).
bool storeBytes(const void* bytes, size_t length, NANOArrayInfo* array) {
  if (array == nullptr || length > UINT32_MAX) return false;
  // A zero-length value keeps a non-null buffer, so it reads back as present and empty.
  void* copy = std::malloc(length == 0 ? 1 : length);
  if (copy == nullptr) return false;
  if (length > 0) std::memcpy(copy, bytes, length);
  std::free(array->data);
  array->data = copy;
  array->size = static_cast<uint32_t>(length);
  return true;
}

const NANOArrayInfo* counted(const NANOMessageInfo* record, int32_t slot) {
  return static_cast<const NANOArrayInfo*>(record->fields[slot]);
}

// Word used in "<ERROR> Invalid object type. <Word> fields expect NSNumber."
const char* numberWord(int32_t kind) {
  switch (kind) {
    case NANO_FIELD_BOOL: return "Boolean";
    case NANO_FIELD_ENUM: return "Enum";
    case NANO_FIELD_INT32:
    case NANO_FIELD_UINT32: return "Int32";
    case NANO_FIELD_INT64:
    case NANO_FIELD_UINT64: return "Int64";
    case NANO_FIELD_FLOAT: return "Float";
    case NANO_FIELD_DOUBLE: return "Double";
    default: return nullptr;
  }
}

// Checks shared by both array setters. Returns the emptied list to fill, or null after logging.
NANOArrayInfo* prepareArray(NANOMessageBase& message, int32_t slot) {
  NANOMessageInfo* record = checked(message, slot, "SetArray", nullptr, isRepeatedSlot);
  if (record == nullptr) {
    if (initialised(message) && slot >= 0 && slot < message.descriptor().slotCount &&
        message.messageInfo()->fields[slot] == nullptr) {
      nanoLog("<ERROR> Repeated field should have been allocated");
    }
    return nullptr;
  }
  auto* list = static_cast<NANOArrayInfo*>(record->fields[slot]);
  if (list == nullptr) {
    nanoLog("<ERROR> Repeated field should have been allocated");
    return nullptr;
  }
  message.deallocMessageFieldFn()(record, slot);
  return list;
}

bool allocateElements(NANOArrayInfo* list, size_t count) {
  list->data = std::calloc(count, sizeof(void*));
  if (list->data == nullptr) {
    nanoLog("<ERROR> Unable to set NULL data to an ObjC object");
    return false;
  }
  list->size = static_cast<uint32_t>(count);
  return true;
}

}  // namespace

bool NANOConvertStringToArrayInfo(std::string_view text, NANOArrayInfo* array) {
  return storeBytes(text.data(), text.size(), array);
}

bool NANOConvertStringToArrayInfo(const platform::Value* object, NANOArrayInfo* array) {
  if (object == nullptr) return true;
  const std::string* text = object->stringPtr();
  return text != nullptr && NANOConvertStringToArrayInfo(std::string_view(*text), array);
}

bool NANOConvertNSDataToArrayInfo(std::span<const uint8_t> bytes, NANOArrayInfo* array) {
  return storeBytes(bytes.data(), bytes.size(), array);
}

bool NANOConvertNSDataToArrayInfo(const platform::Value* object, NANOArrayInfo* array) {
  if (object == nullptr) return true;
  const platform::Bytes* data = object->dataPtr();
  return data != nullptr && NANOConvertNSDataToArrayInfo(std::span<const uint8_t>(*data), array);
}

const char* NANOValueClassName(const platform::Value& value) {
  switch (value.type()) {
    case platform::Value::Type::Null: return "NSNull";
    case platform::Value::Type::Bool:
    case platform::Value::Type::Number: return "NSNumber";
    case platform::Value::Type::String: return "NSString";
    case platform::Value::Type::Data: return "NSData";
    case platform::Value::Type::Date: return "NSDate";
    case platform::Value::Type::Array: return "NSArray";
    case platform::Value::Type::Dictionary: return "NSDictionary";
    case platform::Value::Type::Object: break;
  }
  return "NSObject";
}

bool NANOHasField(const NANOMessageBase& message, int32_t slot) {
  if (!initialised(message)) {
    nanoLog(std::string("ProtocolBuffer message hasn't been initialized. HasField operation can't "
                        "be performed. Message name ") +
            message.messageID());
    return false;
  }
  if (slot < 0 || slot >= message.descriptor().slotCount) {
    nanoLog("<Nano/Failure> Field ID is out of range. " + where(message, slot));
    return false;
  }
  if (isRepeatedSlot(message.descriptor().slots[slot].type)) return true;
  return message.messageInfo()->fields[slot] != nullptr;
}

void NANOClearField(NANOMessageBase& message, int32_t slot) {
  NANOMessageInfo* record =
      checked(message, slot, "ClearField", "", [](int32_t) { return true; });
  if (record == nullptr) return;
  message.deallocMessageFieldFn()(record, slot);
}

bool NANOGetBool(const NANOMessageBase& message, int32_t slot) {
  NANOMessageInfo* record = checked(message, slot, "GetBool", "BOOL", isBool);
  if (record == nullptr || record->fields[slot] == nullptr) return false;
  return *static_cast<const uint8_t*>(record->fields[slot]) != 0;
}

void NANOSetBool(NANOMessageBase& message, int32_t slot, bool value) {
  NANOMessageInfo* record = checked(message, slot, "SetBool", "BOOL", isBool);
  if (record == nullptr) return;
  const uint64_t cell = value ? 1 : 0;
  setCell(record, slot, &cell, 8);
}

int32_t NANOGetInt32(const NANOMessageBase& message, int32_t slot) {
  NANOMessageInfo* record = checked(message, slot, "GetInt32", "INT32", isInt32);
  if (record == nullptr || record->fields[slot] == nullptr) return 0;
  return static_cast<int32_t>(static_cast<uint32_t>(cellBits(record->fields[slot])));
}

void NANOSetInt32(NANOMessageBase& message, int32_t slot, int32_t value) {
  NANOMessageInfo* record = checked(message, slot, "SetInt32", "INT32", isInt32);
  if (record == nullptr) return;
  const uint64_t cell = static_cast<uint32_t>(value);
  setCell(record, slot, &cell, 8);
}

int64_t NANOGetInt64(const NANOMessageBase& message, int32_t slot) {
  NANOMessageInfo* record = checked(message, slot, "GetInt64", "INT64", isInt64);
  if (record == nullptr || record->fields[slot] == nullptr) return 0;
  return static_cast<int64_t>(cellBits(record->fields[slot]));
}

void NANOSetInt64(NANOMessageBase& message, int32_t slot, int64_t value) {
  NANOMessageInfo* record = checked(message, slot, "SetInt64", "INT64", isInt64);
  if (record == nullptr) return;
  setCell(record, slot, &value, 8);
}

float NANOGetFloat(const NANOMessageBase& message, int32_t slot) {
  NANOMessageInfo* record = checked(message, slot, "GetFloat", "FLOAT", isFloat);
  if (record == nullptr || record->fields[slot] == nullptr) return 0.0f;
  float value;
  std::memcpy(&value, record->fields[slot], 4);
  return value;
}

void NANOSetFloat(NANOMessageBase& message, int32_t slot, float value) {
  NANOMessageInfo* record = checked(message, slot, "SetFloat", "FLOAT", isFloat);
  if (record == nullptr) return;
  setCell(record, slot, &value, 4);
}

double NANOGetDouble(const NANOMessageBase& message, int32_t slot) {
  NANOMessageInfo* record = checked(message, slot, "GetDouble", "DOUBLE", isDouble);
  if (record == nullptr || record->fields[slot] == nullptr) return 0.0;
  double value;
  std::memcpy(&value, record->fields[slot], 8);
  return value;
}

void NANOSetDouble(NANOMessageBase& message, int32_t slot, double value) {
  NANOMessageInfo* record = checked(message, slot, "SetDouble", "DOUBLE", isDouble);
  if (record == nullptr) return;
  setCell(record, slot, &value, 8);
}

std::optional<std::string> NANOGetString(const NANOMessageBase& message, int32_t slot) {
  NANOMessageInfo* record = checked(message, slot, "GetString", "STRING", isString);
  if (record == nullptr) return std::nullopt;
  const NANOArrayInfo* value = counted(record, slot);
  if (value == nullptr || value->data == nullptr) return std::nullopt;
  std::string text(static_cast<const char*>(value->data), value->size);
  if (!platform::text::isValidUTF8(text)) return std::nullopt;
  return text;
}

void NANOSetString(NANOMessageBase& message, int32_t slot, std::optional<std::string_view> value) {
  NANOMessageInfo* record = checked(message, slot, "SetString", "STRING", isString);
  if (record == nullptr) return;
  if (!value) {
    message.deallocMessageFieldFn()(record, slot);
    return;
  }
  setCounted(record, slot, [&](NANOArrayInfo* array) { return NANOConvertStringToArrayInfo(*value, array); });
}

std::optional<std::vector<uint8_t>> NANOGetBytes(const NANOMessageBase& message, int32_t slot) {
  NANOMessageInfo* record = checked(message, slot, "GetBytes", "BYTES", isBytesLike);
  if (record == nullptr) return std::nullopt;
  const NANOArrayInfo* value = counted(record, slot);
  if (value == nullptr || value->data == nullptr) return std::nullopt;
  const auto* bytes = static_cast<const uint8_t*>(value->data);
  return std::vector<uint8_t>(bytes, bytes + value->size);
}

void NANOSetBytes(NANOMessageBase& message, int32_t slot,
                  std::optional<std::span<const uint8_t>> value) {
  NANOMessageInfo* record = checked(message, slot, "SetBytes", "BYTES", isBytesLike);
  if (record == nullptr) return;
  if (!value) {
    message.deallocMessageFieldFn()(record, slot);
    return;
  }
  setCounted(record, slot, [&](NANOArrayInfo* array) { return NANOConvertNSDataToArrayInfo(*value, array); });
}

std::shared_ptr<NANOMessageBase> NANOGetMessage(const NANOMessageBase& message, int32_t slot,
                                                const NANOMessageDescriptor& elementType) {
  NANOMessageInfo* record = checked(message, slot, "GetMessage", "MESSAGE", isMessage);
  if (record == nullptr) return nullptr;
  const NANOMessageDescriptor* expected = message.descriptor().slots[slot].submessage;
  if (expected != &elementType) {
    nanoLog(std::string("<Nano/Failure> Message type mismatch. Expected: ") + expected->name +
            ", got: " + elementType.name + ". " + where(message, slot));
    return nullptr;
  }
  const auto* sub = static_cast<const NANOMessageInfo*>(record->fields[slot]);
  if (sub == nullptr) return nullptr;
  return elementType.makeWrapper(sub);
}

void NANOSetMessage(NANOMessageBase& message, int32_t slot, const NANOMessageBase* value) {
  NANOMessageInfo* record = checked(message, slot, "SetMessage", "MESSAGE", isMessage);
  if (record == nullptr) return;
  const NANOMessageDescriptor* expected = message.descriptor().slots[slot].submessage;
  if (value == nullptr || &value->descriptor() != expected || value->messageInfo() == nullptr) {
    nanoLog(std::string("<Nano/Failure> Message type mismatch. Expected: ") + expected->name +
            ", got: " + (value == nullptr ? "nil" : value->messageID()) + ". " +
            where(message, slot));
    return;
  }
  // Copy first, so a failed copy leaves the field as it was.
  auto* copy = static_cast<NANOMessageInfo*>(std::calloc(1, sizeof(NANOMessageInfo)));
  if (copy == nullptr) return;
  if (!value->initMessageInfoFn()(copy)) {
    std::free(copy->fields);
    std::free(copy);
    return;
  }
  if (!value->copyMessageInfoFn()(&copy, value->messageInfo())) {
    if (copy != nullptr) nanoFreeMessage(*expected, copy);
    return;
  }
  message.deallocMessageFieldFn()(record, slot);
  record->fields[slot] = copy;
}

std::optional<platform::Array> NANOGetArray(const NANOMessageBase& message, int32_t slot) {
  NANOMessageInfo* record = checked(message, slot, "GetArray", nullptr, isRepeatedSlot);
  if (record == nullptr) return std::nullopt;
  const int32_t type = message.descriptor().slots[slot].type;
  const int32_t kind = NANOFieldKind(type);
  if (kind == NANO_FIELD_MESSAGE) {
    nanoLog(std::string("<ERROR> Provided class doesn't implement initWithMessageInfo: method. "
                        "Class: (none)"));
    return std::nullopt;
  }
  const NANOArrayInfo* list = counted(record, slot);
  if (list == nullptr) {
    nanoLog("<ERROR> Repeated field should have been allocated");
    return std::nullopt;
  }
  platform::Array out;
  if (list->data == nullptr) return out;
  out.reserve(list->size);
  void* const* elements = static_cast<void* const*>(list->data);
  for (uint32_t i = 0; i < list->size; ++i) {
    const void* element = elements[i];
    if (element == nullptr) {
      nanoLog("<ERROR> Unable to convert NULL data to an ObjC object");
      continue;
    }
    switch (kind) {
      case NANO_FIELD_BOOL:
        out.emplace_back((cellBits(element) & 0xFF) != 0);
        break;
      case NANO_FIELD_ENUM:
      case NANO_FIELD_INT32:
        out.emplace_back(static_cast<int32_t>(static_cast<uint32_t>(cellBits(element))));
        break;
      case NANO_FIELD_UINT32:
        out.emplace_back(static_cast<uint32_t>(cellBits(element)));
        break;
      case NANO_FIELD_INT64:
        out.emplace_back(static_cast<int64_t>(cellBits(element)));
        break;
      case NANO_FIELD_UINT64:
        out.emplace_back(cellBits(element));
        break;
      case NANO_FIELD_FLOAT: {
        float value;
        std::memcpy(&value, element, 4);
        out.emplace_back(value);
        break;
      }
      case NANO_FIELD_DOUBLE: {
        double value;
        std::memcpy(&value, element, 8);
        out.emplace_back(value);
        break;
      }
      case NANO_FIELD_STRING: {
        const auto* value = static_cast<const NANOArrayInfo*>(element);
        if (value->data == nullptr) break;
        std::string text(static_cast<const char*>(value->data), value->size);
        if (platform::text::isValidUTF8(text)) out.emplace_back(std::move(text));
        break;
      }
      case NANO_FIELD_BYTES: {
        const auto* value = static_cast<const NANOArrayInfo*>(element);
        if (value->data == nullptr) break;
        out.push_back(platform::Value::data(value->data, value->size));
        break;
      }
      default:
        nanoLog("<ERROR> Unable to convert byte data to an ObjC object. Unknown type. " +
                std::to_string(type));
        break;
    }
  }
  return out;
}

std::optional<std::vector<std::shared_ptr<NANOMessageBase>>> NANOGetArray(
    const NANOMessageBase& message, int32_t slot, const NANOMessageDescriptor& elementType) {
  NANOMessageInfo* record = checked(message, slot, "GetArray", nullptr, isRepeatedSlot);
  if (record == nullptr) return std::nullopt;
  const NANOMessageDescriptor* expected = message.descriptor().slots[slot].submessage;
  if (expected != &elementType) {
    nanoLog(std::string("<Nano/Failure> Message type mismatch. Expected: ") +
            (expected == nullptr ? "(not a message)" : expected->name) + ", got: " +
            elementType.name + ". " + where(message, slot));
    return std::nullopt;
  }
  const NANOArrayInfo* list = counted(record, slot);
  if (list == nullptr) {
    nanoLog("<ERROR> Repeated field should have been allocated");
    return std::nullopt;
  }
  std::vector<std::shared_ptr<NANOMessageBase>> out;
  if (list->data == nullptr) return out;
  out.reserve(list->size);
  void* const* elements = static_cast<void* const*>(list->data);
  for (uint32_t i = 0; i < list->size; ++i) {
    if (elements[i] == nullptr) {
      nanoLog("<ERROR> Unable to convert NULL data to an ObjC object");
      continue;
    }
    auto wrapper = elementType.makeWrapper(static_cast<const NANOMessageInfo*>(elements[i]));
    if (wrapper) out.push_back(std::move(wrapper));
  }
  return out;
}

void NANOSetArray(NANOMessageBase& message, int32_t slot,
                  const std::optional<platform::Array>& values) {
  NANOArrayInfo* list = prepareArray(message, slot);
  if (list == nullptr || !values || values->empty()) return;
  const int32_t type = message.descriptor().slots[slot].type;
  const int32_t kind = NANOFieldKind(type);
  if (!allocateElements(list, values->size())) return;
  void** elements = static_cast<void**>(list->data);
  bool ok = true;
  for (size_t i = 0; ok && i < values->size(); ++i) {
    const platform::Value& value = (*values)[i];
    if (const char* word = numberWord(kind)) {
      if (!value.isNumber()) {
        nanoLog(std::string("<ERROR> Invalid object type. ") + word +
                " fields expect NSNumber. Type: " + NANOValueClassName(value));
        ok = false;
        break;
      }
      uint64_t cell = 0;
      switch (kind) {
        case NANO_FIELD_BOOL: cell = value.boolValue().value_or(false) ? 1 : 0; break;
        case NANO_FIELD_ENUM:
        case NANO_FIELD_INT32:
        case NANO_FIELD_UINT32:
          cell = static_cast<uint32_t>(value.uint64Value().value_or(0));
          break;
        case NANO_FIELD_INT64:
        case NANO_FIELD_UINT64:
          cell = static_cast<uint64_t>(value.int64Value().value_or(0));
          break;
        case NANO_FIELD_FLOAT: {
          const float f = static_cast<float>(value.doubleValue().value_or(0));
          std::memcpy(&cell, &f, 4);
          break;
        }
        case NANO_FIELD_DOUBLE: {
          const double d = value.doubleValue().value_or(0);
          std::memcpy(&cell, &d, 8);
          break;
        }
        default: break;
      }
      elements[i] = std::malloc(kind == NANO_FIELD_FLOAT ? 4 : 8);
      if (elements[i] == nullptr) {
        nanoLog("<ERROR> Unable to set NULL data to an ObjC object");
        ok = false;
        break;
      }
      std::memcpy(elements[i], &cell, kind == NANO_FIELD_FLOAT ? 4 : 8);
    } else if (kind == NANO_FIELD_STRING || kind == NANO_FIELD_BYTES) {
      const bool isText = kind == NANO_FIELD_STRING;
      if (isText ? !value.isString() : !value.isData()) {
        nanoLog(std::string("<ERROR> Invalid object type. ") + (isText ? "String" : "Bytes") +
                " fields expect " + (isText ? "NSString" : "NSData") +
                ". Type: " + NANOValueClassName(value));
        ok = false;
        break;
      }
      auto* entry = static_cast<NANOArrayInfo*>(std::calloc(1, sizeof(NANOArrayInfo)));
      elements[i] = entry;
      if (entry == nullptr || !(isText ? NANOConvertStringToArrayInfo(&value, entry)
                                       : NANOConvertNSDataToArrayInfo(&value, entry))) {
        nanoLog("<ERROR> Unable to set NULL data to an ObjC object");
        ok = false;
      }
    } else if (kind == NANO_FIELD_MESSAGE) {
      nanoLog(std::string("<ERROR> Invalid object type. Message fields expect NANOMessageBase. "
                          "Type: ") +
              NANOValueClassName(value));
      ok = false;
    } else {
      nanoLog("<ERROR> Unable to convert ObjC object to byte data. Unknown type. " +
              std::to_string(type));
      ok = false;
    }
  }
  if (!ok) message.deallocMessageFieldFn()(message.messageInfo(), slot);
}

void NANOSetArray(NANOMessageBase& message, int32_t slot,
                  std::span<const std::shared_ptr<NANOMessageBase>> values) {
  NANOArrayInfo* list = prepareArray(message, slot);
  if (list == nullptr || values.empty()) return;
  const NANOSlot& info = message.descriptor().slots[slot];
  const int32_t kind = NANOFieldKind(info.type);
  if (!allocateElements(list, values.size())) return;
  void** elements = static_cast<void**>(list->data);
  bool ok = true;
  for (size_t i = 0; ok && i < values.size(); ++i) {
    const NANOMessageBase* value = values[i].get();
    if (kind != NANO_FIELD_MESSAGE) {
      const char* word = numberWord(kind);
      const std::string type = value == nullptr ? "nil" : value->descriptor().className;
      if (word != nullptr) {
        nanoLog(std::string("<ERROR> Invalid object type. ") + word +
                " fields expect NSNumber. Type: " + type);
      } else if (kind == NANO_FIELD_STRING) {
        nanoLog("<ERROR> Invalid object type. String fields expect NSString. Type: " + type);
      } else {
        nanoLog("<ERROR> Invalid object type. Bytes fields expect NSData. Type: " + type);
      }
      ok = false;
      break;
    }
    if (value == nullptr || &value->descriptor() != info.submessage ||
        value->messageInfo() == nullptr) {
      nanoLog(std::string("<ERROR> Invalid object type. Message fields expect ") +
              info.submessage->className + ". Type: " +
              (value == nullptr ? "nil" : value->descriptor().className));
      ok = false;
      break;
    }
    NANOMessageInfo* copy = nullptr;
    if (!value->copyMessageInfoFn()(&copy, value->messageInfo())) {
      if (copy != nullptr) nanoFreeMessage(*info.submessage, copy);
      nanoLog("<ERROR> Unable to set NULL data to an ObjC object");
      ok = false;
      break;
    }
    elements[i] = copy;
  }
  if (!ok) message.deallocMessageFieldFn()(message.messageInfo(), slot);
}
