// One property-list file in a subdirectory of Application Support, excluded from device backups
// and read through an in-memory copy.
//
// At creation the object decides once where its file lives: in the Application Support
// subdirectory when that exists (a file left in Documents by an older version is moved there;
// when the subdirectory has a file too, the Documents copy is used, unless other users may change
// Documents; only a regular file of this user's counts as that copy, anything else at its name is
// left alone), else in Documents. All members may be called from any thread.
#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "foundation/Error.h"
#include "foundation/Value.h"

enum class CDVInstanceIDPlistDirectory : unsigned long {
  Documents = 1,
  ApplicationSupport = 2,
};

class CDVInstanceIDBackupExcludedPlist {
 public:
  // `fileName` has no extension; the file is "<fileName>.plist".
  CDVInstanceIDBackupExcludedPlist(std::string fileName, std::string subDirectoryName);

  // Writes atomically, caches a copy and marks the file excluded from backup. A file kept in
  // Documents is written only while Documents passes files::checkPrivateDirectory.
  bool writeDictionary(const platform::Dictionary& dictionary, platform::Error* error = nullptr);
  // The cached content, else the file's (cached from then on); nothing without a readable file.
  std::optional<platform::Dictionary> contentAsDictionary();
  // Removes the file when present (a missing file is success) and clears the cache.
  bool deleteFile(platform::Error* error = nullptr);
  bool doesFileExist() const;
  bool doesFileExistInDirectory(CDVInstanceIDPlistDirectory directory) const;

  const std::string& fileName() const { return fileName_; }
  const std::string& subDirectoryName() const { return subDirectoryName_; }
  bool fileInStandardDirectory() const { return fileInStandardDirectory_; }
  CDVInstanceIDPlistDirectory plistDirectory() const;
  // The file's path in a directory kind; the empty text for an unknown kind.
  std::string plistPathInDirectory(CDVInstanceIDPlistDirectory directory) const;
  std::string pathWithName(const std::string& fileName, CDVInstanceIDPlistDirectory directory) const;

 private:
  bool moveToApplicationSupportSubDirectory(const std::string& subDirectoryName);

  const std::string fileName_;
  const std::string subDirectoryName_;
  bool fileInStandardDirectory_ = false;
  std::mutex mutex_;
  std::optional<platform::Dictionary> cachedPlistContents_;
};
