#include "measurement/store/TLMSqliteStore.h"

#include "foundation/Files.h"
#include "foundation/ProcessInfo.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sqlite3.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <set>
#include <system_error>
#include <utility>

namespace fs = std::filesystem;
using platform::Error;
using platform::Value;

namespace {

std::string lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string uppercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

bool isDamageCode(int code) {
  int primary = code & 0xff;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

bool setFileError(Error* error, const std::string& what, const std::string& path, int err) {
  return TLMStoreSetError(error, TLMStoreErrorBadState,
                          what + " \"" + path + "\": " + std::generic_category().message(err));
}

// The file system's immutable flag. Where the file system has no such flags the file counts as
// mutable.
enum class Immutable { No, Yes, Unknown };

Immutable immutableFlag(const std::string& path, int* flagsOut, int* err) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *err = errno;
    return Immutable::Unknown;
  }
  int flags = 0;
  int rc = ::ioctl(fd, FS_IOC_GETFLAGS, &flags);
  int saved = errno;
  ::close(fd);
  if (rc != 0) {
    if (saved == ENOTTY || saved == EOPNOTSUPP || saved == EINVAL || saved == ENOSYS) {
      return Immutable::No;
    }
    *err = saved;
    return Immutable::Unknown;
  }
  *flagsOut = flags;
  return (flags & FS_IMMUTABLE_FL) != 0 ? Immutable::Yes : Immutable::No;
}

// Clears the immutable flag when it is set. False with `err` when that fails.
bool makeMutable(const std::string& path, int* err) {
  int flags = 0;
  Immutable state = immutableFlag(path, &flags, err);
  if (state == Immutable::Unknown) return false;
  if (state == Immutable::No) return true;
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *err = errno;
    return false;
  }
  flags &= ~FS_IMMUTABLE_FL;
  int rc = ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
  int saved = errno;
  ::close(fd);
  if (rc != 0) {
    *err = saved;
    return false;
  }
  return true;
}

// The database and its journals hold the app's identifiers and events: they are the owner's
// alone. A missing database is made empty with mode 0600 before SQLite opens it (SQLite gives
// its journals the mode of the database); files left readable to others by an earlier version
// lose those bits. Each is checked on its opened descriptor: anything but a regular file of
// this user's (a FIFO, a file another user put there, a symbolic link) is refused, so SQLite
// never opens it.
bool makePrivate(const std::string& path, Error* error) {
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    const std::string file = path + suffix;
    const int create = *suffix == '\0' ? O_CREAT : 0;
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | create, 0600);
    if (fd < 0) {
      if (errno == ENOENT && create == 0) continue;
      return setFileError(error, "Failed to open database file", file, errno);
    }
    struct stat info {};
    std::string refusal;
    if (::fstat(fd, &info) != 0) {
      refusal = std::generic_category().message(errno);
    } else if (!S_ISREG(info.st_mode)) {
      refusal = "not a regular file";
    } else if (info.st_uid != ::geteuid()) {
      refusal = "it belongs to another user (uid " + std::to_string(info.st_uid) + ")";
    } else if ((info.st_mode & 077) != 0) {
      ::fchmod(fd, info.st_mode & 0600);
    }
    ::close(fd);
    if (!refusal.empty()) {
      return TLMStoreSetError(error, TLMStoreErrorBadState, "Refusing database file \"" + file + "\": " + refusal);
    }
  }
  return true;
}

// The folders on the way to the database, its own included, as far as they exist: each must be
// one no other user can change (see platform::files::checkPrivateDirectory), or another user
// could put his folder in the store's place between the checks on descriptors and SQLite's open
// by name, and have his file opened, written or deleted as the store. Their modes are left as
// they are: the folders above the store's own are the host's.
bool checkWayToDatabase(const std::string& path, Error* error) {
  std::error_code ec;
  const fs::path absolute = fs::absolute(fs::path(path), ec);
  if (ec) return setFileError(error, "Failed to find the database's folder", path, ec.value());
  Error refused;
  if (!platform::files::checkPrivateDirectory(absolute.parent_path().string(), &refused)) {
    return TLMStoreSetError(error, TLMStoreErrorBadState,
                            "Refusing the database's folder: " + refused.description);
  }
  return true;
}

bool isSupportedRecordValue(const Value& value) {
  return value.isString() || value.isNumber() || value.isData() || value.isNull();
}

std::atomic<int> busyTimeout{3000};

// A wait for another connection's lock gives up after this many busy timeouts in all, however
// often others commit meanwhile.
constexpr std::int64_t kMostBusyTimeoutsWaited = 10;
// A connection that committed while another waits lets it in for at most this long.
constexpr std::int64_t kTurnGivenNanoseconds = 50'000'000;
std::atomic<std::int64_t> turnGivenNanoseconds{kTurnGivenNanoseconds};
// The steps of a wait: short at first (the lock is often let go within a commit), then longer,
// so that many waiting processes do not keep the processors busy (a step stays well below the
// pause of a connection that lets a waiter in).
constexpr long kFirstWaitStepMicroseconds = 250;
constexpr int kFirstWaitSteps = 20;
constexpr long kWaitStepMicroseconds = 1000;
constexpr int kShortWaitSteps = 120;
constexpr long kLongWaitStepMicroseconds = 4000;

