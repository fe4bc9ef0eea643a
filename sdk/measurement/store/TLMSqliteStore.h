// A thin layer over one SQLite database file: opening with an integrity check (a damaged file is
// deleted and recreated), table creation and repair from column lists, insert-or-replace,
// update, delete, count and select statements built from records, a cache of prepared
// statements, and write transactions that take turns with the app's other processes.
//
// Records and rows are dictionaries from column name to value: strings, numbers (integers
// unless the number holds a floating-point value), bytes and null. Parameter lists bind in
// order to the "?" of a query. Bytes are bound without a copy: they must stay alive until the
// statement has been stepped.
//
// Not thread-safe: one serial user (the measurement worker queue).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "foundation/Error.h"
#include "foundation/Value.h"
#include "measurement/store/TLMStoreServices.h"

struct sqlite3;
struct sqlite3_stmt;
struct sqlite3_file;

// Ordered (name, type) pairs. An entry named "PRIMARY KEY" is a table-level key clause such as
// "(audience_id, filter_id)"; it goes into the create statement but is not a column.
using TLMColumnInfo = std::vector<std::pair<std::string, std::string>>;
// Column name to new declared type.
using TLMColumnModifications = std::map<std::string, std::string>;
using TLMRecord = platform::Dictionary;
using TLMRows = std::vector<platform::Dictionary>;
// Select filter: number of rows kept so far and the row; false stops the select.
using TLMRowFilter = std::function<bool(std::size_t acceptedCount, const TLMRecord& row)>;

inline constexpr const char* kTLMPrimaryKeyColumnName = "PRIMARY KEY";

class TLMSqliteStore {
 public:
  // Opens (creating directory and file when needed) and validates the file; a damaged file is
  // deleted and recreated once. Null when the path is empty or the database cannot be opened.
  // `monitor` must outlive the store; null means the library-wide monitor.
  static std::unique_ptr<TLMSqliteStore> initWithDatabasePath(const std::string& path,
                                                              TLMStoreMonitor* monitor);
  // A store on `path` that stays closed: every operation fails with "Database not open".
  static std::unique_ptr<TLMSqliteStore> closedStoreWithPath(const std::string& path,
                                                             TLMStoreMonitor* monitor);
  // The connection settings every store applies to its handle after opening it (today SQLite's
  // defaults: rollback journal deleted after each commit, synchronous FULL); the benchmarks'
  // plain baseline applies the same.
  static void applyConnectionSettings(sqlite3* handle);
  ~TLMSqliteStore();
  TLMSqliteStore(const TLMSqliteStore&) = delete;
  TLMSqliteStore& operator=(const TLMSqliteStore&) = delete;

  const std::string& databasePath() const { return databasePath_; }
  sqlite3* sqliteHandle() const { return sqliteHandle_; }

  // Finalizes every cached statement and closes the connection (in a child made by fork(),
  // only forgets the parent's).
  void closeDatabase();
  // Closes, then deletes the file and its journal companions. True when nothing was left.
  bool closeAndDeleteDatabase(platform::Error* error = nullptr);
  bool openAndValidateDatabase(platform::Error* error);
  // True only when "PRAGMA integrity_check" answers "ok".
  bool validateDatabaseWithError(platform::Error* error);

  // Tables.
  bool ensureTableWithName(const std::string& name, const TLMColumnInfo& elementary,
                           const TLMColumnInfo& addOn, const TLMColumnModifications& modify,
                           platform::Error* error);
  bool ensureTableWithName(const std::string& name, const TLMColumnInfo& elementary,
                           const TLMColumnInfo& addOn, platform::Error* error);
  // `addOnColumns`: column name to the ALTER statement that adds it.
  bool ensureTableWithName(const std::string& name, const std::string& createSQL,
                           const std::vector<std::string>& requiredColumnNames,
                           const std::vector<std::pair<std::string, std::string>>& addOnColumns,
                           platform::Error* error);
  bool ensureSchemaOfTableWithName(const std::string& name, const TLMColumnInfo& elementary,
                                   const TLMColumnInfo& addOn, platform::Error* error);
  std::optional<bool> validateTableWithName(
      const std::string& name, const std::vector<std::string>& requiredColumnNames,
      const std::vector<std::pair<std::string, std::string>>& addOnColumns, platform::Error* error);
  std::optional<bool> tableExists(const std::string& name, platform::Error* error);
  bool dropTableWithName(const std::string& name, platform::Error* error);
  bool renameTable(const std::string& oldName, const std::string& newName, platform::Error* error);
  // Copies every row of `source` into `destination` by the destination's column names (those the
  // source also has), in rowid order.
  bool copyContentsFromTable(const std::string& source, const std::string& destination,
                             platform::Error* error);
  std::optional<std::vector<std::string>> columnsForTableWithName(const std::string& name,
                                                                  platform::Error* error);
  std::optional<std::map<std::string, std::string>> columnInfoForTableWithName(
      const std::string& name, platform::Error* error);

