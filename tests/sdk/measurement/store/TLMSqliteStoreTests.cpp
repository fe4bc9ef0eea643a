#include "measurement/store/TLMSqliteStore.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <thread>

#include "StoreTestSupport.h"

using platform::Error;
using platform::Value;

namespace {

class TLMSqliteStoreTest : public StoreFixture {
 protected:
  std::unique_ptr<TLMSqliteStore> open() {
    return TLMSqliteStore::initWithDatabasePath(path, &monitor);
  }
  std::string path = dir.file("nested/dir/test.sql");
};

// A block that throws after writing: its transaction is undone and the exception goes on.
void expectThrowingBlockRollsBack(TLMSqliteStore& store, const std::function<bool(int)>& insert) {
  const auto rows = store.rowCountForTableWithName("t", nullptr);
  EXPECT_THROW(store.performTransaction([&]() -> bool {
    insert(3);
    throw std::runtime_error("boom");
  }),
               std::runtime_error);
  EXPECT_EQ(store.rowCountForTableWithName("t", nullptr), rows);
}

void writeBytes(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

TEST_F(TLMSqliteStoreTest, OpensCreatesDirectoryAndRejectsEmptyPath) {
  auto store = open();
  ASSERT_TRUE(store);
  EXPECT_TRUE(std::filesystem::exists(path));
  EXPECT_NE(store->sqliteHandle(), nullptr);
  EXPECT_FALSE(TLMSqliteStore::initWithDatabasePath("", &monitor));
  EXPECT_TRUE(monitor.contains(34000));
}

TEST_F(TLMSqliteStoreTest, DatabaseFilesAreTheOwnersAloneWhateverTheUmask) {
  auto modeOf = [](const std::string& file) {
    return std::filesystem::status(file).permissions() & std::filesystem::perms::all;
  };
  const mode_t previous = ::umask(0);
  auto store = open();
  Error error;
  const bool created = store && store->executeSQL("CREATE TABLE t (a TEXT)", &error);
  store.reset();
  // A database an earlier version left readable to everyone, in a folder left open (in one
  // that is not the store's own, which keeps its mode).
  const std::string old = dir.file("earlier/old.sql");
  writeBytes(old, "");
  std::filesystem::permissions(old, std::filesystem::perms::all);
  std::filesystem::permissions(dir.file("earlier"), std::filesystem::perms::all);
  std::filesystem::permissions(dir.path(), std::filesystem::perms::all | std::filesystem::perms::sticky_bit);
  auto reopened = TLMSqliteStore::initWithDatabasePath(old, &monitor);
  ::umask(previous);
  ASSERT_TRUE(created) << error.description;
  ASSERT_TRUE(reopened);
  const auto ownerOnly = std::filesystem::perms::owner_read | std::filesystem::perms::owner_write;
  EXPECT_EQ(modeOf(path), ownerOnly);
  EXPECT_EQ(modeOf(old), ownerOnly);
  // So are the folders made for it, and the one an earlier version left open.
  for (const char* folder : {"nested", "nested/dir", "earlier"}) {
    EXPECT_EQ(modeOf(dir.file(folder)), std::filesystem::perms::owner_all) << folder;
  }
  EXPECT_EQ(modeOf(dir.path()), std::filesystem::perms::all);
}

TEST_F(TLMSqliteStoreTest, AnotherUsersFolderDatabaseOrJournalIsNotOpened) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file or a folder away";
  const auto giveAway = [](const std::string& file, std::filesystem::perms mode) {
    std::filesystem::permissions(file, mode);
    return ::chown(file.c_str(), 65534, 65534) == 0;
  };
  const auto refusedFor = [this](const std::string& why) {
    const auto lines = monitor.lines();
    const bool found = !lines.empty() && lines.back().code == 34023 && lines.back().context.size() == 1 &&
                       lines.back().context[0].description().find(why) != std::string::npos;
    monitor.clear();
    return found;
  };
  const std::string folder = dir.file("nested/dir");
  const auto all = std::filesystem::perms::all;
  // His folder open to all, with his empty database, where the store's folder belongs.
  writeBytes(path, "");
  ASSERT_TRUE(giveAway(folder, all) && giveAway(path, all));
  EXPECT_FALSE(open());
  EXPECT_TRUE(refusedFor("\"" + folder + "\" belongs to another user (uid 65534)"));
  // His database in the store's own folder.
  ASSERT_EQ(::chown(folder.c_str(), 0, 0), 0);
  EXPECT_FALSE(open());
  EXPECT_TRUE(refusedFor("\"" + path + "\": it belongs to another user (uid 65534)"));
  EXPECT_EQ(std::filesystem::file_size(path), 0u);
  // His journal beside the store's database, which SQLite would play back into it.
  std::filesystem::remove(path);
  writeBytes(path + "-journal", "his pages");
  ASSERT_TRUE(giveAway(path + "-journal", all));
  EXPECT_FALSE(open());
  EXPECT_TRUE(refusedFor("\"" + path + "-journal\": it belongs to another user (uid 65534)"));
  EXPECT_EQ(std::filesystem::file_size(path + "-journal"), 9u);
}

TEST_F(TLMSqliteStoreTest, AFolderOnTheWayOthersMayWriteIsRefusedNamedAndLeftAsItIs) {
  auto store = open();
  ASSERT_TRUE(store && store->executeSQL("CREATE TABLE kept (a)", nullptr));
  store.reset();
  const auto open = std::filesystem::perms::all;
  std::filesystem::permissions(dir.file("nested"), open);
  EXPECT_FALSE(this->open());
  const auto lines = monitor.lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().code, 34023);
  const std::string why = lines.back().context.empty() ? "" : lines.back().context[0].description();
  EXPECT_NE(why.find("\"" + dir.file("nested") + "\", which other users may write to"), std::string::npos) << why;
  EXPECT_EQ(std::filesystem::status(dir.file("nested")).permissions() & open, open);
  // Nor is the store deleted through it.
  Error error;
  EXPECT_FALSE(TLMSqliteStore::closedStoreWithPath(path, &monitor)->closeAndDeleteDatabase(&error));
  EXPECT_NE(error.description.find(dir.file("nested")), std::string::npos) << error.description;
  EXPECT_TRUE(std::filesystem::exists(path));
  // With the sticky bit others can no longer replace the store's folder there.
  std::filesystem::permissions(dir.file("nested"), open | std::filesystem::perms::sticky_bit);
  EXPECT_TRUE(this->open());
}