std::int64_t monotonicNanoseconds() {
  timespec now {};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void sleepMicroseconds(long microseconds) {
  timespec step {0, microseconds * 1000};
  while (::nanosleep(&step, &step) != 0 && errno == EINTR) {
  }
}

// The byte of the side file on which waiting connections hold shared locks: locks of the open
// file (not of the process), so that two connections of one process, and a forked child's copy of
// the descriptor, each count as what they are; the kernel lets go of them when the process ends.
bool setTurnLock(int fd, short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 1;
  return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

bool someoneWaits(int fd) {
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = 0;
  probe.l_len = 1;
  return ::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
}

// Hands a statement back to the cache (reset) or finalizes a one-off one on every way out of a
// read, a row filter or a value conversion that throws included: a statement left mid-step
// would fail its next use and keep its read lock until the connection closes.
class StatementCleanup {
 public:
  StatementCleanup(TLMSqliteStore& store, sqlite3_stmt* statement, const std::string& query)
      : store_(store), statement_(statement), query_(query) {}
  ~StatementCleanup() { store_.cleanUpStatement(statement_, query_); }
  StatementCleanup(const StatementCleanup&) = delete;
  StatementCleanup& operator=(const StatementCleanup&) = delete;

 private:
  TLMSqliteStore& store_;
  sqlite3_stmt* statement_;
  const std::string& query_;
};

}  // namespace

TLMSqliteStore::TLMSqliteStore(std::string path, TLMStoreMonitor* monitor)
    : databasePath_(std::move(path)), monitor_(monitor != nullptr ? monitor : TLMStoreDefaultMonitor()) {}

TLMSqliteStore::~TLMSqliteStore() { closeDatabase(); }

void TLMSqliteStore::log(int level, int code, const std::string& message,
                         const std::vector<Value>& context) {
  if (monitor_ != nullptr) monitor_->log(level, code, message, context);
}

bool TLMSqliteStore::isOpen() const {
  return sqliteHandle_ != nullptr && openedIn_ == platform::ProcessInfo::forks();
}

void TLMSqliteStore::abandonIfInherited() {
  if (sqliteHandle_ == nullptr || openedIn_ == platform::ProcessInfo::forks()) return;
  sqliteHandle_ = nullptr;
  file_ = nullptr;
  statementCache_.clear();
  groupOpen_ = false;
  savepointOpen_ = false;
  writeOpen_ = false;
  // The parent's shared description keeps its locks: this copy only goes.
  if (turnFd_ >= 0) ::close(turnFd_);
  turnFd_ = -1;
  turnTried_ = false;
}

bool TLMSqliteStore::checkOpen(const char* operation, Error* error) {
  if (isOpen()) return true;
  return TLMStoreSetError(error, TLMStoreErrorBadState,
                          std::string(operation) + " failed. Database not open.");
}

void TLMSqliteStore::applyConnectionSettings(sqlite3* handle) {
  // SQLite's defaults on purpose: a journal kept between commits (journal_mode=TRUNCATE) saved
  // about 5% per event on tmpfs and cost about as much on a disk, so the rollback journal is
  // deleted after each commit as any other reader of the file expects.
  (void)handle;
}

std::unique_ptr<TLMSqliteStore> TLMSqliteStore::initWithDatabasePath(const std::string& path,
                                                                     TLMStoreMonitor* monitor) {
  if (path.empty()) {
    (monitor != nullptr ? monitor : TLMStoreDefaultMonitor())
        ->log(4, 34000, "Received empty database path on init", {});
    return nullptr;
  }
  std::unique_ptr<TLMSqliteStore> store(new TLMSqliteStore(path, monitor));
  Error error;
  if (store->openAndValidateDatabase(&error)) return store;
  // Only a damaged file is thrown away; a busy, locked or unreadable file is kept for the next
  // start. Either way the reason is told.
  if (!store->lastFailureWasDamage_) {
    store->log(1, 34023, "Failed to open database. Error", {Value(error.fullDescription())});
    return nullptr;
  }
  store->log(1, 34024, "Deleting damaged database file. Reason", {Value(error.fullDescription())});
  if (!store->closeAndDeleteDatabase(&error)) {
    store->log(1, 34001, "Failed to delete existing database file. Error",
               {Value(error.fullDescription())});
    return nullptr;
  }
  if (!store->openAndValidateDatabase(&error)) {
    store->log(1, 34002, "Failed to recreate database file. Error",
               {Value(error.fullDescription())});
    return nullptr;
  }
  return store;
}

std::unique_ptr<TLMSqliteStore> TLMSqliteStore::closedStoreWithPath(const std::string& path,
                                                                    TLMStoreMonitor* monitor) {
  return std::unique_ptr<TLMSqliteStore>(new TLMSqliteStore(path, monitor));
}

void TLMSqliteStore::closeDatabase() {
  abandonIfInherited();
  for (auto& entry : statementCache_) sqlite3_finalize(entry.second);
  statementCache_.clear();
  if (sqliteHandle_ == nullptr) return;
  int rc = sqlite3_close(sqliteHandle_);
  if (rc != SQLITE_OK) {
    log(4, 34018, "Failed to close database. Got error code", {Value(rc)});
    // Let SQLite release the connection once whatever still holds it is gone.
    sqlite3_close_v2(sqliteHandle_);
  }
  sqliteHandle_ = nullptr;
  file_ = nullptr;
  groupOpen_ = false;
  savepointOpen_ = false;
  writeOpen_ = false;
  closeTurnFile();
}

bool TLMSqliteStore::closeAndDeleteDatabase(Error* error) {
  closeDatabase();
  if (!checkWayToDatabase(databasePath_, error)) {
    log(4, 34019, "Failed to delete database", {Value(error ? error->fullDescription() : databasePath_)});
    return false;
  }
  // A journal left beside a new file would be played back into it, so the companions go too.
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    std::string path = databasePath_ + suffix;
    std::error_code ec;
    if (!fs::exists(path, ec)) continue;
    int err = 0;
    if (!makeMutable(path, &err)) {
      setFileError(error, "Failed to make file mutable", path, err);
      log(4, 34019, "Failed to delete database", {Value(error ? error->fullDescription() : path)});
      return false;
    }
    if (!fs::remove(path, ec) && ec) {
      setFileError(error, "Failed to delete file", path, ec.value());
      log(4, 34019, "Failed to delete database", {Value(error ? error->fullDescription() : path)});
      return false;
    }
  }
  return true;
}

bool TLMSqliteStore::openAndValidateDatabase(Error* error) {
  lastFailureWasDamage_ = false;
  lastFailedStepCode_ = SQLITE_OK;
  // The store's own folder: made when missing, closed when an earlier version left it open, and
  // only once the whole way there is checked as checkWayToDatabase checks it (nothing is made on
  // a way another user could change). The working folder, the host's, is only checked.
  const fs::path directory = fs::path(databasePath_).parent_path();
  Error made;
  if (directory.empty()) {
    if (!checkWayToDatabase(databasePath_, error)) return false;
  } else if (!platform::files::createDirectories(directory.string(), &made)) {
    return TLMStoreSetError(error, TLMStoreErrorBadState, "Failed to create directory: " + made.description);
  }
  std::error_code ec;
  fs::file_status status = fs::status(databasePath_, ec);
  if (fs::exists(status)) {
    int err = 0;
    if (!makeMutable(databasePath_, &err)) {
      return setFileError(error, "Failed to make database file mutable", databasePath_, err);
    }
  }

  if (!makePrivate(databasePath_, error)) return false;
  sqlite3* handle = nullptr;
  int rc = sqlite3_open_v2(databasePath_.c_str(), &handle,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                           nullptr);
  sqliteHandle_ = handle;
  openedIn_ = platform::ProcessInfo::forks();
  if (rc != SQLITE_OK) {
    lastFailureWasDamage_ = isDamageCode(rc);
    recordFailure(rc);
    if (sqliteHandle_ != nullptr) {
      setDatabaseError(error, "initialize sqlite handle");
    } else {
      TLMStoreSetError(error, TLMStoreErrorSQLite,
                       "Database operation \"initialize sqlite handle\" failed with sqlite code " +
                           std::to_string(rc) + " and error message \"" + sqlite3_errstr(rc) + "\"");
    }
    closeDatabase();
    return false;
  }
  busyTimeoutMs_ = busyTimeout.load();
  if (sqlite3_file_control(sqliteHandle_, "main", SQLITE_FCNTL_FILE_POINTER, &file_) != SQLITE_OK ||
      file_ == nullptr || file_->pMethods == nullptr) {
    file_ = nullptr;
  }
  sqlite3_busy_handler(sqliteHandle_, &TLMSqliteStore::onBusy, this);
  applyConnectionSettings(sqliteHandle_);

  Error backupError;
  if (!platform::files::setExcludedFromBackup(databasePath_, true, &backupError)) {
    log(4, 34017, "Failed to exclude database file from backup",
        {Value(backupError.fullDescription())});
  }

  if (!validateDatabaseWithError(error)) {
    closeDatabase();
    return false;
  }
  return true;
}

bool TLMSqliteStore::validateDatabaseWithError(Error* error) {
  if (!checkOpen("Validate database", error)) return false;
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(sqliteHandle_, "PRAGMA integrity_check", -1, &statement, nullptr);
  bool ok = false;
  if (rc == SQLITE_OK) {
    rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(statement, 0);
      ok = sqlite3_column_count(statement) == 1 && text != nullptr &&
           std::strcmp(reinterpret_cast<const char*>(text), "ok") == 0;
      // Any answer but "ok" lists damage.
      if (!ok) lastFailureWasDamage_ = true;
    } else {
      lastFailureWasDamage_ = isDamageCode(rc);
    }
  } else {
    lastFailureWasDamage_ = isDamageCode(rc);
  }
  if (!ok) setDatabaseError(error, "validate database");
  sqlite3_finalize(statement);
  return ok;
}

// MARK: - Tables

bool TLMSqliteStore::ensureTableWithName(const std::string& name, const TLMColumnInfo& elementary,
                                         const TLMColumnInfo& addOn,
                                         const TLMColumnModifications& modify, Error* error) {
  if (!ensureTableWithName(name, elementary, addOn, error)) return false;
  if (modify.empty()) return true;
  auto corrected = [&modify](TLMColumnInfo info) {
    for (auto& entry : info) {
      if (entry.first == kTLMPrimaryKeyColumnName) continue;
      auto found = modify.find(entry.first);
      if (found != modify.end()) entry.second = found->second;
    }
    return info;
  };
  return ensureSchemaOfTableWithName(name, corrected(elementary), corrected(addOn), error);
}