  // Rows.
  std::optional<std::int64_t> rowCountForTableWithName(const std::string& name,
                                                       platform::Error* error);
  std::optional<std::int64_t> rowCountForTableWithName(const std::string& name,
                                                       const std::string& columnName,
                                                       const platform::Value& columnValue,
                                                       platform::Error* error);
  bool upsertRecord(const TLMRecord& record, const std::string& table, platform::Error* error);
  bool updateRecord(const TLMRecord& record, const std::string& table,
                    const std::string& columnName, const platform::Value& columnValue,
                    platform::Error* error);
  // The record's columns set, in one statement, on the rows that meet `condition` (its `?`
  // bound to `conditionValues`, in order).
  bool updateRecords(const TLMRecord& record, const std::string& table, const std::string& condition,
                     const platform::Array& conditionValues, platform::Error* error);
  bool updateAllRecordsInTableWithName(const std::string& table, const std::string& columnName,
                                       const platform::Value& columnValue, platform::Error* error);
  bool increaseColumn(const std::string& column, std::int64_t value, const std::string& table,
                      const std::string& condition, const platform::Array& parameterValues,
                      platform::Error* error);
  bool deleteRecordFromTableWithName(const std::string& table, const std::string& columnName,
                                     const platform::Value& columnValue, platform::Error* error);
  // Number of deleted rows.
  std::optional<std::int64_t> deleteRecordsFromTableWithName(const std::string& table,
                                                             const std::string& condition,
                                                             const platform::Array& parameterValues,
                                                             platform::Error* error);
  bool deleteAllRecordsFromTableWithName(const std::string& table, platform::Error* error);
  std::optional<TLMRows> recordsForQuery(const std::string& query,
                                         const platform::Array& parameterValues,
                                         platform::Error* error);
  std::optional<TLMRows> recordsForQuery(const std::string& query,
                                         const platform::Array& parameterValues,
                                         platform::Error* error, const TLMRowFilter& filter);
  // First column of the first row: a number, or a null Value for SQL null or no row; nullopt
  // on failure.
  std::optional<platform::Value> numberForQuery(const std::string& query,
                                                const platform::Array& parameterValues,
                                                platform::Error* error);

  // Transactions (they do not nest: a nested call fails at BEGIN). Inside a transaction group
  // the transaction is a savepoint of the group's transaction: a block that fails undoes only
  // its own changes, as its own transaction would, but what it wrote is kept only when the group
  // commits. Outside one, a begin that finds the file busy waits as a group's does (34026 once);
  // a begin that fails says SQLite's reason (34008).
  bool performTransaction(const std::function<bool()>& block);
  // Transaction groups: the transactions made between beginTransactionGroup and
  // commitTransactionGroup are committed at once (one write transaction, one commit). A group
  // begins only outside any transaction; false (34008) when it cannot. A begin that finds the
  // file busy (another connection writes or holds it) waits as long as the other holds it (34026
  // said once), as a busy commit does; without a busy timeout it fails at once.
  bool beginTransactionGroup();
  // Ends the group. True when its transaction committed (after waiting, when the file was busy:
  // see endTransaction); false when the commit failed (it is rolled back) or SQLite had already rolled it back after a failing step: then none of the
  // group's changes stayed. False when no group was open.
  bool commitTransactionGroup();
  // Ends the group without keeping any of its changes. False when no group was open.
  bool rollbackTransactionGroup();
  // Whether a group is open and still holds its transaction (a failing step can make SQLite roll
  // the transaction back; the group's later transactions then fail at once).
  bool isTransactionGroupIntact() const;
  bool isTransactionGroupOpen() const { return groupOpen_; }
  // Runs `block`, whose statements only read, on one snapshot of the file: one lock for all of
  // them instead of one per statement. Inside a transaction the block just runs. Returns the
  // block's result.
  bool performReadTransaction(const std::function<bool()>& block);
  bool beginTransaction();
  // Commits. A commit that finds the file busy (another connection reads it) waits as long as
  // the other reads, its transaction kept (34025 said once); other failures fail it.
  bool endTransaction();
  bool rollbackTransaction();
  // The write transaction this connection holds (begun by beginTransaction or a group, and not
  // rolled back by SQLite since): no other connection writes to the file until it ends (others
  // may read what was committed before it, up to its commit). Never the same for two
  // transactions; 0 outside one.
  std::uint64_t writeTransactionID() const;