// Another user who may write into a folder on the way keeps exchanging the store's folder with
// his own, which holds his file under the store's name, while the store is opened again and
// again: his file is never opened.
TEST_F(TLMSqliteStoreTest, AnotherUserExchangingTheStoresFolderNeverGetsHisFileOpened) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can act as another user";
  const char* asked = std::getenv("VESMORA_RACE_ROUNDS");
  const int rounds = asked != nullptr && std::atoi(asked) > 0 ? std::atoi(asked) : 2000;
  const std::string host = dir.file("host");
  const std::string his = host + "/his";
  const std::string mine = host + "/store";
  const std::string database = mine + "/events.sql";
  std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all | std::filesystem::perms::others_exec);
  ASSERT_EQ(::mkdir(host.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(mine.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(his.c_str(), 0777), 0);
  writeBytes(his + "/events.sql", "");
  ASSERT_EQ(::chmod((his + "/events.sql").c_str(), 0666), 0);
  ASSERT_TRUE(::chown(his.c_str(), 65534, 65534) == 0 && ::chown((his + "/events.sql").c_str(), 65534, 65534) == 0);
  for (const mode_t mode : {mode_t{0777}, mode_t{01777}}) {
    ASSERT_EQ(::chmod(host.c_str(), mode), 0);
    const pid_t other = ::fork();
    ASSERT_GE(other, 0);
    if (other == 0) {
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(1);
      for (;;) ::renameat2(AT_FDCWD, mine.c_str(), AT_FDCWD, his.c_str(), RENAME_EXCHANGE);
    }
    int opened = 0, refused = 0, his_opened = 0;
    for (int round = 0; round < rounds; ++round) {
      auto store = TLMSqliteStore::initWithDatabasePath(database, &monitor);
      if (store && store->executeSQL("CREATE TABLE IF NOT EXISTS t (a)", nullptr)) ++opened;
      if (!store) ++refused;
      store.reset();
      for (const std::string& folder : {mine, his}) {
        struct stat info {};
        const std::string file = folder + "/events.sql";
        if (::stat(file.c_str(), &info) == 0 && info.st_uid == 65534 && info.st_size > 0) {
          ++his_opened;
          ASSERT_EQ(::truncate(file.c_str(), 0), 0);
        }
      }
    }
    monitor.clear();
    ::kill(other, SIGKILL);
    ::waitpid(other, nullptr, 0);
    struct stat left {};
    if (::stat(mine.c_str(), &left) == 0 && left.st_uid == 65534) {
      ASSERT_EQ(::renameat2(AT_FDCWD, mine.c_str(), AT_FDCWD, his.c_str(), RENAME_EXCHANGE), 0);
    }
    std::printf("folder on the way %04o: %d rounds, %d opened, %d refused, his file opened %d times\n",
                static_cast<unsigned>(mode), rounds, opened, refused, his_opened);
    EXPECT_EQ(his_opened, 0) << std::oct << mode;
    // Open to others without the sticky bit, the store is refused outright; with it, opened.
    EXPECT_EQ(mode == 0777 ? refused : opened, rounds) << std::oct << mode;
  }
}

TEST_F(TLMSqliteStoreTest, FileThatIsNotADatabaseIsReplacedWithAnEmptyOne) {
  writeBytes(path, std::string(4096, 'x'));
  writeBytes(path + "-journal", "stale journal");
  auto store = open();
  ASSERT_TRUE(store);
  Error error;
  EXPECT_TRUE(store->validateDatabaseWithError(&error));
  EXPECT_FALSE(std::filesystem::exists(path + "-journal"));
  EXPECT_EQ(*store->tableExists("anything", &error), false);
}

TEST_F(TLMSqliteStoreTest, DamagedPagesFailTheIntegrityCheckAndTheFileIsRecreated) {
  {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    RawDatabase raw(path);
    raw.exec("PRAGMA page_size=1024; CREATE TABLE t (a TEXT); CREATE INDEX ti ON t(a);");
    raw.exec("BEGIN");
    for (int i = 0; i < 400; ++i) raw.exec("INSERT INTO t VALUES ('row" + std::to_string(i) + "')");
    raw.exec("COMMIT");
  }
  // Scribble over the middle of the file, leaving the header intact.
  {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(3 * 1024 + 100);
    std::string garbage(2048, '\x5a');
    file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
  }
  auto store = open();
  ASSERT_TRUE(store);
  Error error;
  EXPECT_EQ(*store->tableExists("t", &error), false);
  EXPECT_TRUE(store->validateDatabaseWithError(&error));
  EXPECT_TRUE(monitor.contains(34024));
  EXPECT_FALSE(monitor.contains(34023));
}

TEST_F(TLMSqliteStoreTest, LockedFileIsKeptAndNoStoreOpens) {
  {
    auto store = open();
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->executeSQL("CREATE TABLE kept (a INTEGER)", nullptr));
    ASSERT_TRUE(store->executeSQL("INSERT INTO kept VALUES (7)", nullptr));
  }
  RawDatabase holder(path);
  holder.exec("BEGIN EXCLUSIVE");
  {
    ScopedBusyTimeout noWait(0);
    EXPECT_FALSE(open());
  }
  // The reason is told, and a kept file is not reported as damaged.
  bool told = false;
  for (const auto& line : monitor.lines()) {
    if (line.code == 34023 && !line.context.empty()) {
      told = line.context[0].stringValue().value_or("").find("database is locked") != std::string::npos;
    }
  }
  EXPECT_TRUE(told);
  EXPECT_FALSE(monitor.contains(34024));
  holder.exec("ROLLBACK");
  auto store = open();
  ASSERT_TRUE(store);
  Error error;
  EXPECT_EQ(store->numberForQuery("SELECT a FROM kept", {}, &error)->int64Value(), 7);
}

