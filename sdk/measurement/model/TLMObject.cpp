#include "measurement/model/TLMObject.h"

#include "proto/NANOAccessors.h"

TLMObject::TLMObject(const std::optional<TLMValue>& value) {
  if (value) v_ = *value;
}

TLMObject::TLMObject(platform::Value object) {
  if (!object.isNull()) v_ = std::move(object);
}

TLMObject TLMObject::hostObject(platform::Value object) {
  TLMObject out;
  out.v_ = std::move(object);
  return out;
}

TLMObject::TLMObject(const char* s) {
  if (s != nullptr) v_ = platform::Value(std::string(s));
}

bool TLMObject::isString() const {
  const platform::Value* o = object();
  return o != nullptr && o->isString();
}

const std::string* TLMObject::stringPtr() const {
  const platform::Value* o = object();
  return o != nullptr ? o->stringPtr() : nullptr;
}

bool TLMObject::isNumber() const {
  const platform::Value* o = object();
  return o != nullptr && o->isNumber();
}

bool TLMObject::isArray() const {
  const platform::Value* o = object();
  return o != nullptr && o->isArray();
}

bool TLMObject::isDictionary() const {
  const platform::Value* o = object();
  return o != nullptr && o->isDictionary();
}

std::string TLMObject::className() const {
  if (isTLMValue()) return "TLMValue";
  const platform::Value* o = object();
  if (o == nullptr) return "nil";
  return NANOValueClassName(*o);
}

std::string TLMObject::description() const {
  if (const TLMValue* v = tlmValue()) return v->description();
  if (const platform::Value* o = object()) return o->description();
  return "(null)";
}

platform::Value TLMObject::contextValue() const {
  if (const TLMValue* v = tlmValue()) return v->value();
  if (const platform::Value* o = object()) return *o;
  return platform::Value();
}

platform::Dictionary TLMParameters::toDictionary() const {
  platform::Dictionary out;
  for (const auto& [key, value] : *this) out.set(key, value.value());
  return out;
}

TLMObjectDictionary::TLMObjectDictionary(const TLMParameters& parameters) {
  for (const auto& [key, value] : parameters) set(key, TLMObject(value));
}

TLMObjectDictionary::TLMObjectDictionary(const platform::Dictionary& dictionary) {
  for (const auto& [key, value] : dictionary) set(key, TLMObject::hostObject(value));
}

platform::Dictionary TLMObjectDictionary::toDictionary() const {
  platform::Dictionary out;
  for (const auto& [key, value] : *this) out.set(key, value.contextValue());
  return out;
}
