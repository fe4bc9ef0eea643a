// Run-time classes looked up by name.
//
// Code that wants to find a class by its name (rather than link against it) looks it up here;
// a module makes its classes findable by registering them explicitly, typically from one
// `register...()` function the host or the test calls. Nothing registers itself from a static
// initialiser: objects in static libraries that nothing references are dropped by the linker.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Root of objects that travel through untyped channels (notification objects, user info,
// component instances) and are recovered with dynamic_cast.
class Object {
 public:
  virtual ~Object() = default;
  // A short text for log lines; defaults to "<type name: address>".
  virtual std::string description() const;
};

// A class object: the run-time face of a class, with its name. Subclasses add the class
// operations a caller may look for (recovered with dynamic_cast / dynamic_pointer_cast).
class ClassObject : public Object {
 public:
  explicit ClassObject(std::string name) : name_(std::move(name)) {}
  const std::string& className() const { return name_; }
  std::string description() const override { return name_; }

 private:
  std::string name_;
};

using ClassRef = std::shared_ptr<ClassObject>;

// Process-wide table of class objects by name. Thread-safe.
class ClassRegistry {
 public:
  // Adds (or replaces) the class under its name.
  static void registerClass(ClassRef cls);
  // Removes the class of that name; false when there was none.
  static bool unregisterClass(std::string_view name);
  // The class of that name, or null.
  static ClassRef classNamed(std::string_view name);
  static bool hasClassNamed(std::string_view name) { return classNamed(name) != nullptr; }
  static std::vector<std::string> registeredClassNames();
  // Forgets every class (tests).
  static void resetForTesting();
};

}  // namespace platform