bool TLMSqliteStore::ensureTableWithName(const std::string& name, const TLMColumnInfo& elementary,
                                         const TLMColumnInfo& addOn, Error* error) {
  if (name.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Received empty table name for ensure table");
  }
  if (elementary.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Received empty elementary column info for ensure table");
  }
  std::string create = "CREATE TABLE IF NOT EXISTS " + name + " ( ";
  std::vector<std::string> required;
  for (const auto& [column, type] : elementary) {
    create += column + " " + type + ", ";
    if (column != kTLMPrimaryKeyColumnName) required.push_back(column);
  }
  create.resize(create.size() - 2);
  create += ");";
  std::vector<std::pair<std::string, std::string>> alters;
  for (const auto& [column, type] : addOn) {
    alters.emplace_back(column, "ALTER TABLE " + name + " ADD COLUMN " + column + " " + type);
  }
  return ensureTableWithName(name, create, required, alters, error);
}

bool TLMSqliteStore::ensureTableWithName(
    const std::string& name, const std::string& createSQL,
    const std::vector<std::string>& requiredColumnNames,
    const std::vector<std::pair<std::string, std::string>>& addOnColumns, Error* error) {
  if (name.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Received empty table name for ensure table");
  }
  if (requiredColumnNames.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Received no table columns for ensure table");
  }
  if (createSQL.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Received empty create statement for ensure table");
  }
  if (!checkOpen("Ensure table", error)) return false;
  std::optional<bool> exists = tableExists(name, error);
  if (!exists) return false;
  if (!*exists && !executeSQL(createSQL, error)) return false;
  return validateTableWithName(name, requiredColumnNames, addOnColumns, error).value_or(false);
}

bool TLMSqliteStore::ensureSchemaOfTableWithName(const std::string& name,
                                                 const TLMColumnInfo& elementary,
                                                 const TLMColumnInfo& addOn, Error* error) {
  if (name.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Received empty table name for ensure table schema");
  }
  if (elementary.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Received empty column info for ensure table schema");
  }
  std::optional<bool> exists = tableExists(name, error);
  if (!exists) return false;
  if (!*exists) {
    return TLMStoreSetError(error, TLMStoreErrorBadState,
                            "Table does not exist for ensure table schema");
  }
  auto present = columnInfoForTableWithName(name, error);
  if (!present) return false;
  std::map<std::string, std::string> expected;
  for (const auto& [column, type] : elementary) {
    if (column == kTLMPrimaryKeyColumnName || column.empty() || type.empty()) continue;
    expected[column] = type.substr(0, type.find(' '));
  }
  for (const auto& [column, type] : addOn) {
    if (column == kTLMPrimaryKeyColumnName || column.empty() || type.empty()) continue;
    expected[column] = type;
  }
  if (*present == expected) return true;

  const std::string oldName = name + "_old";
  Error stepError;
  bool ok = performTransaction([&] {
    // A table of that name left behind (by an interrupted rebuild of another version) would
    // make the rename fail for ever.
    return executeSQL("DROP TABLE IF EXISTS " + oldName, &stepError) &&
           renameTable(name, oldName, &stepError) &&
           ensureTableWithName(name, elementary, addOn, &stepError) &&
           copyContentsFromTable(oldName, name, &stepError) &&
           dropTableWithName(oldName, &stepError);
  });
  if (!ok) {
    if (stepError.domain.empty()) {
      // Beginning or committing the transaction failed: an SQLite failure like the steps'.
      TLMStoreSetError(&stepError, TLMStoreErrorSQLite, "Failed to migrate table " + name);
    }
    if (error != nullptr) *error = stepError;
  }
  return ok;
}

std::optional<bool> TLMSqliteStore::validateTableWithName(
    const std::string& name, const std::vector<std::string>& requiredColumnNames,
    const std::vector<std::pair<std::string, std::string>>& addOnColumns, Error* error) {
  if (name.empty()) {
    TLMStoreSetError(error, TLMStoreErrorBadArgument,
                     "Received empty table name for validate table");
    return std::nullopt;
  }
  if (requiredColumnNames.empty()) {
    TLMStoreSetError(error, TLMStoreErrorBadArgument,
                     "Received no table columns for validate table");
    return std::nullopt;
  }
  if (!checkOpen("Validate table", error)) return std::nullopt;
  auto columns = columnsForTableWithName(name, error);
  if (!columns) return std::nullopt;
  if (columns->empty()) {
    TLMStoreSetError(error, TLMStoreErrorBadState, "Table is missing required columns");
    return std::nullopt;
  }
  std::set<std::string> present(columns->begin(), columns->end());
  for (const auto& column : requiredColumnNames) {
    if (present.count(column) == 0) {
      TLMStoreSetError(error, TLMStoreErrorBadState, "Table is missing required columns");
      return false;
    }
  }
  for (const auto& column : requiredColumnNames) present.erase(column);
  for (const auto& [column, alter] : addOnColumns) {
    if (present.count(column) == 0) {
      if (alter.empty() || !executeSQL(alter, error)) return false;
    } else {
      present.erase(column);
    }
  }
  if (present.empty()) return true;

  bool unknownRequired = false;
  auto check = [&](const char* column, const char*, bool notNull) {
    if (column != nullptr && notNull && present.count(column) != 0) unknownRequired = true;
  };
  if (!forEachColumnOfTable(name, "validate table", error, check)) return std::nullopt;
  if (unknownRequired) {
    TLMStoreSetError(error, TLMStoreErrorBadState, "Table contains unknown non-optional columns");
    return false;
  }
  return true;
}

std::optional<bool> TLMSqliteStore::tableExists(const std::string& name, Error* error) {
  if (name.empty()) {
    TLMStoreSetError(error, TLMStoreErrorBadArgument, "Received empty table name for table exists");
    return std::nullopt;
  }
  if (!checkOpen("Table exists", error)) return std::nullopt;
  sqlite3_stmt* statement =
      prepareSQL("SELECT name FROM sqlite_master WHERE type='table' AND name=?", error);
  if (statement == nullptr) return std::nullopt;
  platform::Array parameters{Value(name)};
  if (!bindValues(parameters, statement, error)) {
    sqlite3_finalize(statement);
    return std::nullopt;
  }
  int rc = stepWaitingForBusyFile(statement);
  std::optional<bool> result;
  if (rc == SQLITE_ROW) {
    result = true;
  } else if (rc == SQLITE_DONE) {
    result = false;
  } else {
    setDatabaseError(error, "table exists");
  }
  sqlite3_finalize(statement);
  return result;
}

bool TLMSqliteStore::dropTableWithName(const std::string& name, Error* error) {
  if (name.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Received empty table name for drop table");
  }
  return executeSQL("DROP TABLE " + name, error);
}

bool TLMSqliteStore::renameTable(const std::string& oldName, const std::string& newName,
                                 Error* error) {
  if (oldName.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Received empty old name for rename table");
  }
  if (newName.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Received empty new name for rename table");
  }
  if (oldName == newName) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Received duplicate name for rename table");
  }
  return executeSQL("ALTER TABLE " + oldName + " RENAME TO " + newName, error);
}

bool TLMSqliteStore::copyContentsFromTable(const std::string& source,
                                           const std::string& destination, Error* error) {
  if (source.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Received empty source name for copy table");
  }
  if (destination.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Received empty destination name for copy table");
  }
  if (source == destination) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Received duplicate name for copy table");
  }
  // Rows are copied by column name, never by position: the two tables may order their
  // columns differently, and the source may hold columns the destination no longer has.
  auto destinationColumns = columnsForTableWithName(destination, error);
  if (!destinationColumns) return false;
  auto sourceColumns = columnsForTableWithName(source, error);
  if (!sourceColumns) return false;
  std::set<std::string> available(sourceColumns->begin(), sourceColumns->end());
  std::string list;
  for (const auto& column : *destinationColumns) {
    if (available.count(column) == 0) continue;
    if (!list.empty()) list += ", ";
    list += column;
  }
  if (list.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadState,
                            "Tables share no columns for copy table");
  }
  return executeSQL("INSERT INTO " + destination + " (" + list + ") SELECT " + list + " FROM " +
                        source + " ORDER BY rowid",
                    error);
}

