#include <sys/wait.h>
#include <unistd.h>

#include <string_view>

#include "StoreTestSupport.h"
#include "foundation/Files.h"
#include "foundation/Sandbox.h"
#include "measurement/store/TLMDatabase.h"

using platform::Error;
using platform::Value;

namespace {

class TLMDatabaseSchemaTest : public StoreFixture {
 protected:
  std::unique_ptr<TLMDatabase> open() {
    return TLMDatabase::initWithDatabasePath(path, settings, &monitor);
  }
  std::string path = dir.file(kTLMDatabaseFileName);
  std::shared_ptr<TLMStoreDefaultSettings> settings = std::make_shared<TLMStoreDefaultSettings>();
};

TEST_F(TLMDatabaseSchemaTest, FreshFileHasEveryTableAndOneMetadataRow) {
  auto database = open();
  ASSERT_TRUE(database);
  RawDatabase raw(path);
  EXPECT_EQ(raw.column("SELECT name FROM sqlite_master WHERE type='table' ORDER BY name").size(), 12u);
  EXPECT_EQ(raw.scalar("SELECT count(*) FROM app_metadata"), "1");
  EXPECT_EQ(raw.scalar("SELECT rowid || ',' || last_bundle_index FROM app_metadata"), "1,0");
  EXPECT_EQ(raw.scalar("SELECT type FROM pragma_table_info('raw_events') WHERE name='timestamp'"),
            "REAL");
  EXPECT_EQ(raw.scalar("SELECT count(*) FROM pragma_table_info('event_filters') WHERE pk > 0"), "2");
  // Opening again adds no second row.
  database.reset();
  ASSERT_TRUE(open());
  EXPECT_EQ(raw.scalar("SELECT count(*) FROM app_metadata"), "1");
  EXPECT_TRUE(TLMDatabase::initWithDatabaseName("", settings, &monitor) == nullptr);
  EXPECT_TRUE(monitor.contains(12000));
}

TEST_F(TLMDatabaseSchemaTest, OlderSchemaGainsAddOnColumnsAndKeepsItsRows) {
  {
    RawDatabase raw(path);
    raw.exec("CREATE TABLE app_metadata (last_bundle_index INTEGER NOT NULL, "
             "last_bundle_end_timestamp REAL NOT NULL)");
    raw.exec("INSERT INTO app_metadata VALUES (41, 12.5)");
    raw.exec("CREATE TABLE raw_events (name TEXT NOT NULL, timestamp INTEGER NOT NULL, "
             "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL)");
    raw.exec("INSERT INTO raw_events VALUES ('a', 1700000000, 5, x'01')");
    raw.exec("INSERT INTO raw_events VALUES ('b', 1700000001, 5, x'02')");
    raw.exec("CREATE TABLE queue (data BLOB NOT NULL, bundle_end_timestamp REAL NOT NULL)");
    raw.exec("INSERT INTO queue VALUES (x'0102', 99.0)");
  }
  auto database = open();
  ASSERT_TRUE(database);
  RawDatabase raw(path);
  EXPECT_EQ(raw.scalar("SELECT last_bundle_index || ',' || last_bundle_end_timestamp || ',' || "
                       "ifnull(day, 'none') FROM app_metadata"),
            "41,12.5,none");
  EXPECT_EQ(raw.column("SELECT name || ':' || typeof(timestamp) FROM raw_events ORDER BY rowid"),
            (std::vector<std::string>{"a:real", "b:real"}));
  EXPECT_EQ(raw.scalar("SELECT ifnull(retry_count, 'null') || ',' || ifnull(claimed_by, 'null') FROM queue"),
            "null,null");
  EXPECT_EQ(raw.scalar("SELECT count(*) FROM pragma_table_info('app_metadata')"), "14");
  EXPECT_EQ(database->containsReportMark(kTLMSearchAdCampaignReportedColumn, nullptr), std::optional<bool>(false));
  // A mark holding a version holds that one only.
  const TLMReportMark update(kTLMAppUpdateVersionColumn, Value("2.0"));
  EXPECT_EQ(database->containsReportMark(update, nullptr), std::optional<bool>(false));
  ASSERT_TRUE(database->setReportMark(update, nullptr));
  EXPECT_EQ(database->containsReportMark(update, nullptr), std::optional<bool>(true));
  EXPECT_EQ(database->containsReportMark({kTLMAppUpdateVersionColumn, Value("2.0.1")}, nullptr),
            std::optional<bool>(false));
  // A queued row an older build wrote is held by no one.
  auto unclaimed = database->queryUnclaimedBundlesWithCountLimit(10, 1 << 20, 7, 60, nullptr);
  ASSERT_TRUE(unclaimed);
  EXPECT_TRUE(unclaimed->empty());  // unreadable: deleted, as it could never be sent
  EXPECT_EQ(raw.scalar("SELECT count(*) FROM queue"), "0");
  // The rebuilt raw-event table has its fingerprint index.
  EXPECT_EQ(raw.scalar("SELECT tbl_name FROM sqlite_master WHERE type = 'index' AND name = "
                       "'raw_events_metadata_fingerprint'"),
            "raw_events");
}

TEST_F(TLMDatabaseSchemaTest, UnknownRequiredColumnDiscardsTheFile) {
  {
    RawDatabase raw(path);
    raw.exec("CREATE TABLE purchase_transactions (fingerprint TEXT NOT NULL PRIMARY KEY, "
             "store TEXT NOT NULL)");
  }
  EXPECT_FALSE(open());
  EXPECT_TRUE(monitor.contains(12047));
  EXPECT_TRUE(monitor.contains(12002));
  EXPECT_FALSE(std::filesystem::exists(path));
  // The next start begins with a new file.
  EXPECT_TRUE(open());
}

TEST_F(TLMDatabaseSchemaTest, UpsertRespectsTableLimitButReplacesExistingRows) {
  auto database = open();
  ASSERT_TRUE(database);
  using Make = TLMDatabase::CreateDictionary<std::string>;
  Make row = [](const std::string& f) { return std::optional<TLMRecord>({{"fingerprint", Value(f)}}); };
  Error error;
  ASSERT_TRUE(database->upsertDataType<std::string>("a", kTLMPurchaseTransactionsTable, "fingerprint",
                                                    Value("a"), 2, &error, row));
  ASSERT_TRUE(database->upsertDataType<std::string>("b", kTLMPurchaseTransactionsTable, "fingerprint",
                                                    Value("b"), 2, &error, row));
  EXPECT_FALSE(database->upsertDataType<std::string>("c", kTLMPurchaseTransactionsTable,
                                                     "fingerprint", Value("c"), 2, &error, row));
  EXPECT_EQ(error.code, 2);
  EXPECT_EQ(error.description, "Failed to insert data type. Table is full");
  EXPECT_TRUE(database->upsertDataType<std::string>("b", kTLMPurchaseTransactionsTable, "fingerprint",
                                                    Value("b"), 2, &error, row));
  EXPECT_FALSE(database->updateDataType<std::string>("zz", kTLMPurchaseTransactionsTable,
                                                     "fingerprint", Value("zz"), &error, row));
  EXPECT_EQ(error.description, "Failed to update record. Item doesn't exist");

  TLMDatabase::CreateDataType<std::string> read = [](const TLMRecord& r) -> std::optional<std::string> {
    if (*r.get("fingerprint").stringPtr() == "a") return std::nullopt;
    return *r.get("fingerprint").stringPtr();
  };
  auto all = database->allDataTypesFromTableWithName<std::string>(kTLMPurchaseTransactionsTable, 10,
                                                                  &error, read);
  EXPECT_EQ(*all, std::vector<std::string>{"b"});
  EXPECT_FALSE(database->dataTypesFromTableWithName<std::string>(
      kTLMPurchaseTransactionsTable, "fingerprint", Value("a"), &error, read));
  EXPECT_EQ(error.description, "Failed to initialize data types from dictionaries");
  auto none = database->dataTypesFromTableWithName<std::string>(
      kTLMPurchaseTransactionsTable, "fingerprint", Value("q"), &error, read);
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
}

// Argument checks come in a fixed order: the table name before the conversion block.
TEST_F(TLMDatabaseSchemaTest, RowOperationsCheckTheTableNameBeforeTheBlock) {
  auto database = open();
  ASSERT_TRUE(database);
  Error error;
  TLMDatabase::CreateDictionary<std::string> noBlock;
  TLMDatabase::CreateDataType<std::string> noReader;
  EXPECT_FALSE(database->upsertDataType<std::string>("a", "", "fingerprint", Value("a"), 2, &error,
                                                     noBlock));
  EXPECT_EQ(error.description, "Received empty table name for checking upsert");
  EXPECT_FALSE(
      database->updateDataType<std::string>("a", "", "fingerprint", Value("a"), &error, noBlock));
  EXPECT_EQ(error.description, "Received empty table name for updating");
  EXPECT_FALSE(database->dataTypesFromTableWithName<std::string>("", "fingerprint", Value("a"),
                                                                 &error, noReader));
  EXPECT_EQ(error.description, "Received empty table name to create data type from table");
  EXPECT_EQ(error.code, 1);
  EXPECT_FALSE(database->dataTypesFromTableWithName<std::string>(
      kTLMPurchaseTransactionsTable, "fingerprint", Value(), &error, noReader));
  EXPECT_EQ(error.description, "Received nil column value to create data type from table");
  EXPECT_FALSE(database->dataTypesFromTableWithName<std::string>(
      kTLMPurchaseTransactionsTable, "fingerprint", Value("a"), &error, noReader));
  EXPECT_EQ(error.description, "Received nil block to create data type from table");
  EXPECT_EQ(error.code, 2);
}

TEST_F(TLMDatabaseSchemaTest, ResetStartsOverWithAnEmptySchema) {
  auto database = open();
  ASSERT_TRUE(database);
  Error error;
  ASSERT_TRUE(database->sqliteStore()->upsertRecord({{"fingerprint", Value("p")}},
                                                    kTLMPurchaseTransactionsTable, &error));
  ASSERT_TRUE(database->reset());
  EXPECT_EQ(database->sqliteStore()->rowCountForTableWithName(kTLMPurchaseTransactionsTable, &error), 0);
  EXPECT_EQ(database->sqliteStore()->rowCountForTableWithName(kTLMAppMetadataTable, &error), 1);
}

}  // namespace

