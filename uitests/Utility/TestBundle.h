// The test bundle's resources: the data files and stub documents of the UI-test suite. Files are
// looked up by base name and type in one resource folder (by default the suite's Resources
// folder, fixed at build time).
#pragma once

#include <optional>
#include <string>

namespace TestBundle {

// The folder holding the bundle's resources.
std::string resourceDirectory();
// Points the bundle at another folder (unit tests use scratch folders); returns the old one.
std::string setResourceDirectory(std::string directory);

// Full path of the resource `name`.`type`, or an empty optional when no such file exists.
std::optional<std::string> path(const std::string& name, const std::string& type);

}  // namespace TestBundle