std::optional<std::vector<std::string>> TLMSqliteStore::columnsForTableWithName(
    const std::string& name, Error* error) {
  if (name.empty()) {
    TLMStoreSetError(error, TLMStoreErrorBadArgument, "Received empty table name for get columns");
    return std::nullopt;
  }
  if (!checkOpen("Get table columns", error)) return std::nullopt;
  std::vector<std::string> columns;
  auto collect = [&columns](const char* column, const char*, bool) {
    if (column != nullptr && *column != 0) columns.emplace_back(column);
  };
  if (!forEachColumnOfTable(name, "get table columns", error, collect)) return std::nullopt;
  return columns;
}

std::optional<std::map<std::string, std::string>> TLMSqliteStore::columnInfoForTableWithName(
    const std::string& name, Error* error) {
  if (name.empty()) {
    TLMStoreSetError(error, TLMStoreErrorBadArgument, "Received empty table name for column info");
    return std::nullopt;
  }
  if (!checkOpen("Get table column info", error)) return std::nullopt;
  std::map<std::string, std::string> info;
  auto collect = [&info](const char* column, const char* type, bool) {
    if (column != nullptr && type != nullptr && *column != 0 && *type != 0) info[column] = type;
  };
  if (!forEachColumnOfTable(name, "get table column info", error, collect)) return std::nullopt;
  return info;
}

bool TLMSqliteStore::forEachColumnOfTable(
    const std::string& name, const char* operation, Error* error,
    const std::function<void(const char* column, const char* type, bool notNull)>& visit) {
  sqlite3_stmt* statement = prepareSQL("PRAGMA table_info(" + name + ")", error);
  if (statement == nullptr) return false;
  int rc;
  while ((rc = stepWaitingForBusyFile(statement)) == SQLITE_ROW) {
    visit(reinterpret_cast<const char*>(sqlite3_column_text(statement, 1)),
          reinterpret_cast<const char*>(sqlite3_column_text(statement, 2)),
          sqlite3_column_int(statement, 3) != 0);
  }
  if (rc != SQLITE_DONE) setDatabaseError(error, operation);
  sqlite3_finalize(statement);
  return rc == SQLITE_DONE;
}

// MARK: - Rows

std::optional<std::int64_t> TLMSqliteStore::rowCountForTableWithName(const std::string& name,
                                                                     Error* error) {
  return rowCountForTableWithName(name, std::string(), Value(), error);
}

std::optional<std::int64_t> TLMSqliteStore::rowCountForTableWithName(const std::string& name,
                                                                     const std::string& columnName,
                                                                     const Value& columnValue,
                                                                     Error* error) {
  if (name.empty()) {
    TLMStoreSetError(error, TLMStoreErrorBadArgument, "Received empty table name for row count");
    return std::nullopt;
  }
  if (!checkOpen("Row count", error)) return std::nullopt;
  std::string query = "SELECT count(1) FROM " + name;
  platform::Array parameters;
  if (!columnName.empty() && !columnValue.isNull()) {
    query += " WHERE " + columnName + "=?";
    parameters.push_back(columnValue);
  }
  auto number = numberForQuery(query, parameters, error);
  if (!number) return std::nullopt;
  return number->int64Value().value_or(0);
}

bool TLMSqliteStore::upsertSQLForRecord(const TLMRecord& record, const std::string& table,
                                        std::string& sql, platform::Array& parameters,
                                        Error* error) {
  if (record.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Received empty record for upsert");
  }
  std::string columns;
  std::string placeholders;
  parameters.clear();
  parameters.reserve(record.size());
  for (const auto& [column, value] : record) {
    if (!isSupportedRecordValue(value)) {
      log(4, 34020, "Record has value of unexpected type", {Value(column)});
      return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Record has value of unexpected type");
    }
    columns += column + ", ";
    placeholders += "?, ";
    parameters.push_back(value);
  }
  columns.resize(columns.size() - 2);
  placeholders.resize(placeholders.size() - 2);
  sql = "INSERT OR REPLACE INTO " + table + " (" + columns + ") VALUES (" + placeholders + ");";
  return true;
}

bool TLMSqliteStore::upsertRecord(const TLMRecord& record, const std::string& table,
                                  Error* error) {
  if (record.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Received empty record for upsert");
  }
  if (table.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Received empty table name for upsert");
  }
  if (!checkOpen("Upsert record", error)) return false;
  std::string sql;
  platform::Array parameters;
  if (!upsertSQLForRecord(record, table, sql, parameters, error)) return false;
  // Every row of a table has the same columns, so one prepared statement serves them all. The
  // parameters share their bytes with the record, which lives until the step is done.
  return changesForQuery(sql, parameters, "execute statement", error).has_value();
}

bool TLMSqliteStore::updateSQLForRecord(const TLMRecord& record, const std::string& table,
                                        const std::string& condition, const platform::Array& conditionValues,
                                        std::string& sql, platform::Array& parameters, Error* error) {
  if (record.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Empty record for update");
  }
  std::string assignments;
  parameters.clear();
  parameters.reserve(record.size() + conditionValues.size());
  for (const auto& [column, value] : record) {
    if (!isSupportedRecordValue(value)) {
      log(4, 34021, "Record has value of unexpected type (update)", {Value(column)});
      return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                              "Failed to bind parameter of unexpected type to update statement");
    }
    assignments += column + "=?,";
    parameters.push_back(value);
  }
  assignments.pop_back();
  parameters.insert(parameters.end(), conditionValues.begin(), conditionValues.end());
  sql = "UPDATE " + table + " SET " + assignments + " WHERE " + condition;
  return true;
}

bool TLMSqliteStore::updateRecord(const TLMRecord& record, const std::string& table,
                                  const std::string& columnName, const Value& columnValue,
                                  Error* error) {
  if (columnName.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Empty column name for update");
  }
  if (columnValue.isNull()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Nil column value for update");
  }
  return updateRecords(record, table, columnName + "=?", {columnValue}, error);
}

bool TLMSqliteStore::updateRecords(const TLMRecord& record, const std::string& table, const std::string& condition,
                                   const platform::Array& conditionValues, Error* error) {
  if (record.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Empty record for update");
  }
  if (table.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Empty table name for update");
  }
  if (condition.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Empty condition for update");
  }
  if (!checkOpen("Update record", error)) return false;
  std::string sql;
  platform::Array parameters;
  if (!updateSQLForRecord(record, table, condition, conditionValues, sql, parameters, error)) return false;
  // As for upserts: the same columns and condition give the same text, so the prepared statement
  // is kept.
  return changesForQuery(sql, parameters, "execute statement", error).has_value();
}

bool TLMSqliteStore::updateAllRecordsInTableWithName(const std::string& table,
                                                     const std::string& columnName,
                                                     const Value& columnValue, Error* error) {
  if (table.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Empty table name for update");
  }
  if (columnName.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Empty column name for update");
  }
  if (columnValue.isNull()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Nil column value for update");
  }
  if (!checkOpen("Update record", error)) return false;
  return changesForQuery("UPDATE " + table + " SET " + columnName + "=?", {columnValue},
                         "update all records value", error)
      .has_value();
}