namespace {

TEST(TLMDatabaseFileTest, NamedDatabaseLivesUnderApplicationSupportAndIsExcludedFromBackup) {
  platform::sandbox::ScopedTemporarySandbox sandbox;
  TLMStoreRecordingMonitor monitor;
  auto database = TLMDatabase::initWithDatabaseName(
      kTLMDatabaseFileName, std::make_shared<TLMStoreDefaultSettings>(), &monitor);
  ASSERT_TRUE(database) << reported(monitor) << testsupport::freeSpace(sandbox.root());
  std::string expected =
      platform::sandbox::applicationSupportDirectory() + "/Ombrix/Measurement/ombrix-tally-mark.sql";
  EXPECT_EQ(database->databasePath(), expected);
  EXPECT_TRUE(std::filesystem::exists(expected));
  EXPECT_TRUE(platform::files::isExcludedFromBackup(expected));
}

}  // namespace

namespace {

TEST_F(TLMDatabaseSchemaTest, BusyFileDuringTableSetUpIsKeptAndOperationsReportNotOpen) {
  RawDatabase other(path);
  other.exec("CREATE TABLE kept (a INTEGER)");
  other.exec("BEGIN IMMEDIATE");
  {
    ScopedBusyTimeout noWait(0);
    EXPECT_FALSE(open());
  }
  EXPECT_TRUE(monitor.contains(12002));
  other.exec("COMMIT");
  EXPECT_EQ(RawDatabase(path).scalar("SELECT count(*) FROM sqlite_master WHERE name = 'kept'"), "1");

  // A reset that cannot open leaves an object whose operations fail cleanly.
  auto database = open();
  ASSERT_TRUE(database);
  std::filesystem::remove(path);
  std::filesystem::create_directories(path + "/in-the-way");
  EXPECT_FALSE(database->reset());
  EXPECT_TRUE(monitor.contains(12055));
  Error error;
  EXPECT_FALSE(database->queryAppMetadata(&error));
  EXPECT_EQ(error.code, 2);
  EXPECT_FALSE(database->performTransaction([] { return true; }));
  std::filesystem::remove_all(path);
  EXPECT_TRUE(database->reset());
  EXPECT_TRUE(database->queryAppMetadata(&error));
}

// Another process of the app that opens the same new file at the same moment: forked before the
// store opens it, it opens the file itself (waiting for no lock) just before the store adds its
// first column, and says whether it could. Counts too the commits of every connection of this
// process opened while installed.
struct OtherProcess {
  int go[2] = {-1, -1};
  int answer[2] = {-1, -1};
  char said = 0;  // 'o': it opened the file (and made the tables), 'n': it could not
  int commits = 0;
};
OtherProcess* gOtherProcess = nullptr;

int countCommit(void*) {
  ++gOtherProcess->commits;
  return 0;
}

int letTheOtherOpen(unsigned, void*, void* statement, void*) {
  const char* sql = sqlite3_sql(static_cast<sqlite3_stmt*>(statement));
  OtherProcess& other = *gOtherProcess;
  if (other.said != 0 || sql == nullptr || std::string_view(sql).find("ADD COLUMN") == std::string_view::npos) return 0;
  other.said = '?';
  if (::write(other.go[1], "g", 1) == 1 && ::read(other.answer[0], &other.said, 1) != 1) other.said = '?';
  return 0;
}

int watchTheStore(sqlite3* db, const char**, const sqlite3_api_routines*) {
  sqlite3_commit_hook(db, &countCommit, nullptr);
  sqlite3_trace_v2(db, SQLITE_TRACE_STMT, &letTheOtherOpen, nullptr);
  return SQLITE_OK;
}

TEST_F(TLMDatabaseSchemaTest, ANewFileIsMadeInOneTransactionThatAnotherProcessWaitsFor) {
  OtherProcess other;
  ASSERT_EQ(::pipe(other.go), 0);
  ASSERT_EQ(::pipe(other.answer), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(other.go[1]);
    ::close(other.answer[0]);
    char go = 0;
    if (::read(other.go[0], &go, 1) != 1) ::_exit(1);
    TLMSqliteStore::setBusyTimeoutMilliseconds(0);
    const bool opened = TLMDatabase::initWithDatabasePath(path, settings, nullptr) != nullptr;
    ::_exit(::write(other.answer[1], opened ? "o" : "n", 1) == 1 ? 0 : 1);
  }
  // Each end only where it is used, so that either side finds the other gone.
  ::close(other.go[0]);
  ::close(other.answer[1]);
  gOtherProcess = &other;
  sqlite3_auto_extension(reinterpret_cast<void (*)()>(&watchTheStore));
  auto database = open();
  sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(&watchTheStore));
  gOtherProcess = nullptr;
  ::close(other.go[1]);
  ::close(other.answer[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;

  // The other process found the file held (it would wait, for its busy timeout, until the tables
  // were made), and the store's own start did not fail on a column the other added meanwhile.
  EXPECT_EQ(other.said, 'n');
  ASSERT_TRUE(database);
  EXPECT_FALSE(monitor.contains(12002));
  // The tables and indexes in one commit, the metadata row in another.
  EXPECT_EQ(other.commits, 2);
  RawDatabase raw(path);
  EXPECT_EQ(raw.scalar("SELECT count(*) FROM pragma_table_info('raw_events') WHERE name = 'is_realtime'"), "1");
}

}  // namespace

namespace {

// Every connection opened while it is installed may not grow its file: a new page fails with
// SQLITE_FULL, as on a full disk.
int capFileSize(sqlite3* db, const char**, const sqlite3_api_routines*) {
  sqlite3_exec(db, "PRAGMA max_page_count = 1", nullptr, nullptr, nullptr);
  return SQLITE_OK;
}

class ScopedFullDisk {
 public:
  ScopedFullDisk() { sqlite3_auto_extension(reinterpret_cast<void (*)()>(&capFileSize)); }
  ~ScopedFullDisk() { sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(&capFileSize)); }
};

TEST_F(TLMDatabaseSchemaTest, FullDiskDuringMigrationKeepsTheFileAndItsRows) {
  ASSERT_TRUE(open());
  {
    // An older raw_events layout whose rebuild needs a new page.
    RawDatabase raw(path);
    raw.exec("DROP TABLE raw_events");
    raw.exec("CREATE TABLE raw_events (name TEXT NOT NULL, timestamp INTEGER NOT NULL, "
             "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL, is_realtime INTEGER)");
    raw.exec("INSERT INTO raw_events VALUES ('a', 1700000000, 5, x'01', NULL)");
    raw.exec("INSERT INTO raw_events VALUES ('b', 1700000001, 5, x'02', 1)");
    raw.exec("VACUUM");
  }
  {
    ScopedFullDisk fullDisk;
    EXPECT_FALSE(open());
  }
  EXPECT_TRUE(monitor.contains(12047));
  EXPECT_TRUE(monitor.contains(12002));
  EXPECT_FALSE(monitor.contains(12003));
  ASSERT_TRUE(std::filesystem::exists(path));
  {
    RawDatabase raw(path);
    EXPECT_EQ(raw.column("SELECT name || ':' || typeof(timestamp) FROM raw_events ORDER BY rowid"),
              (std::vector<std::string>{"a:integer", "b:integer"}));
    EXPECT_EQ(raw.scalar("SELECT count(*) FROM app_metadata"), "1");
  }
  // With room again the next start migrates the kept rows.
  ASSERT_TRUE(open());
  RawDatabase raw(path);
  EXPECT_EQ(raw.column("SELECT name || ':' || typeof(timestamp) FROM raw_events ORDER BY rowid"),
            (std::vector<std::string>{"a:real", "b:real"}));
}

// An older raw_events layout: its rebuild renames it to raw_events_old.
void writeOlderRawEvents(const std::string& path) {
  RawDatabase raw(path);
  raw.exec("DROP TABLE raw_events");
  raw.exec("CREATE TABLE raw_events (name TEXT NOT NULL, timestamp INTEGER NOT NULL, "
           "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL, is_realtime INTEGER)");
  raw.exec("INSERT INTO raw_events VALUES ('a', 1700000000, 5, x'01', NULL)");
}

TEST_F(TLMDatabaseSchemaTest, LeftoverOldTableIsDroppedAndAFailedMigrationStepKeepsTheFile) {
  ASSERT_TRUE(open());
  writeOlderRawEvents(path);
  RawDatabase(path).exec("CREATE TABLE raw_events_old (name TEXT, stale INTEGER)");
  ASSERT_TRUE(open());
  {
    RawDatabase raw(path);
    EXPECT_EQ(raw.column("SELECT name || ':' || typeof(timestamp) FROM raw_events"),
              (std::vector<std::string>{"a:real"}));
    EXPECT_EQ(raw.scalar("SELECT count(*) FROM sqlite_master WHERE name = 'raw_events_old'"), "0");
    EXPECT_EQ(raw.scalar("SELECT count(*) FROM sqlite_master WHERE name = 'raw_events_metadata_fingerprint'"),
              "1");
  }

  // A view in the way cannot be dropped as a table: the step fails, which is no damage.
  writeOlderRawEvents(path);
  RawDatabase(path).exec("CREATE VIEW raw_events_old AS SELECT 1");
  monitor.clear();
  EXPECT_FALSE(open());
  EXPECT_TRUE(monitor.contains(12002));
  EXPECT_FALSE(monitor.contains(12003));
  RawDatabase raw(path);
  EXPECT_EQ(raw.column("SELECT name || ':' || typeof(timestamp) FROM raw_events"),
            (std::vector<std::string>{"a:integer"}));
}

}  // namespace