TEST_F(TLMSqliteStoreTest, DeletingRemovesJournalCompanions) {
  auto store = open();
  ASSERT_TRUE(store);
  writeBytes(path + "-wal", "w");
  writeBytes(path + "-shm", "s");
  EXPECT_TRUE(store->closeAndDeleteDatabase());
  EXPECT_EQ(store->sqliteHandle(), nullptr);
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    EXPECT_FALSE(std::filesystem::exists(path + suffix)) << suffix;
  }
  Error error;
  EXPECT_FALSE(store->executeSQL("SELECT 1", &error));
  EXPECT_EQ(error.code, 2);
  EXPECT_EQ(error.description, "Execute SQL failed. Database not open.");
}

TEST_F(TLMSqliteStoreTest, StatementCacheKeepsParameterisedAndUnconditionalQueriesOnly) {
  auto store = open();
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->executeSQL("CREATE TABLE t (a INTEGER, b TEXT)", nullptr));
  Error error;
  ASSERT_TRUE(store->upsertRecord({{"a", Value(1)}, {"b", Value("one")}}, "t", &error));
  ASSERT_TRUE(store->upsertRecord({{"a", Value(2)}, {"b", Value("two")}}, "t", &error));
  size_t before = store->cachedStatementCount();
  ASSERT_TRUE(store->recordsForQuery("SELECT * FROM t WHERE a = 1", {}, &error));
  EXPECT_EQ(store->cachedStatementCount(), before);
  auto rows = store->recordsForQuery("select * FROM t WHERE a = ?", {Value(2)}, &error);
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), 1u);
  EXPECT_EQ((*rows)[0].get("b"), Value("two"));
  EXPECT_EQ(store->cachedStatementCount(), before + 1);
  // Reuse binds afresh.
  rows = store->recordsForQuery("select * FROM t WHERE a = ?", {Value(1)}, &error);
  EXPECT_EQ((*rows)[0].get("b"), Value("one"));
  ASSERT_TRUE(store->recordsForQuery("SELECT * FROM t", {}, &error));
  EXPECT_EQ(store->cachedStatementCount(), before + 2);

  // A statement handed back under the text of another cached statement is reset, not
  // finalized: it stays usable under its own text.
  const std::string byA = "select * FROM t WHERE a = ?";
  sqlite3_stmt* statement = store->statementForQuery(byA, {Value(2)}, &error);
  ASSERT_NE(statement, nullptr);
  store->cleanUpStatement(statement, "SELECT * FROM t");
  EXPECT_TRUE(monitor.contains(34016));
  EXPECT_EQ(store->cachedStatementCount(), before + 2);
  rows = store->recordsForQuery(byA, {Value(2)}, &error);
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), 1u);
  EXPECT_EQ((*rows)[0].get("b"), Value("two"));

  EXPECT_FALSE(store->recordsForQuery("SELECT * FROM t WHERE a = ?", {}, &error));
  EXPECT_EQ(error.description, "Received empty parameters");
  EXPECT_FALSE(store->executeSQL("SELECT 1; SELECT 2", &error));
  EXPECT_EQ(error.description, "Query contained more than one SQL statement.");
  EXPECT_FALSE(store->recordsForQuery(" SELECT * FROM t", {}, &error));
  EXPECT_EQ(error.description, "Received invalid select query");
  EXPECT_FALSE(store->recordsForQuery("PRAGMA table_info(t)", {}, &error));
  EXPECT_FALSE(store->recordsForQuery("SELECT * FROM missing", {}, &error));
  EXPECT_EQ(error.code, 3);
  EXPECT_NE(error.description.find("prepare statement"), std::string::npos);
  EXPECT_FALSE(error.userInfo[kTLMStoreMonitorContextKey].isNull());
}