bool TLMSqliteStore::increaseColumn(const std::string& column, std::int64_t value,
                                    const std::string& table, const std::string& condition,
                                    const platform::Array& parameterValues, Error* error) {
  if (table.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Empty table name for increase column");
  }
  if (column.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Empty column name for increase column");
  }
  if (condition.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Empty condition for increase column");
  }
  if (!checkOpen("Increase column", error)) return false;
  auto info = columnInfoForTableWithName(table, error);
  if (!info) return false;
  auto found = info->find(column);
  if (found == info->end()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Invalid column or table name");
  }
  if (uppercase(found->second) != "INTEGER") {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Column type is not integer.");
  }
  // A null count (a row older than its column) counts from zero.
  const std::string query = "UPDATE " + table + " SET " + column + " = ifnull(" + column +
                            ", 0) + " + std::to_string(value) + " WHERE " + condition;
  return changesForQuery(query, parameterValues, "increase records value", error).has_value();
}

bool TLMSqliteStore::deleteRecordFromTableWithName(const std::string& table,
                                                   const std::string& columnName,
                                                   const Value& columnValue, Error* error) {
  if (table.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Received empty table name for delete record");
  }
  if (columnName.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Received empty column for delete record");
  }
  if (columnValue.isNull()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Received nil value for delete record");
  }
  if (!checkOpen("Delete record", error)) return false;
  sqlite3_stmt* statement =
      prepareSQL("DELETE FROM " + table + " WHERE " + columnName + "=?", error);
  if (statement == nullptr) return false;
  platform::Array parameters{columnValue};
  bool ok = bindValues(parameters, statement, error);
  if (ok) {
    ok = stepWaitingForBusyFile(statement) == SQLITE_DONE;
    if (!ok) setDatabaseError(error, "delete record");
  }
  sqlite3_finalize(statement);
  return ok;
}

std::optional<std::int64_t> TLMSqliteStore::deleteRecordsFromTableWithName(
    const std::string& table, const std::string& condition, const platform::Array& parameterValues,
    Error* error) {
  if (table.empty()) {
    TLMStoreSetError(error, TLMStoreErrorBadArgument,
                     "Received empty table name for delete record");
    return std::nullopt;
  }
  if (condition.empty()) {
    TLMStoreSetError(error, TLMStoreErrorBadArgument,
                     "Received empty condition for delete record");
    return std::nullopt;
  }
  if (!checkOpen("Delete records with condition", error)) return std::nullopt;
  return changesForQuery("DELETE FROM " + table + " WHERE " + condition, parameterValues,
                         "delete records with condition", error);
}

bool TLMSqliteStore::deleteAllRecordsFromTableWithName(const std::string& table, Error* error) {
  if (table.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Received empty table name for delete all records");
  }
  if (!checkOpen("Delete all records", error)) return false;
  return changesForQuery("DELETE FROM " + table, {}, "delete all records", error).has_value();
}

std::optional<TLMRows> TLMSqliteStore::recordsForQuery(const std::string& query,
                                                       const platform::Array& parameterValues,
                                                       Error* error) {
  return recordsForQuery(query, parameterValues, error,
                         [](std::size_t, const TLMRecord&) { return true; });
}

std::optional<TLMRows> TLMSqliteStore::recordsForQuery(const std::string& query,
                                                       const platform::Array& parameterValues,
                                                       Error* error, const TLMRowFilter& filter) {
  if (query.empty()) {
    TLMStoreSetError(error, TLMStoreErrorBadArgument, "Received empty query for records for query");
    return std::nullopt;
  }
  if (!filter) {
    TLMStoreSetError(error, TLMStoreErrorBadArgument, "Received empty filter for selecting records");
    return std::nullopt;
  }
  if (!checkOpen("Query records", error)) return std::nullopt;
  if (lowercase(query.substr(0, 6)) != "select") {
    TLMStoreSetError(error, TLMStoreErrorBadArgument, "Received invalid select query");
    return std::nullopt;
  }
  sqlite3_stmt* statement = statementForQuery(query, parameterValues, error);
  if (statement == nullptr) return std::nullopt;
  StatementCleanup cleanup(*this, statement, query);
  TLMRows rows;
  std::size_t readCount = 0;
  bool stoppedByFilter = false;
  int rc;
  const int columnCount = sqlite3_column_count(statement);
  while ((rc = stepWaitingForBusyFile(statement)) == SQLITE_ROW) {
    TLMRecord row;
    for (int column = 0; column < columnCount; ++column) {
      const char* name = sqlite3_column_name(statement, column);
      if (name == nullptr) {
        log(4, 34003, "Failed to get column name");
        continue;
      }
      auto value = valueAtColumn(column, statement);
      if (!value) {
        log(4, 34004, "Value is nil for column", {Value(name)});
        continue;
      }
      row.set(name, std::move(*value));
    }
    ++readCount;
    if (!filter(rows.size(), row)) {
      stoppedByFilter = true;
      break;
    }
    rows.push_back(std::move(row));
  }
  std::optional<TLMRows> result;
  if (stoppedByFilter || rc == SQLITE_DONE) {
    result = std::move(rows);
    if (readCount > 0 && result->empty()) {
      log(4, 34005, "Database contains records that were all filtered out");
    }
  } else {
    // A read that stops half-way is a failure, not a shorter answer.
    setDatabaseError(error, "query records");
  }
  return result;
}

std::optional<Value> TLMSqliteStore::numberForQuery(const std::string& query,
                                                    const platform::Array& parameterValues,
                                                    Error* error) {
  if (query.empty()) {
    TLMStoreSetError(error, TLMStoreErrorBadArgument, "Received empty query to get numeric result");
    return std::nullopt;
  }
  if (!checkOpen("Query numeric result", error)) return std::nullopt;
  sqlite3_stmt* statement = statementForQuery(query, parameterValues, error);
  if (statement == nullptr) return std::nullopt;
  StatementCleanup cleanup(*this, statement, query);
  std::optional<Value> result;
  int rc = stepWaitingForBusyFile(statement);
  if (rc == SQLITE_ROW) {
    auto value = valueAtColumn(0, statement);
    if (value && (value->isNull() || value->isNumber())) {
      result = std::move(*value);
    } else {
      TLMStoreSetError(error, TLMStoreErrorBadArgument, "Found result that was not numeric");
    }
  } else if (rc == SQLITE_DONE) {
    result = Value();
  } else {
    setDatabaseError(error, "query numeric result");
  }
  return result;
}

std::optional<std::int64_t> TLMSqliteStore::changesForQuery(const std::string& query,
                                                            const platform::Array& parameterValues,
                                                            const char* operation, Error* error) {
  sqlite3_stmt* statement = statementForQuery(query, parameterValues, error);
  if (statement == nullptr) return std::nullopt;
  StatementCleanup cleanup(*this, statement, query);
  std::optional<std::int64_t> result;
  if (stepWaitingForBusyFile(statement) == SQLITE_DONE) {
    result = sqlite3_changes(sqliteHandle_);
  } else {
    setDatabaseError(error, operation);
  }
  return result;
}

int TLMSqliteStore::stepWaitingForBusyFile(sqlite3_stmt* statement) {
  int rc = sqlite3_step(statement);
  bool told = false;
  // A statement that could not take its lock (another connection writes, holds the file or
  // commits) holds none, nor does this connection: it waits however long the other holds the
  // file, as a begin does, stepped again where it stopped. One that already holds a lock (a read
  // under way, a write transaction) fails as before: waiting could keep the other waiting on it.
  while ((rc & 0xff) == SQLITE_BUSY && busyTimeoutMs_ > 0 && isOpen() &&
         sqlite3_txn_state(sqliteHandle_, nullptr) == SQLITE_TXN_NONE) {
    if (!told) log(4, 34027, "Statement waits for another connection that holds the database file");
    told = true;
    rc = sqlite3_step(statement);
  }
  return rc;
}

// MARK: - Transactions