  // Statements.
  sqlite3_stmt* statementForQuery(const std::string& query, platform::Error* error);
  sqlite3_stmt* statementForQuery(const std::string& query, const platform::Array& parameterValues,
                                  platform::Error* error);
  void cleanUpStatement(sqlite3_stmt* statement, const std::string& query);
  sqlite3_stmt* prepareSQL(const std::string& sql, platform::Error* error);
  bool executeSQL(const std::string& sql, platform::Error* error);
  // Steps once and finalizes; true when the step finished the statement.
  bool executeSQLStatement(sqlite3_stmt* statement, platform::Error* error);
  bool bindValues(const platform::Array& values, sqlite3_stmt* statement, platform::Error* error);
  // One column of the current row; nullopt when a text or blob column yields no pointer.
  std::optional<platform::Value> valueAtColumn(int column, sqlite3_stmt* statement);
  // The insert-or-replace text for the record's columns and the values to bind, in order.
  bool upsertSQLForRecord(const TLMRecord& record, const std::string& table, std::string& sql,
                          platform::Array& parameters, platform::Error* error);
  // The update text setting the record's columns on the rows that meet `condition`, and the
  // values to bind, in order (the record's, then `conditionValues`).
  bool updateSQLForRecord(const TLMRecord& record, const std::string& table, const std::string& condition,
                          const platform::Array& conditionValues, std::string& sql, platform::Array& parameters,
                          platform::Error* error);

  // Diagnostics.
  std::optional<std::string> lastErrorMessage();
  std::optional<std::string> errorDescriptionForDatabaseOperation(const std::string& operation);
  std::string monitorContextForDatabaseOperation(const std::string& operation);
  void setDatabaseError(platform::Error* error, const std::string& operation);

  // Whether the SQLite step that failed last was a passing condition (busy, locked, I/O,
  // permission, read-only, full disk, out of memory) rather than a problem of the file itself.
  // The answer comes from the code kept when that step failed: calls that succeed after it (the
  // rollback of its transaction, for one) do not change it.
  bool lastErrorIsTransient() const;

  // Whether the SQLite step that failed last showed a damaged file (corrupt, or not a database).
  bool lastErrorIsDamage() const;

  // How long an open or a statement waits for a lock that another connection holds before it
  // fails as busy, counted from the last commit another connection made to the file (while others
  // commit, it waits its turn, up to ten times as long); a begin, a commit and a statement of a
  // connection that holds no lock then wait on, as long as the other holds the file. Applies to
  // connections opened afterwards; three seconds unless changed; 0: no wait, a busy file fails at
  // once.
  static void setBusyTimeoutMilliseconds(int milliseconds);
  static int busyTimeoutMilliseconds();
  // The sleep of a waiting connection at its `count`th step, and the longest a connection that
  // has committed lets a waiter in: a waiter must wake within that pause to take its turn.
  static long waitStepMicroseconds(int count);
  static long turnGivenMicroseconds();
  // Sets that pause for the process's connections (0 or less: the default, 50 ms). Tests make it
  // longer than any wait for a processor, so that a waiter that wakes late still takes its turn.
  static void setTurnGivenMicroseconds(long microseconds);

  // Number of statements held by the cache (for tests and diagnostics).
  std::size_t cachedStatementCount() const { return statementCache_.size(); }
  // A query without placeholders whose WHERE clause is fixed text: its statement is kept in the
  // cache like those with placeholders (others with literal WHERE values are one-off).
  void keepPreparedStatement(const std::string& query) { keptQueries_.insert(query); }