TEST_F(TLMSqliteStoreTest, RowsCarryEveryValueKindAndFiltersStopTheSelect) {
  auto store = open();
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->executeSQL("CREATE TABLE v (i INTEGER, r REAL, t TEXT, b BLOB, n TEXT)", nullptr));
  Error error;
  platform::Bytes blob{0, 1, 2, 0xff};
  ASSERT_TRUE(store->upsertRecord({{"i", Value(std::int64_t{1} << 40)},
                                   {"r", Value(2.5)},
                                   {"t", Value(std::string("a\0b", 3))},
                                   {"b", Value(blob)},
                                   {"n", Value()}},
                                  "v", &error))
      << error.description;
  ASSERT_TRUE(store->upsertRecord({{"i", Value(2)}, {"b", Value(platform::Bytes())}}, "v", &error));
  auto rows = store->recordsForQuery("SELECT rowid, * FROM v ORDER BY rowid", {}, &error);
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), 2u);
  const auto& row = (*rows)[0];
  EXPECT_EQ(row.get("i").int64Value(), std::int64_t{1} << 40);
  EXPECT_TRUE(row.get("r").isFloatingPoint());
  EXPECT_EQ(*row.get("t").stringPtr(), std::string("a\0b", 3));
  EXPECT_EQ(*row.get("b").dataPtr(), blob);
  EXPECT_TRUE(row.contains("n") && row.get("n").isNull());
  EXPECT_EQ(row.get("rowid").int64Value(), 1);
  ASSERT_TRUE((*rows)[1].get("b").isData());
  EXPECT_EQ((*rows)[1].get("b").size(), 0u);

  auto none = store->recordsForQuery("SELECT * FROM v", {}, &error,
                                     [](size_t, const TLMRecord&) { return false; });
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
  EXPECT_TRUE(monitor.contains(34005));
  auto first = store->recordsForQuery("SELECT * FROM v", {}, &error,
                                      [](size_t kept, const TLMRecord&) { return kept < 1; });
  EXPECT_EQ(first->size(), 1u);

  EXPECT_FALSE(store->upsertRecord({{"i", Value::array({Value(1)})}}, "v", &error));
  EXPECT_TRUE(monitor.contains(34020));
  EXPECT_FALSE(store->updateRecord({{"i", Value::array({})}}, "v", "i", Value(2), &error));
  EXPECT_EQ(error.description, "Failed to bind parameter of unexpected type to update statement");
  EXPECT_TRUE(monitor.contains(34021));
}

TEST_F(TLMSqliteStoreTest, CountsUpdatesIncrementsAndDeletes) {
  auto store = open();
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->executeSQL("CREATE TABLE c (k TEXT, n INTEGER, r REAL)", nullptr));
  Error error;
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(store->upsertRecord(
        {{"k", Value(i % 2 ? "odd" : "even")}, {"n", Value(i)}, {"r", Value(0.5)}}, "c", &error));
  }
  EXPECT_EQ(store->rowCountForTableWithName("c", &error), 5);
  EXPECT_EQ(store->rowCountForTableWithName("c", "k", Value("odd"), &error), 2);
  EXPECT_TRUE(store->updateRecord({{"n", Value(100)}}, "c", "k", Value("odd"), &error));
  EXPECT_EQ(store->numberForQuery("SELECT sum(n) FROM c", {}, &error)->int64Value(), 206);
  EXPECT_TRUE(store->increaseColumn("n", 3, "c", "k = ?", {Value("even")}, &error));
  EXPECT_EQ(store->numberForQuery("SELECT sum(n) FROM c", {}, &error)->int64Value(), 215);
  EXPECT_FALSE(store->increaseColumn("r", 1, "c", "1", {}, &error));
  EXPECT_EQ(error.description, "Column type is not integer.");
  EXPECT_FALSE(store->increaseColumn("zz", 1, "c", "1", {}, &error));
  EXPECT_EQ(error.description, "Invalid column or table name");
  EXPECT_TRUE(store->updateAllRecordsInTableWithName("c", "r", Value(1.5), &error));
  EXPECT_EQ(store->numberForQuery("SELECT sum(r) FROM c", {}, &error)->doubleValue(), 7.5);
  EXPECT_EQ(store->deleteRecordsFromTableWithName("c", "n > ?", {Value(50)}, &error), 2);
  EXPECT_TRUE(store->deleteRecordFromTableWithName("c", "n", Value(3), &error));
  EXPECT_EQ(store->rowCountForTableWithName("c", &error), 2);
  EXPECT_TRUE(store->numberForQuery("SELECT max(n) FROM c WHERE n > 1000", {}, &error)->isNull());
  EXPECT_FALSE(store->numberForQuery("SELECT k FROM c", {}, &error));
  EXPECT_EQ(error.description, "Found result that was not numeric");
  EXPECT_TRUE(store->deleteAllRecordsFromTableWithName("c", &error));
  EXPECT_EQ(store->rowCountForTableWithName("c", &error), 0);
}