bool TLMSqliteStore::performTransaction(const std::function<bool()>& block) {
  if (!block) {
    log(1, 34006, "Received nil transaction block");
    return false;
  }
  if (!isOpen()) {
    log(1, 34007, "Perform transaction failed. Database not open");
    return false;
  }
  // In a group the transaction is a savepoint of the group's.
  const bool savepoint = groupOpen_;
  if (savepoint ? !beginSavepoint() : !beginWaitingForBusyFile()) {
    log(1, 34008, "Failed to begin transaction",
        {Value(errorDescriptionForDatabaseOperation("begin transaction").value_or(""))});
    return false;
  }
  auto rollback = [&] { return savepoint ? rollbackSavepoint() : rollbackTransaction(); };
  bool ok = false;
  try {
    ok = block();
  } catch (...) {
    if (!rollback()) log(1, 34009, "Failed to rollback transaction after exception");
    throw;
  }
  if (!ok) {
    log(0, 34010, "Transaction failed");
    if (!rollback()) log(1, 34011, "Failed to rollback transaction");
    return false;
  }
  if (!(savepoint ? releaseSavepoint() : endTransaction())) {
    log(1, 34012, "Failed to end transaction");
    // A commit that failed (busy, full disk) can leave the transaction open; it must not
    // outlive this call. (A savepoint's release fails when SQLite rolled the group back.)
    if (!rollback()) log(1, 34011, "Failed to rollback transaction");
    return false;
  }
  return true;
}

bool TLMSqliteStore::beginSavepoint() {
  // Nested (as BEGIN would be), or the group's transaction is gone: its later work must not
  // commit on its own.
  if (savepointOpen_ || sqlite3_get_autocommit(sqliteHandle_) != 0 ||
      !execTransactionStatement("SAVEPOINT tlm_transaction", 34013, "Begin transaction failed. Database not open")) {
    return false;
  }
  savepointOpen_ = true;
  return true;
}

bool TLMSqliteStore::releaseSavepoint() {
  if (!execTransactionStatement("RELEASE tlm_transaction", 34014, "End transaction failed. Database not open")) {
    return false;
  }
  savepointOpen_ = false;
  return true;
}

bool TLMSqliteStore::rollbackSavepoint() {
  savepointOpen_ = false;
  if (!isOpen()) return false;
  if (sqlite3_get_autocommit(sqliteHandle_) != 0) return true;
  return sqlite3_exec(sqliteHandle_, "ROLLBACK TO tlm_transaction; RELEASE tlm_transaction", nullptr, nullptr,
                      nullptr) == SQLITE_OK;
}

bool TLMSqliteStore::beginTransactionGroup() {
  if (!isOpen()) {
    log(1, 34007, "Perform transaction failed. Database not open");
    return false;
  }
  if (groupOpen_ || sqlite3_get_autocommit(sqliteHandle_) == 0) {
    log(1, 34008, "Failed to begin transaction");
    return false;
  }
  if (!beginWaitingForBusyFile()) {
    log(1, 34008, "Failed to begin transaction",
        {Value(errorDescriptionForDatabaseOperation("begin transaction").value_or(""))});
    return false;
  }
  groupOpen_ = true;
  return true;
}

bool TLMSqliteStore::beginWaitingForBusyFile() {
  bool told = false;
  while (!beginTransaction()) {
    // Begun where no transaction is open, so only SQLite refuses it: a file that another
    // connection holds (its write transaction, an exclusive lock, a commit waiting for a reader)
    // is waited for however long it is held, as a busy commit is, and nothing of what the
    // transaction was to write is dropped; anything else fails, with SQLite's reason.
    if (!beginFoundFileBusy()) return false;
    if (!told) log(4, 34026, "Begin waits for another connection that holds the database file");
    told = true;
  }
  return true;
}

bool TLMSqliteStore::commitTransactionGroup() {
  if (!groupOpen_) return false;
  groupOpen_ = false;
  if (!isOpen() || sqlite3_get_autocommit(sqliteHandle_) != 0) return false;
  if (!endTransaction()) {
    // Said with SQLite's reason (a full disk, a busy file), which the rollback below replaces.
    log(1, 34012, "Failed to end transaction",
        {Value(errorDescriptionForDatabaseOperation("end transaction").value_or(""))});
    if (!rollbackTransaction()) log(1, 34011, "Failed to rollback transaction");
    return false;
  }
  return true;
}

bool TLMSqliteStore::rollbackTransactionGroup() {
  if (!groupOpen_) return false;
  groupOpen_ = false;
  if (!isOpen()) return false;
  if (!rollbackTransaction()) {
    log(1, 34011, "Failed to rollback transaction");
    return false;
  }
  return true;
}

bool TLMSqliteStore::isTransactionGroupIntact() const {
  return groupOpen_ && isOpen() && sqlite3_get_autocommit(sqliteHandle_) == 0;
}

bool TLMSqliteStore::performReadTransaction(const std::function<bool()>& block) {
  if (!block) return false;
  // Without a snapshot (closed, or BEGIN refused) every statement takes its own lock, as always.
  if (isOpen() && sqlite3_get_autocommit(sqliteHandle_) != 0) transactionBoundary();
  const bool began = isOpen() && sqlite3_get_autocommit(sqliteHandle_) != 0 &&
                     stepTransactionControl("BEGIN DEFERRED TRANSACTION");
  struct End {
    TLMSqliteStore& store;
    bool began;
    ~End() {
      if (began && !store.stepTransactionControl("COMMIT TRANSACTION")) {
        sqlite3_exec(store.sqliteHandle_, "ROLLBACK TRANSACTION", nullptr, nullptr, nullptr);
      }
    }
  } end{*this, began};
  return block();
}

bool TLMSqliteStore::beginTransaction() {
  transactionBoundary();
  // IMMEDIATE: the write lock (RESERVED) keeps every other writer out until the commit, while
  // readers of other connections go on reading what was committed before; only the commit (or a
  // change too large for the page cache) shuts them out, for as long as it takes.
  writeOpen_ = execTransactionStatement("BEGIN IMMEDIATE TRANSACTION", 34013,
                                        "Begin transaction failed. Database not open");
  return writeOpen_;
}

void TLMSqliteStore::transactionBoundary() {
  ++transactionSerial_;
  writeOpen_ = false;
}

std::uint64_t TLMSqliteStore::writeTransactionID() const {
  // Every transaction this store begins passes transactionBoundary, and a savepoint begins none:
  // while the write one is open, SQLite has not left it (no lock taken, no mutex).
  const bool holds = writeOpen_ && isOpen() && sqlite3_get_autocommit(sqliteHandle_) == 0;
  return holds ? transactionSerial_ : 0;
}

bool TLMSqliteStore::endTransaction() {
  const bool wrote = writeOpen_;
  transactionBoundary();
  bool told = false;
  while (!execTransactionStatement("END TRANSACTION", 34014, "End transaction failed. Database not open")) {
    if (!wrote || !commitFoundFileBusy()) return false;
    // Another connection still reads (a tool's long read transaction, a backup): the commit keeps
    // its transaction and waits for it, however long it reads, rather than dropping what it wrote.
    if (!told) log(4, 34025, "Commit waits for another connection that reads the database file");
    told = true;
  }
  if (wrote) giveTurnIfWaitedFor();
  return true;
}

bool TLMSqliteStore::beginFoundFileBusy() const {
  // This connection holds no lock here (no transaction was open, no read of it under way), so
  // its wait keeps no one out; one that holds a read lock is refused at once, without SQLite's
  // wait, and fails rather than wait for a writer that waits for it.
  return busyTimeoutMs_ > 0 && (lastFailedStepCode_ & 0xff) == SQLITE_BUSY && isOpen() &&
         sqlite3_get_autocommit(sqliteHandle_) != 0 && sqlite3_txn_state(sqliteHandle_, nullptr) == SQLITE_TXN_NONE;
}

bool TLMSqliteStore::commitFoundFileBusy() const {
  // SQLite keeps the transaction open after a COMMIT that could not lock the file, and it may be
  // stepped again; other failures (a full disk, an I/O error) roll it back or stay failures.
  // Without a busy timeout nothing waits, as for every other statement.
  return busyTimeoutMs_ > 0 && (lastFailedStepCode_ & 0xff) == SQLITE_BUSY && isOpen() &&
         sqlite3_get_autocommit(sqliteHandle_) == 0;
}