 private:
  TLMSqliteStore(std::string path, TLMStoreMonitor* monitor);
  void log(int level, int code, const std::string& message,
           const std::vector<platform::Value>& context = {});
  // Open in this process: a child made by fork() never uses the connection it inherited (SQLite
  // forbids it), so there the store is closed.
  bool isOpen() const;
  // In a child made by fork(): lets go of the inherited connection and statements without
  // closing or finalizing them (that would act on the parent's connection).
  void abandonIfInherited();
  // True when the database is open; else fills `error` with "<operation> failed. Database not
  // open." (code 2) and answers false.
  bool checkOpen(const char* operation, platform::Error* error);
  // Walks "PRAGMA table_info" of the table: `visit` gets each column's name, declared type (either
  // may be null) and whether it is NOT NULL. False, with the SQLite error of `operation`, when
  // the walk fails.
  bool forEachColumnOfTable(
      const std::string& name, const char* operation, platform::Error* error,
      const std::function<void(const char* column, const char* type, bool notNull)>& visit);
  // Runs a write statement once (through the statement cache): the number of rows it changed,
  // or nullopt with the SQLite error of `operation`.
  std::optional<std::int64_t> changesForQuery(const std::string& query,
                                              const platform::Array& parameterValues,
                                              const char* operation, platform::Error* error);
  // Whether the last open/validate failure showed a damaged file (rather than a transient
  // failure such as a busy, locked, unreadable or unwritable file).
  bool lastFailureWasDamage_ = false;
  // Keeps the SQLite result code of a step that just failed.
  void recordFailure(int code) { lastFailedStepCode_ = code; }
  // BEGIN / END: logs `notOpenMessage` when closed, records the failing step's code.
  // Steps a kept BEGIN / END / COMMIT statement; true when it finished.
  bool stepTransactionControl(const char* sql);
  // Whether the COMMIT that just failed found the file busy and left its transaction open.
  bool commitFoundFileBusy() const;
  // Whether the BEGIN that just failed found the file busy, with no transaction left open.
  bool beginFoundFileBusy() const;
  // BEGIN IMMEDIATE, stepped again while the file is busy (34026 said once): false only for a
  // failure that waiting cannot mend, or without a busy timeout.
  bool beginWaitingForBusyFile();
  // sqlite3_step of a statement of the store's: one that finds the file busy while this
  // connection holds no lock of it is stepped again until it takes its lock (34027 said once),
  // however long another connection holds the file; without a busy timeout it fails at once.
  int stepWaitingForBusyFile(sqlite3_stmt* statement);
  bool execTransactionStatement(const char* sql, int notOpenCode, const char* notOpenMessage);
  // SQLite result code of the last failed step since the database was opened (0 when none).
  int lastFailedStepCode_ = 0;
  // The savepoint of a transaction inside a group: begin, release, and undo and end (nothing
  // to undo when SQLite already rolled the group's transaction back).
  bool beginSavepoint();
  bool releaseSavepoint();
  bool rollbackSavepoint();
  bool groupOpen_ = false;
  bool savepointOpen_ = false;
  // Counts the transactions begun and ended (not their savepoints); whether the one open was
  // begun to write.
  std::uint64_t transactionSerial_ = 0;
  bool writeOpen_ = false;
  void transactionBoundary();

  // Turns on the file. A connection that waits for another's lock sleeps in short steps and,
  // while it sleeps, holds a shared lock on the first byte of the side file "<database>-turn" (a
  // begin's or a commit's wait, between its steps too, until the statement ends);
  // one that has committed while someone waits there lets the waiter in before it begins again.
  // SQLite's busy handler of the connection: `count` calls so far in this wait; 0 to give up.
  static int onBusy(void* store, int count);
  int waitForLock(int count);
  // After a commit: while another connection waits and has not yet taken its turn (begun to
  // write or committed), up to a short bound.
  void giveTurnIfWaitedFor();
  // The file change counter in the database header (every commit changes it); 0 when unread.
  std::uint32_t fileChangeCounter() const;
  // Whether some connection holds the file's write lock (RESERVED or above).
  bool writeLockHeld() const;
  // The side file, opened at its first need (a wait, or a commit that wrote), once a connection:
  // a process that only reads, or opens the store and ends, makes no system call for it.
  int turnFile();
  void openTurnFile();
  void closeTurnFile();
  int turnFd_ = -1;
  bool turnTried_ = false;
  // Whether this connection holds its mark, and whether its wait keeps it across its steps.
  bool marked_ = false;
  bool markKept_ = false;
  void letGoOfMark();
  sqlite3_file* file_ = nullptr;  // the database file of the connection, for the two above
  int busyTimeoutMs_ = 0;         // as set when the connection opened
  std::int64_t waitBegan_ = 0;    // of the current wait, monotonic nanoseconds
  std::int64_t lastProgress_ = 0;  // the last change of the counter seen in it
  std::uint32_t seenCounter_ = 0;

  std::string databasePath_;
  sqlite3* sqliteHandle_ = nullptr;
  std::uint64_t openedIn_ = 0;  // the process that opened the connection (ProcessInfo::forks)
  std::map<std::string, sqlite3_stmt*> statementCache_;
  std::set<std::string> keptQueries_;
  TLMStoreMonitor* monitor_;
};