TEST_F(TLMSqliteStoreTest, UpdatesAndTransactionsKeepTheirStatementsAndBindAfresh) {
  auto store = open();
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->executeSQL("CREATE TABLE c (k TEXT, n INTEGER)", nullptr));
  Error error;
  ASSERT_TRUE(store->upsertRecord({{"k", Value("a")}, {"n", Value(1)}}, "c", &error));
  ASSERT_TRUE(store->upsertRecord({{"k", Value("b")}, {"n", Value(2)}}, "c", &error));
  auto sum = [&] { return store->numberForQuery("SELECT sum(n) FROM c", {}, &error)->int64Value(); };
  const std::size_t before = store->cachedStatementCount();
  ASSERT_TRUE(store->updateRecord({{"n", Value(10)}}, "c", "k", Value("a"), &error));
  const std::size_t afterOne = store->cachedStatementCount();
  EXPECT_EQ(afterOne, before + 1);
  // The same columns: the kept statement, with the new values and the new row.
  ASSERT_TRUE(store->updateRecord({{"n", Value(20)}}, "c", "k", Value("b"), &error));
  EXPECT_EQ(store->cachedStatementCount(), afterOne);
  EXPECT_EQ(sum(), 30);
  // A failing update leaves the kept one usable.
  EXPECT_FALSE(store->updateRecord({{"missing", Value(1)}}, "c", "k", Value("a"), &error));
  EXPECT_NE(error.description.find("prepare statement"), std::string::npos);
  ASSERT_TRUE(store->updateRecord({{"n", Value(5)}}, "c", "k", Value("a"), &error));
  EXPECT_EQ(sum(), 25);

  // Transactions prepare their statements once; a rolled-back one leaves them ready.
  ASSERT_TRUE(store->performTransaction([&] { return store->updateRecord({{"n", Value(1)}}, "c", "k", Value("a"), &error); }));
  const std::size_t kept = store->cachedStatementCount();
  EXPECT_FALSE(store->performTransaction([&] {
    store->updateRecord({{"n", Value(100)}}, "c", "k", Value("a"), &error);
    return false;
  }));
  ASSERT_TRUE(store->performTransaction([&] { return store->updateRecord({{"n", Value(2)}}, "c", "k", Value("b"), &error); }));
  EXPECT_TRUE(store->performReadTransaction([&] { return sum() == 3; }));
  EXPECT_TRUE(store->performReadTransaction([&] { return sum() == 3; }));
  EXPECT_EQ(store->cachedStatementCount(), kept + 2);  // the read transaction's BEGIN and COMMIT
  EXPECT_NE(sqlite3_get_autocommit(store->sqliteHandle()), 0);
}

TEST_F(TLMSqliteStoreTest, TransactionsCommitRollBackAndDoNotNest) {
  auto store = open();
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->executeSQL("CREATE TABLE t (a INTEGER)", nullptr));
  auto insert = [&](int v) { return store->upsertRecord({{"a", Value(v)}}, "t", nullptr); };
  EXPECT_TRUE(store->performTransaction([&] { return insert(1); }));
  EXPECT_FALSE(store->performTransaction([&] { return insert(2) && false; }));
  EXPECT_TRUE(monitor.contains(34010));
  expectThrowingBlockRollsBack(*store, insert);
  bool innerResult = true;
  EXPECT_TRUE(store->performTransaction([&] {
    innerResult = store->performTransaction([&] { return insert(4); });
    return true;
  }));
  EXPECT_FALSE(innerResult);
  EXPECT_TRUE(monitor.contains(34008));
  EXPECT_FALSE(store->performTransaction(nullptr));
  EXPECT_TRUE(monitor.contains(34006));
  Error error;
  EXPECT_EQ(store->rowCountForTableWithName("t", &error), 1);
  // Nothing was left open.
  EXPECT_NE(sqlite3_get_autocommit(store->sqliteHandle()), 0);
}

TEST_F(TLMSqliteStoreTest, AGroupCommitsItsTransactionsAtOnceAndAFailedOneUndoesOnlyItself) {
  auto store = open();
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->executeSQL("CREATE TABLE t (a INTEGER)", nullptr));
  auto insert = [&](int v) { return store->upsertRecord({{"a", Value(v)}}, "t", nullptr); };
  auto rows = [&] { return store->rowCountForTableWithName("t", nullptr).value_or(-1); };
  int commits = 0;
  sqlite3_commit_hook(store->sqliteHandle(), [](void* count) { return ++*static_cast<int*>(count), 0; }, &commits);
  ASSERT_TRUE(store->beginTransactionGroup());
  EXPECT_FALSE(store->beginTransactionGroup());  // not inside its own transaction
  EXPECT_TRUE(store->performTransaction([&] { return insert(1); }));
  EXPECT_FALSE(store->performTransaction([&] { return insert(2) && false; }));
  expectThrowingBlockRollsBack(*store, insert);
  bool innerResult = true;
  EXPECT_TRUE(store->performTransaction([&] {
    innerResult = store->performTransaction([&] { return insert(5); });  // they still do not nest
    return insert(4);
  }));
  EXPECT_FALSE(innerResult);
  EXPECT_EQ(rows(), 2);
  EXPECT_TRUE(store->isTransactionGroupIntact());
  EXPECT_EQ(commits, 0);
  EXPECT_TRUE(store->commitTransactionGroup());
  EXPECT_EQ(commits, 1);
  EXPECT_EQ(store->recordsForQuery("SELECT a FROM t ORDER BY a", {}, nullptr),
            (TLMRows{{{"a", Value(1)}}, {{"a", Value(4)}}}));
  EXPECT_FALSE(store->commitTransactionGroup());  // none open
  // A commit that fails keeps nothing of the group.
  sqlite3_commit_hook(store->sqliteHandle(), [](void*) { return 1; }, nullptr);
  ASSERT_TRUE(store->beginTransactionGroup());
  EXPECT_TRUE(store->performTransaction([&] { return insert(6); }));
  EXPECT_FALSE(store->commitTransactionGroup());
  EXPECT_EQ(rows(), 2);
  sqlite3_commit_hook(store->sqliteHandle(), nullptr, nullptr);
  EXPECT_NE(sqlite3_get_autocommit(store->sqliteHandle()), 0);
  EXPECT_TRUE(store->performTransaction([&] { return insert(7); }));  // on its own again
  EXPECT_EQ(rows(), 3);
  // A group rolled back keeps nothing and leaves no transaction open.
  ASSERT_TRUE(store->beginTransactionGroup());
  EXPECT_TRUE(store->performTransaction([&] { return insert(8); }));
  EXPECT_TRUE(store->rollbackTransactionGroup());
  EXPECT_FALSE(store->rollbackTransactionGroup());  // none open
  EXPECT_EQ(rows(), 3);
  EXPECT_NE(sqlite3_get_autocommit(store->sqliteHandle()), 0);
  EXPECT_TRUE(store->performTransaction([&] { return insert(9); }));
  EXPECT_EQ(rows(), 4);
}