// MARK: - Turns

int TLMSqliteStore::turnFile() {
  if (!turnTried_) {
    openTurnFile();
    turnTried_ = true;
  }
  return turnFd_;
}

void TLMSqliteStore::openTurnFile() {
  closeTurnFile();
  // Only a regular file of this user's, as for the database; without it waits still work, but a
  // connection that commits again and again does not learn that others wait.
  const std::string path = databasePath_ + "-turn";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
    ::close(fd);
    return;
  }
  turnFd_ = fd;
}

void TLMSqliteStore::closeTurnFile() {
  turnTried_ = false;
  marked_ = false;
  if (turnFd_ < 0) return;
  setTurnLock(turnFd_, F_UNLCK);
  ::close(turnFd_);
  turnFd_ = -1;
}

int TLMSqliteStore::onBusy(void* store, int count) {
  return static_cast<TLMSqliteStore*>(store)->waitForLock(count);
}

int TLMSqliteStore::waitForLock(int count) {
  if (busyTimeoutMs_ <= 0) return 0;
  const std::int64_t now = monotonicNanoseconds();
  const std::uint32_t counter = fileChangeCounter();
  if (count == 0) waitBegan_ = now;
  if (count == 0 || counter != seenCounter_) {
    // Another connection committed: the wait goes on while others make progress.
    seenCounter_ = counter;
    lastProgress_ = now;
  }
  const std::int64_t timeout = static_cast<std::int64_t>(busyTimeoutMs_) * 1'000'000;
  if (now - lastProgress_ >= timeout || now - waitBegan_ >= timeout * kMostBusyTimeoutsWaited) {
    letGoOfMark();
    return 0;
  }
  if (!marked_) {
    const int turn = turnFile();
    marked_ = turn >= 0 && setTurnLock(turn, F_RDLCK);
  }
  sleepMicroseconds(waitStepMicroseconds(count));
  if (!markKept_) letGoOfMark();
  return 1;
}

void TLMSqliteStore::letGoOfMark() {
  if (std::exchange(marked_, false) && turnFd_ >= 0) setTurnLock(turnFd_, F_UNLCK);
}

long TLMSqliteStore::waitStepMicroseconds(int count) {
  return count < kFirstWaitSteps   ? kFirstWaitStepMicroseconds
         : count < kShortWaitSteps ? kWaitStepMicroseconds
                                   : kLongWaitStepMicroseconds;
}

long TLMSqliteStore::turnGivenMicroseconds() { return static_cast<long>(turnGivenNanoseconds.load() / 1000); }

void TLMSqliteStore::setTurnGivenMicroseconds(long microseconds) {
  constexpr std::int64_t kLongestMicroseconds = std::int64_t{1} << 40;  // about twelve days
  turnGivenNanoseconds.store(microseconds > 0 ? std::min<std::int64_t>(microseconds, kLongestMicroseconds) * 1000
                                              : kTurnGivenNanoseconds);
}

void TLMSqliteStore::giveTurnIfWaitedFor() {
  const int turn = turnFile();
  if (turn < 0 || !someoneWaits(turn)) return;
  const std::int64_t until = monotonicNanoseconds() + turnGivenNanoseconds.load(std::memory_order_relaxed);
  const std::uint32_t committed = fileChangeCounter();
  // A waiter for a begin or a commit keeps its mark until it has the lock; one for a read lets go
  // of it for a moment at each step: two probes in a row find it gone.
  int unmarked = 0;
  while (monotonicNanoseconds() < until) {
    sleepMicroseconds(kFirstWaitStepMicroseconds);
    if (writeLockHeld() || fileChangeCounter() != committed) return;
    unmarked = someoneWaits(turn) ? 0 : unmarked + 1;
    if (unmarked >= 2) return;
  }
}

std::uint32_t TLMSqliteStore::fileChangeCounter() const {
  // Read past SQLite's locks on purpose: a change is all that counts, a torn read is one too.
  unsigned char bytes[4] = {0, 0, 0, 0};
  if (file_ == nullptr || file_->pMethods->xRead(file_, bytes, 4, 24) != SQLITE_OK) return 0;
  return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) | (std::uint32_t{bytes[2]} << 8) | bytes[3];
}

bool TLMSqliteStore::writeLockHeld() const {
  int held = 0;
  return file_ != nullptr && file_->pMethods->xCheckReservedLock(file_, &held) == SQLITE_OK && held != 0;
}

bool TLMSqliteStore::execTransactionStatement(const char* sql, int notOpenCode,
                                              const char* notOpenMessage) {
  if (!isOpen()) {
    log(1, notOpenCode, notOpenMessage);
    return false;
  }
  const bool ok = stepTransactionControl(sql);
  if (!ok) recordFailure(sqlite3_extended_errcode(sqliteHandle_));
  return ok;
}

bool TLMSqliteStore::stepTransactionControl(const char* sql) {
  // Every event begins and ends transactions: their statements are prepared once and kept.
  sqlite3_stmt* statement = statementForQuery(sql, nullptr);
  if (statement == nullptr) return false;
  // A begin or a commit that waits for another connection keeps its mark from its first step of
  // waiting until it has the lock (or gives up): a committer looking for it between two steps
  // finds it however long the waiter takes to run again.
  struct MarkKept {
    TLMSqliteStore& store;
    explicit MarkKept(TLMSqliteStore& kept) : store(kept) { store.markKept_ = true; }
    ~MarkKept() {
      store.markKept_ = false;
      store.letGoOfMark();
    }
  };
  int rc = SQLITE_OK;
  {
    MarkKept kept(*this);
    rc = sqlite3_step(statement);
  }
  sqlite3_reset(statement);
  return rc == SQLITE_DONE;
}

bool TLMSqliteStore::rollbackTransaction() {
  if (!isOpen()) {
    log(1, 34015, "Rollback transaction failed. Database not open");
    return false;
  }
  transactionBoundary();
  // SQLite already rolled back on some errors (full disk, I/O): nothing is left to undo.
  if (sqlite3_get_autocommit(sqliteHandle_) != 0) return true;
  // The failure that led here stays the recorded one, whatever the rollback answers.
  return sqlite3_exec(sqliteHandle_, "ROLLBACK", nullptr, nullptr, nullptr) == SQLITE_OK;
}

// MARK: - Statements

sqlite3_stmt* TLMSqliteStore::statementForQuery(const std::string& query, Error* error) {
  return statementForQuery(query, platform::Array(), error);
}

sqlite3_stmt* TLMSqliteStore::statementForQuery(const std::string& query,
                                                const platform::Array& parameterValues,
                                                Error* error) {
  abandonIfInherited();
  auto cached = statementCache_.find(query);
  if (cached != statementCache_.end()) {
    if (!parameterValues.empty() && !bindValues(parameterValues, cached->second, error)) {
      sqlite3_clear_bindings(cached->second);
      return nullptr;
    }
    return cached->second;
  }
  if (!checkOpen("Statement for query", error)) return nullptr;
  bool cache;
  if (query.find('?') != std::string::npos) {
    if (parameterValues.empty()) {
      TLMStoreSetError(error, TLMStoreErrorBadArgument, "Received empty parameters");
      return nullptr;
    }
    cache = true;
  } else {
    // Literal values in a WHERE clause make the text one-off: such statements are not kept.
    cache = lowercase(query).find("where") == std::string::npos || keptQueries_.count(query) != 0;
  }
  sqlite3_stmt* statement = prepareSQL(query, error);
  if (statement == nullptr) return nullptr;
  if (cache) statementCache_[query] = statement;
  if (!parameterValues.empty() && !bindValues(parameterValues, statement, error)) {
    if (cache) {
      sqlite3_clear_bindings(statement);
    } else {
      sqlite3_finalize(statement);
    }
    return nullptr;
  }
  return statement;
}