namespace {

std::vector<std::string> indexNames(RawDatabase& raw) {
  return raw.column("SELECT tbl_name || '.' || name FROM sqlite_master WHERE type = 'index' AND "
                    "name NOT LIKE 'sqlite_autoindex%' ORDER BY name");
}

// How SQLite runs a query on the file: the details of its plan, joined.
std::string plan(const std::string& path, const std::string& query) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(db, ("EXPLAIN QUERY PLAN " + query).c_str(), -1, &statement, nullptr);
  std::string out;
  while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
    const unsigned char* detail = sqlite3_column_text(statement, 3);
    out += std::string(detail != nullptr ? reinterpret_cast<const char*>(detail) : "") + ";";
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return out;
}

TEST_F(TLMDatabaseSchemaTest, OlderFileGainsTheScheduleAndQueueIndexesAndAnswersAsBefore) {
  {
    RawDatabase raw(path);
    raw.exec("CREATE TABLE raw_events (name TEXT NOT NULL, timestamp REAL NOT NULL, "
             "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL, is_realtime INTEGER)");
    raw.exec("INSERT INTO raw_events VALUES ('a', 1700000300.5, 5, x'01', 0)");
    raw.exec("INSERT INTO raw_events VALUES ('b', 1700000100, 5, x'02', 1)");
    raw.exec("INSERT INTO raw_events VALUES ('c', 1700000200, 5, x'03', NULL)");
    raw.exec("CREATE TABLE queue (data BLOB NOT NULL, bundle_end_timestamp REAL NOT NULL, "
             "is_realtime INTEGER, retry_count INTEGER)");
    raw.exec("INSERT INTO queue VALUES (x'01', 50.0, 1, 0)");
    raw.exec("INSERT INTO queue VALUES (x'02', 70.0, 0, 0)");
  }
  auto database = open();
  ASSERT_TRUE(database);
  RawDatabase raw(path);
  EXPECT_EQ(indexNames(raw), (std::vector<std::string>{
                                 "queue.queue_bundle_end_timestamp", "queue.queue_realtime",
                                 "raw_events.raw_events_metadata_fingerprint",
                                 "raw_events.raw_events_realtime", "raw_events.raw_events_timestamp"}));
  // The queries of every logged event and every upload read an index, not the table.
  EXPECT_NE(plan(path, "SELECT MAX(timestamp) FROM raw_events").find("raw_events_timestamp"), std::string::npos);
  EXPECT_NE(plan(path, "SELECT EXISTS (SELECT 1 FROM raw_events WHERE is_realtime = 1 LIMIT 1)")
                .find("raw_events_realtime"),
            std::string::npos);
  EXPECT_NE(plan(path, "SELECT MAX(bundle_end_timestamp) FROM queue").find("queue_bundle_end_timestamp"),
            std::string::npos);
  EXPECT_NE(plan(path, "SELECT EXISTS (SELECT 1 FROM queue WHERE is_realtime = 1 LIMIT 1)").find("queue_realtime"),
            std::string::npos);
  EXPECT_EQ(plan(path, "SELECT rowid, data, retry_count FROM queue ORDER BY bundle_end_timestamp ASC LIMIT 5")
                .find("TEMP B-TREE"),
            std::string::npos);

  // The real-time questions, asked at every reschedule, are prepared once.
  platform::Error error;
  const std::size_t cached = database->sqliteStore()->cachedStatementCount();
  EXPECT_EQ(database->containsRealtimeRawEventsWithError(&error), std::optional<bool>(true));
  EXPECT_EQ(database->containsRealtimeBundlesWithError(&error), std::optional<bool>(true));
  EXPECT_EQ(database->sqliteStore()->cachedStatementCount(), cached + 2);

  // The answers are those of the rows, as rows go and come.
  EXPECT_EQ(database->queryLatestRawEventTime(&error), std::optional<double>(1700000300.5));
  EXPECT_EQ(database->containsRealtimeRawEventsWithError(&error), std::optional<bool>(true));
  EXPECT_EQ(database->queryLatestBundleTime(&error), std::optional<double>(70.0));
  EXPECT_EQ(database->containsRealtimeBundlesWithError(&error), std::optional<bool>(true));
  raw.exec("DELETE FROM raw_events WHERE name IN ('a', 'b')");
  raw.exec("DELETE FROM queue WHERE is_realtime = 1");
  EXPECT_EQ(database->queryLatestRawEventTime(&error), std::optional<double>(1700000200));
  EXPECT_EQ(database->containsRealtimeRawEventsWithError(&error), std::optional<bool>(false));
  EXPECT_EQ(database->containsRealtimeBundlesWithError(&error), std::optional<bool>(false));
  raw.exec("INSERT INTO raw_events VALUES ('d', 1600000000, 5, x'04', 1)");
  EXPECT_EQ(database->queryLatestRawEventTime(&error), std::optional<double>(1700000200));
  EXPECT_EQ(database->containsRealtimeRawEventsWithError(&error), std::optional<bool>(true));
  raw.exec("DELETE FROM raw_events");
  EXPECT_EQ(database->queryLatestRawEventTime(&error), std::nullopt);
  EXPECT_EQ(error.code, 0);
  EXPECT_EQ(database->containsRealtimeRawEventsWithError(&error), std::optional<bool>(false));
}

}  // namespace