// A failing step can make SQLite roll the whole transaction back: the group's earlier work is
// gone, and what follows in the group must not commit on its own.
TEST_F(TLMSqliteStoreTest, AGroupWhoseTransactionSQLiteRolledBackKeepsNothingOfIt) {
  auto store = open();
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->executeSQL("CREATE TABLE t (a INTEGER)", nullptr));
  auto insert = [&](int v) { return store->upsertRecord({{"a", Value(v)}}, "t", nullptr); };
  ASSERT_TRUE(store->beginTransactionGroup());
  EXPECT_TRUE(store->performTransaction([&] { return insert(1); }));
  EXPECT_FALSE(store->performTransaction([&] {
    insert(2);
    return sqlite3_exec(store->sqliteHandle(), "ROLLBACK", nullptr, nullptr, nullptr) == SQLITE_OK;
  }));
  EXPECT_FALSE(store->isTransactionGroupIntact());
  EXPECT_FALSE(store->performTransaction([&] { return insert(3); }));
  EXPECT_FALSE(store->commitTransactionGroup());
  EXPECT_EQ(store->rowCountForTableWithName("t", nullptr), 0);
  EXPECT_NE(sqlite3_get_autocommit(store->sqliteHandle()), 0);
}

TEST_F(TLMSqliteStoreTest, TableValidationAcceptsExtraNullableColumnsOnly) {
  auto store = open();
  ASSERT_TRUE(store);
  Error error;
  TLMColumnInfo columns{{"a", "INTEGER NOT NULL"}, {"b", "TEXT"}};
  ASSERT_TRUE(store->executeSQL("CREATE TABLE loose (a INTEGER NOT NULL, b TEXT, extra TEXT)", nullptr));
  EXPECT_TRUE(store->ensureTableWithName("loose", columns, {{"c", "REAL"}}, &error));
  EXPECT_EQ(store->columnsForTableWithName("loose", &error)->size(), 4u);
  ASSERT_TRUE(store->executeSQL("CREATE TABLE strict (a INTEGER NOT NULL, b TEXT, x TEXT NOT NULL)", nullptr));
  EXPECT_FALSE(store->ensureTableWithName("strict", columns, {}, &error));
  EXPECT_EQ(error.description, "Table contains unknown non-optional columns");
  ASSERT_TRUE(store->executeSQL("CREATE TABLE partial (a INTEGER NOT NULL)", nullptr));
  EXPECT_FALSE(store->ensureTableWithName("partial", columns, {}, &error));
  EXPECT_EQ(error.description, "Table is missing required columns");
  TLMColumnInfo keyed{{"x", "INTEGER NOT NULL"}, {"y", "INTEGER NOT NULL"},
                      {kTLMPrimaryKeyColumnName, "(x, y)"}};
  EXPECT_TRUE(store->ensureTableWithName("keyed", keyed, {}, &error)) << error.description;
  EXPECT_TRUE(store->upsertRecord({{"x", Value(1)}, {"y", Value(1)}}, "keyed", &error));
  EXPECT_TRUE(store->upsertRecord({{"x", Value(1)}, {"y", Value(1)}}, "keyed", &error));
  EXPECT_EQ(store->rowCountForTableWithName("keyed", &error), 1);
}

TEST_F(TLMSqliteStoreTest, MigrationRebuildsChangedTypesByColumnNameAndKeepsRowsInOrder) {
  auto store = open();
  ASSERT_TRUE(store);
  Error error;
  // An older layout: INTEGER time, columns in another order, an extra nullable column.
  ASSERT_TRUE(store->executeSQL(
      "CREATE TABLE ev (data BLOB NOT NULL, legacy TEXT, name TEXT NOT NULL, timestamp INTEGER NOT NULL)",
      nullptr));
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(store->upsertRecord({{"name", Value("e" + std::to_string(i))},
                                     {"timestamp", Value(100 + i)},
                                     {"data", Value(platform::Bytes{std::uint8_t(i)})},
                                     {"legacy", Value("x")}},
                                    "ev", &error));
  }
  TLMColumnInfo elementary{{"name", "TEXT NOT NULL"}, {"timestamp", "INTEGER NOT NULL"},
                           {"data", "BLOB NOT NULL"}};
  TLMColumnInfo addOn{{"is_realtime", "INTEGER"}};
  ASSERT_TRUE(store->ensureTableWithName("ev", elementary, addOn,
                                         {{"timestamp", "REAL NOT NULL"}}, &error))
      << error.description;
  auto info = store->columnInfoForTableWithName("ev", &error);
  EXPECT_EQ((*info)["timestamp"], "REAL");
  EXPECT_EQ(info->count("legacy"), 0u);
  EXPECT_EQ(*store->tableExists("ev_old", &error), false);
  auto rows = store->recordsForQuery("SELECT rowid, * FROM ev ORDER BY rowid", {}, &error);
  ASSERT_EQ(rows->size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ((*rows)[i].get("name"), Value("e" + std::to_string(i)));
    EXPECT_TRUE((*rows)[i].get("timestamp").isFloatingPoint());
    EXPECT_EQ((*rows)[i].get("timestamp").doubleValue(), 100.0 + i);
    EXPECT_EQ(*(*rows)[i].get("data").dataPtr(), platform::Bytes{std::uint8_t(i)});
  }
  // A second pass finds nothing to do.
  ASSERT_TRUE(store->ensureTableWithName("ev", elementary, addOn,
                                         {{"timestamp", "REAL NOT NULL"}}, &error));
  EXPECT_EQ(store->rowCountForTableWithName("ev", &error), 3);
}