void TLMSqliteStore::cleanUpStatement(sqlite3_stmt* statement, const std::string& query) {
  if (statement == nullptr) return;
  auto cached = statementCache_.find(query);
  if (cached != statementCache_.end()) {
    if (cached->second != statement) {
      // The statement may be cached under another text: finalizing it here would leave the
      // cache holding a dead statement.
      log(4, 34016, "Statement is not the same one in the cache");
    }
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    return;
  }
  sqlite3_finalize(statement);
}

sqlite3_stmt* TLMSqliteStore::prepareSQL(const std::string& sql, Error* error) {
  if (sql.empty()) {
    TLMStoreSetError(error, TLMStoreErrorBadArgument, "Received empty SQL string to prepare");
    return nullptr;
  }
  if (!checkOpen("Prepare SQL", error)) return nullptr;
  sqlite3_stmt* statement = nullptr;
  const char* tail = nullptr;
  int rc = sqlite3_prepare_v3(sqliteHandle_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT,
                              &statement, &tail);
  if (rc != SQLITE_OK) {
    setDatabaseError(error, "prepare statement");
    sqlite3_finalize(statement);
    return nullptr;
  }
  if (tail != nullptr && *tail != 0) {
    sqlite3_finalize(statement);
    TLMStoreSetError(error, TLMStoreErrorBadArgument,
                     "Query contained more than one SQL statement.");
    return nullptr;
  }
  return statement;
}

bool TLMSqliteStore::executeSQL(const std::string& sql, Error* error) {
  if (sql.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Received empty SQL string to execute");
  }
  if (!checkOpen("Execute SQL", error)) return false;
  sqlite3_stmt* statement = prepareSQL(sql, error);
  if (statement == nullptr) return false;
  return executeSQLStatement(statement, error);
}

bool TLMSqliteStore::executeSQLStatement(sqlite3_stmt* statement, Error* error) {
  if (statement == nullptr) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Execute SQL statement failed. Statement is NULL.");
  }
  if (!checkOpen("Execute SQL statement", error)) {
    sqlite3_finalize(statement);
    return false;
  }
  bool ok = stepWaitingForBusyFile(statement) == SQLITE_DONE;
  if (!ok) setDatabaseError(error, "execute statement");
  sqlite3_finalize(statement);
  return ok;
}

bool TLMSqliteStore::bindValues(const platform::Array& values, sqlite3_stmt* statement,
                                Error* error) {
  if (statement == nullptr) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Failed to bind to NULL statement");
  }
  static const char kEmpty[1] = {0};
  sqlite3_clear_bindings(statement);
  bool ok = true;
  for (std::size_t index = 0; index < values.size(); ++index) {
    const Value& value = values[index];
    const int position = static_cast<int>(index) + 1;
    int rc;
    if (const platform::Bytes* bytes = value.dataPtr()) {
      // An empty blob is still a blob, not NULL.
      const void* data = bytes->empty() ? static_cast<const void*>(kEmpty) : bytes->data();
      rc = sqlite3_bind_blob(statement, position, data, static_cast<int>(bytes->size()),
                             SQLITE_STATIC);
    } else if (value.isNumber()) {
      if (value.isFloatingPoint()) {
        rc = sqlite3_bind_double(statement, position, value.doubleValue().value_or(0));
      } else {
        rc = sqlite3_bind_int64(statement, position, value.int64Value().value_or(0));
      }
    } else if (const std::string* text = value.stringPtr()) {
      rc = sqlite3_bind_text(statement, position, text->c_str(), static_cast<int>(text->size()),
                             SQLITE_TRANSIENT);
    } else if (value.isNull()) {
      rc = sqlite3_bind_null(statement, position);
    } else {
      rc = SQLITE_MISMATCH;
    }
    if (rc != SQLITE_OK) {
      setDatabaseError(error, "bind values");
      ok = false;
    }
  }
  return ok;
}

std::optional<Value> TLMSqliteStore::valueAtColumn(int column, sqlite3_stmt* statement) {
  switch (sqlite3_column_type(statement, column)) {
    case SQLITE_INTEGER:
      return Value(static_cast<std::int64_t>(sqlite3_column_int64(statement, column)));
    case SQLITE_FLOAT:
      return Value(sqlite3_column_double(statement, column));
    case SQLITE_TEXT: {
      const unsigned char* text = sqlite3_column_text(statement, column);
      if (text == nullptr) return std::nullopt;
      return Value(std::string(reinterpret_cast<const char*>(text),
                               static_cast<std::size_t>(sqlite3_column_bytes(statement, column))));
    }
    case SQLITE_BLOB: {
      const void* blob = sqlite3_column_blob(statement, column);
      int length = sqlite3_column_bytes(statement, column);
      if (blob == nullptr) {
        // A zero-length blob has no pointer; anything else without one is an allocation failure.
        if (length == 0 && sqlite3_errcode(sqliteHandle_) != SQLITE_NOMEM) {
          return Value(platform::Bytes());
        }
        return std::nullopt;
      }
      return Value::data(blob, static_cast<std::size_t>(length));
    }
    default:
      return Value();
  }
}

// MARK: - Diagnostics

std::optional<std::string> TLMSqliteStore::lastErrorMessage() {
  if (!isOpen()) {
    log(1, 34022, "Failed to get last error message. Database not open");
    return std::nullopt;
  }
  return std::string(sqlite3_errmsg(sqliteHandle_));
}

std::optional<std::string> TLMSqliteStore::errorDescriptionForDatabaseOperation(
    const std::string& operation) {
  if (!isOpen()) return std::nullopt;
  return "Database operation \"" + operation + "\" failed with sqlite code " +
         std::to_string(sqlite3_errcode(sqliteHandle_)) + " and error message \"" +
         sqlite3_errmsg(sqliteHandle_) + "\"";
}

std::string TLMSqliteStore::monitorContextForDatabaseOperation(const std::string& operation) {
  std::string context = operation.empty() ? "Unknown operation" : operation;
  context += ",";
  context += std::to_string(isOpen() ? sqlite3_errcode(sqliteHandle_) : 0);
  context += ",";
  context += ::access(databasePath_.c_str(), W_OK) == 0 ? "A" : "NA";
  context += ",";
  struct statvfs info;
  std::string directory = fs::path(databasePath_).parent_path().string();
  if (::statvfs(directory.empty() ? "." : directory.c_str(), &info) == 0) {
    double freeMiB = static_cast<double>(info.f_bavail) * static_cast<double>(info.f_frsize) /
                     (1024.0 * 1024.0);
    context += freeMiB >= 1.0 ? std::to_string(static_cast<long long>(std::floor(std::log10(freeMiB))))
                              : std::string("-1");
  }
  return context;
}

bool TLMSqliteStore::lastErrorIsTransient() const {
  switch (lastFailedStepCode_ & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_IOERR:
    case SQLITE_PERM:
    case SQLITE_READONLY:
    case SQLITE_FULL:
    case SQLITE_CANTOPEN:
    case SQLITE_NOMEM:
      return true;
    default:
      return false;
  }
}

bool TLMSqliteStore::lastErrorIsDamage() const { return isDamageCode(lastFailedStepCode_); }

void TLMSqliteStore::setBusyTimeoutMilliseconds(int milliseconds) {
  busyTimeout.store(std::max(0, milliseconds));
}

int TLMSqliteStore::busyTimeoutMilliseconds() { return busyTimeout.load(); }

void TLMSqliteStore::setDatabaseError(Error* error, const std::string& operation) {
  // Called right after the failing call, so the connection still holds that call's code.
  if (isOpen()) recordFailure(sqlite3_extended_errcode(sqliteHandle_));
  if (error == nullptr) return;
  auto description = errorDescriptionForDatabaseOperation(operation);
  TLMStoreSetError(error, TLMStoreErrorSQLite,
                   description.value_or("Database operation \"" + operation + "\" failed"),
                   monitorContextForDatabaseOperation(operation));
}
