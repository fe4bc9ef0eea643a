#include "InstanceID/CDVInstanceIDBackupExcludedPlist.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "InstanceID/CDVInstanceIDLogger.h"
#include "foundation/Files.h"
#include "foundation/PropertyList.h"
#include "foundation/Sandbox.h"

CDVInstanceIDBackupExcludedPlist::CDVInstanceIDBackupExcludedPlist(std::string fileName, std::string subDirectoryName)
    : fileName_(std::move(fileName)), subDirectoryName_(std::move(subDirectoryName)) {
  fileInStandardDirectory_ = moveToApplicationSupportSubDirectory(subDirectoryName_);
}

CDVInstanceIDPlistDirectory CDVInstanceIDBackupExcludedPlist::plistDirectory() const {
  return fileInStandardDirectory_ ? CDVInstanceIDPlistDirectory::ApplicationSupport
                                  : CDVInstanceIDPlistDirectory::Documents;
}

std::string CDVInstanceIDBackupExcludedPlist::pathWithName(const std::string& fileName,
                                                           CDVInstanceIDPlistDirectory directory) const {
  const std::string plistName = fileName + ".plist";
  switch (directory) {
    case CDVInstanceIDPlistDirectory::Documents:
      return platform::files::join(platform::sandbox::documentsDirectory(), plistName);
    case CDVInstanceIDPlistDirectory::ApplicationSupport:
      return platform::files::join(
          platform::files::join(platform::sandbox::applicationSupportDirectory(), subDirectoryName_), plistName);
  }
  CDVInstanceIDLoggerError(6003, "Invalid plist directory type: %lu", static_cast<unsigned long>(directory));
  return std::string();
}

std::string CDVInstanceIDBackupExcludedPlist::plistPathInDirectory(CDVInstanceIDPlistDirectory directory) const {
  return pathWithName(fileName_, directory);
}

bool CDVInstanceIDBackupExcludedPlist::doesFileExistInDirectory(CDVInstanceIDPlistDirectory directory) const {
  std::string path = plistPathInDirectory(directory);
  return !path.empty() && platform::files::exists(path);
}

bool CDVInstanceIDBackupExcludedPlist::doesFileExist() const { return doesFileExistInDirectory(plistDirectory()); }

bool CDVInstanceIDBackupExcludedPlist::moveToApplicationSupportSubDirectory(const std::string& subDirectoryName) {
  const std::string subDirectory =
      platform::files::join(platform::sandbox::applicationSupportDirectory(), subDirectoryName);
  if (!platform::files::isDirectory(subDirectory)) return false;
  // Only a regular file of this user's, as a read takes it (a link at the name is not followed),
  // is a copy in Documents: anything else there is left alone and the subdirectory's file used.
  struct stat documentsCopy {};
  if (::lstat(plistPathInDirectory(CDVInstanceIDPlistDirectory::Documents).c_str(), &documentsCopy) != 0 ||
      !S_ISREG(documentsCopy.st_mode) || documentsCopy.st_uid != ::geteuid()) {
    return true;
  }
  if (doesFileExistInDirectory(CDVInstanceIDPlistDirectory::ApplicationSupport)) {
    // Both: the Documents copy is used, unless other users may change Documents (it could not be
    // written there, nor trusted); then the subdirectory's own is used and Documents left alone.
    return !platform::files::checkPrivateDirectory(platform::sandbox::documentsDirectory());
  }
  const std::string oldPath = plistPathInDirectory(CDVInstanceIDPlistDirectory::Documents);
  const std::string newPath = plistPathInDirectory(CDVInstanceIDPlistDirectory::ApplicationSupport);
  if (std::rename(oldPath.c_str(), newPath.c_str()) != 0) {
    CDVInstanceIDLoggerError(6002, "Failed to move file %@ from %@ to %@. Error: %@", fileName_, oldPath, newPath,
                             std::string(std::strerror(errno)));
    return false;
  }
  return true;
}

bool CDVInstanceIDBackupExcludedPlist::writeDictionary(const platform::Dictionary& dictionary, platform::Error* error) {
  std::lock_guard lock(mutex_);
  const std::string path = plistPathInDirectory(plistDirectory());
  platform::Error writeError;
  // The subdirectory was checked when it was made; Documents, where an earlier version's file is
  // still used, is checked before each write, so the file never lands where others may change it.
  const bool safe = fileInStandardDirectory_ ||
                    platform::files::checkPrivateDirectory(platform::sandbox::documentsDirectory(), &writeError);
  if (!safe ||
      !platform::plist::writeFile(path, platform::Value(dictionary), platform::plist::Format::XML, &writeError)) {
    CDVInstanceIDLoggerError(6000, "Failed to write to %@.plist", fileName_);
    return platform::setError(error, std::move(writeError));
  }
  cachedPlistContents_ = dictionary;
  if (error != nullptr) *error = platform::Error();
  if (!platform::files::isExcludedFromBackup(path)) {
    platform::Error excludeError;
    if (!platform::files::setExcludedFromBackup(path, true, &excludeError)) {
      std::string lastComponent = path.substr(path.rfind('/') + 1);
      CDVInstanceIDLoggerError(6001, "Error excluding %@ from backup, %@", lastComponent, excludeError.fullDescription());
      return platform::setError(error, std::move(excludeError));
    }
  }
  return true;
}

std::optional<platform::Dictionary> CDVInstanceIDBackupExcludedPlist::contentAsDictionary() {
  std::lock_guard lock(mutex_);
  if (!cachedPlistContents_ && doesFileExist()) {
    std::optional<platform::Value> content = platform::plist::readFile(plistPathInDirectory(plistDirectory()));
    if (content && content->dictionaryPtr() != nullptr) cachedPlistContents_ = *content->dictionaryPtr();
  }
  return cachedPlistContents_;
}

bool CDVInstanceIDBackupExcludedPlist::deleteFile(platform::Error* error) {
  std::lock_guard lock(mutex_);
  bool success = true;
  if (doesFileExist()) success = platform::files::removeItem(plistPathInDirectory(plistDirectory()), error);
  cachedPlistContents_.reset();
  return success;
}