TEST_F(TLMSqliteStoreTest, FailedMigrationLeavesTheTableAsItWas) {
  auto store = open();
  ASSERT_TRUE(store);
  Error error;
  ASSERT_TRUE(store->executeSQL("CREATE TABLE m (name TEXT NOT NULL, t INTEGER NOT NULL)", nullptr));
  ASSERT_TRUE(store->upsertRecord({{"name", Value("a")}, {"t", Value(1)}}, "m", &error));
  // A view where the rebuild keeps the old rows: a leftover table would be dropped, a view
  // cannot be, and the rebuild fails half-way.
  TLMColumnInfo elementary{{"name", "TEXT NOT NULL"}, {"t", "INTEGER NOT NULL"}};
  ASSERT_TRUE(store->ensureTableWithName("m", elementary, {}, &error));
  ASSERT_TRUE(store->executeSQL("CREATE VIEW m_old AS SELECT 1 AS x", nullptr));
  EXPECT_FALSE(store->ensureTableWithName("m", elementary, {}, {{"t", "REAL NOT NULL"}}, &error));
  EXPECT_EQ(error.code, 3);
  EXPECT_EQ((*store->columnInfoForTableWithName("m", &error))["t"], "INTEGER");
  EXPECT_EQ(store->rowCountForTableWithName("m", &error), 1);
}

// The keep-or-delete choice after a failed table set-up rests on the code of the step that
// failed, not on whatever the connection ran afterwards (the rollback clears its error code).
TEST_F(TLMSqliteStoreTest, FailureKindSurvivesTheRollbackThatFollowsIt) {
  auto store = open();
  ASSERT_TRUE(store);
  Error error;
  ASSERT_TRUE(store->executeSQL("CREATE TABLE m (name TEXT NOT NULL, t INTEGER NOT NULL)", nullptr));
  ASSERT_TRUE(store->upsertRecord({{"name", Value("a")}, {"t", Value(1)}}, "m", &error));
  // The file may not grow: any new page fails with a full disk.
  ASSERT_EQ(sqlite3_exec(store->sqliteHandle(), "PRAGMA max_page_count = 1", nullptr, nullptr,
                         nullptr),
            SQLITE_OK);
  TLMColumnInfo elementary{{"name", "TEXT NOT NULL"}, {"t", "INTEGER NOT NULL"}};
  EXPECT_FALSE(store->ensureTableWithName("m", elementary, {}, {{"t", "REAL NOT NULL"}}, &error));
  EXPECT_EQ(error.code, 3);
  EXPECT_NE(error.description.find("sqlite code 13"), std::string::npos) << error.description;
  EXPECT_NE(sqlite3_get_autocommit(store->sqliteHandle()), 0);
  EXPECT_TRUE(store->lastErrorIsTransient());
  EXPECT_EQ((*store->columnInfoForTableWithName("m", &error))["t"], "INTEGER");
  EXPECT_EQ(store->rowCountForTableWithName("m", &error), 1);

  // The same for a step of a plain transaction, and a later successful call changes nothing.
  EXPECT_FALSE(store->performTransaction(
      [&] { return store->executeSQL("CREATE TABLE more (a INTEGER)", &error); }));
  EXPECT_EQ(store->rowCountForTableWithName("m", &error), 1);
  EXPECT_TRUE(store->lastErrorIsTransient());

  // A failure that is not a passing condition is reported as such after its rollback too.
  ASSERT_EQ(sqlite3_exec(store->sqliteHandle(), "PRAGMA max_page_count = 1000000", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  EXPECT_FALSE(store->performTransaction(
      [&] { return store->executeSQL("INSERT INTO m (name) VALUES ('no time')", &error); }));
  EXPECT_FALSE(store->lastErrorIsTransient());
}

TEST_F(TLMSqliteStoreTest, MonitorContextNamesOperationCodeAccessAndFreeSpace) {
  auto store = open();
  ASSERT_TRUE(store);
  std::string context = store->monitorContextForDatabaseOperation("");
  EXPECT_EQ(context.rfind("Unknown operation,0,A,", 0), 0u) << context;
  EXPECT_GT(context.size(), std::string("Unknown operation,0,A,").size());
}

TEST_F(TLMSqliteStoreTest, ThrowingRowFilterLeavesTheQueryUsableAndNoLockHeld) {
  auto store = open();
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->executeSQL("CREATE TABLE t (a INTEGER)", nullptr));
  ASSERT_TRUE(store->executeSQL("INSERT INTO t VALUES (1)", nullptr));
  ASSERT_TRUE(store->executeSQL("INSERT INTO t VALUES (2)", nullptr));
  const std::string query = "SELECT a FROM t WHERE a >= ?";
  Error error;
  auto throwing = [](std::size_t, const TLMRecord&) -> bool { throw std::runtime_error("filter"); };
  EXPECT_THROW(store->recordsForQuery(query, {Value(0)}, &error, throwing), std::runtime_error);
  // Another connection can write: the read lock went with the reset.
  {
    ScopedBusyTimeout noWait(0);
    RawDatabase other(path);
    other.exec("INSERT INTO t VALUES (3)");
  }
  auto rows = store->recordsForQuery(query, {Value(2)}, &error);
  ASSERT_TRUE(rows) << error.fullDescription();
  EXPECT_EQ(rows->size(), 2u);
}

TEST_F(TLMSqliteStoreTest, ConnectionsWaitBrieflyForALockHeldElsewhere) {
  EXPECT_GE(TLMSqliteStore::busyTimeoutMilliseconds(), 1000);
  EXPECT_LE(TLMSqliteStore::busyTimeoutMilliseconds(), 10000);
  auto store = open();
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->executeSQL("CREATE TABLE t (a INTEGER)", nullptr));
  // Another connection holds the write lock a moment and lets go of it without committing: the
  // store's write waits for it instead of failing at once.
  RawDatabase holder(path);
  holder.exec("BEGIN IMMEDIATE");
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    holder.exec("ROLLBACK");
  });
  EXPECT_TRUE(store->performTransaction([&] { return store->upsertRecord({{"a", Value(1)}}, "t", nullptr); }));
  release.join();
  EXPECT_EQ(store->rowCountForTableWithName("t", nullptr), 1);
}

// Another connection holds the file past the busy timeout: its write lock keeps out a lone
// transaction and a write outside any, its exclusive lock a read too. Each waits for it however
// long it is held, says so once, and does its work once the other lets go. Without a busy timeout
// each fails at once, with SQLite's reason.
TEST_F(TLMSqliteStoreTest, EveryStatementWaitsForAConnectionThatHoldsTheFilePastTheBusyTimeout) {
  ScopedBusyTimeout short_(50);
  auto store = open();
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->executeSQL("CREATE TABLE t (a INTEGER)", nullptr));
  RawDatabase other(path);
  // Its commit waits for the store's waiting connection, which takes a read lock for a moment at
  // each look, as a tool with `.timeout` does.
  sqlite3_busy_timeout(other.handle(), 60'000);
  auto count = [&](int code) {
    const auto lines = monitor.lines();
    return std::count_if(lines.begin(), lines.end(), [code](const auto& line) { return line.code == code; });
  };
  struct Case {
    const char* hold;
    int said;
    std::function<bool()> work;
  };
  const Case cases[] = {
      {"BEGIN IMMEDIATE", 34026,
       [&] { return store->performTransaction([&] { return store->upsertRecord({{"a", Value(1)}}, "t", nullptr); }); }},
      {"BEGIN IMMEDIATE", 34027, [&] { return store->upsertRecord({{"a", Value(2)}}, "t", nullptr); }},
      {"BEGIN EXCLUSIVE", 34027,
       [&] { return store->numberForQuery("SELECT count(*) FROM t", {}, nullptr).value_or(Value()) == Value(2); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hold + std::string(" ") + std::to_string(c.said));
    monitor.clear();
    other.exec(c.hold);
    std::atomic<bool> done{false};
    bool worked = false;
    std::thread working([&] {
      worked = c.work();
      done.store(true);
    });
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (count(c.said) == 0 && !done.load() && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_FALSE(done.load());  // it gave up instead of waiting
    other.exec("COMMIT");
    working.join();
    EXPECT_TRUE(worked);
    EXPECT_EQ(count(c.said), 1);
    EXPECT_FALSE(monitor.contains(34008));
  }
  // A connection that already holds a read lock (its read under way) fails at once: the other
  // could be waiting for it to let go.
  other.exec("BEGIN IMMEDIATE");
  bool begun = true;
  EXPECT_TRUE(store->recordsForQuery("SELECT a FROM t", {}, nullptr, [&](std::size_t, const TLMRecord&) {
                     begun = store->performTransaction([] { return true; });
                     return false;
                   }).has_value());
  EXPECT_FALSE(begun);
  other.exec("COMMIT");

  ScopedBusyTimeout noWait(0);
  auto quick = open();
  ASSERT_TRUE(quick);
  other.exec("BEGIN IMMEDIATE");
  monitor.clear();
  EXPECT_FALSE(quick->performTransaction([] { return true; }));
  bool told = false;
  for (const auto& line : monitor.lines()) {
    if (line.code == 34008 && !line.context.empty()) {
      told = line.context[0].stringValue().value_or("").find("database is locked") != std::string::npos;
    }
  }
  EXPECT_TRUE(told);
  Error error;
  EXPECT_FALSE(quick->upsertRecord({{"a", Value(3)}}, "t", &error));
  EXPECT_NE(error.description.find("database is locked"), std::string::npos) << error.description;
  EXPECT_FALSE(monitor.contains(34026) || monitor.contains(34027));
  other.exec("COMMIT");
}

}  // namespace
