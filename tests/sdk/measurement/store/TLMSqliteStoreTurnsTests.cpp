// Connections of one app on one store take turns: a reader of another connection reads while a
// group is open, a store that waits for the write lock gets it after the group in hand (another
// thread's or another process's), two processes that write flat out each get their share, and a
// wait does not fail as busy while other connections keep committing.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <chrono>
#include <string>
#include <thread>

#include "StoreTestSupport.h"

using platform::Value;

namespace {

class TLMSqliteStoreTurnsTest : public StoreFixture {
 protected:
  std::unique_ptr<TLMSqliteStore> open() { return TLMSqliteStore::initWithDatabasePath(path, &monitor); }
  // A store on the file, which holds the table t; null when either failed.
  std::unique_ptr<TLMSqliteStore> openWithTable() {
    auto store = open();
    if (store && !store->executeSQL("CREATE TABLE IF NOT EXISTS t (writer INTEGER, data TEXT)", nullptr)) {
      store.reset();
    }
    return store;
  }
  // `rows` rows of about an event's size into t, in one group; false when the group failed.
  static bool writeGroup(TLMSqliteStore& store, int rows, std::int64_t writer) {
    if (!store.beginTransactionGroup()) return false;
    bool ok = true;
    for (int i = 0; i < rows && ok; ++i) {
      ok = store.performTransaction([&] {
        return store.upsertRecord({{"writer", Value(writer)}, {"data", Value(std::string(300, 'e'))}}, "t", nullptr);
      });
    }
    return store.commitTransactionGroup() && ok;
  }
  // Waits (generously) for `done`.
  static bool waitFor(const std::function<bool()>& done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
  // The store's side file on which waiting connections mark that they wait, opened as the test's
  // own (its marks count as another connection's).
  int openTurnFile() const { return ::open((path + "-turn").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600); }
  // Sets (F_RDLCK) or lets go of (F_UNLCK) a waiter's mark.
  static bool mark(int turnFile, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_len = 1;
    return ::fcntl(turnFile, F_OFD_SETLK, &lock) == 0;
  }
  // Whether a connection other than the one `turnFile` was opened for is marked as waiting.
  static bool marked(int turnFile) {
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_len = 1;
    return ::fcntl(turnFile, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
  }
  std::string path = dir.file("turns.sql");
};

// What a plain connection's first column of `sql` gives, with its result code.
std::pair<int, std::string> plainRead(sqlite3* db, const char* sql) {
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
  std::string value;
  if (rc == SQLITE_OK) {
    rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(statement, 0);
      value = text != nullptr ? reinterpret_cast<const char*>(text) : "NULL";
      rc = SQLITE_OK;
    }
  }
  sqlite3_finalize(statement);
  return {rc, value};
}

TEST_F(TLMSqliteStoreTurnsTest, AnotherConnectionReadsWhatWasCommittedWhileAGroupWritesButCannotWrite) {
  auto store = openWithTable();
  ASSERT_TRUE(store);
  ASSERT_TRUE(writeGroup(*store, 10, 1));
  RawDatabase other(path);
  sqlite3_busy_timeout(other.handle(), 0);  // no wait: the lock is there or it is not
  ASSERT_TRUE(store->beginTransactionGroup());
  // A group of a thousand events' rows (its pages stay in the cache until the commit).
  for (int i = 0; i < 1000; ++i) {
    ASSERT_TRUE(store->performTransaction([&] {
      return store->upsertRecord({{"writer", Value(1)}, {"data", Value(std::string(300, 'e'))}}, "t", nullptr);
    }));
  }
  EXPECT_EQ(plainRead(other.handle(), "SELECT count(*) FROM t"), std::make_pair(int{SQLITE_OK}, std::string("10")));
  // No other connection writes while the group is open: what the store knows of the file holds.
  EXPECT_EQ(sqlite3_exec(other.handle(), "INSERT INTO t VALUES (2, 'x')", nullptr, nullptr, nullptr), SQLITE_BUSY);
  EXPECT_NE(store->writeTransactionID(), 0u);
  ASSERT_TRUE(store->commitTransactionGroup());
  EXPECT_EQ(plainRead(other.handle(), "SELECT count(*) FROM t"), std::make_pair(int{SQLITE_OK}, std::string("1010")));
}

// Another thread's store groups flat out; each write of this one waits for about one of its
// groups, where it waited until its busy timeout ran out. The waiting store lets go of its mark
// for a moment at each step of its wait, and the pause a committer gives is bounded: a waiter the
// scheduler keeps from running then misses its turn. So the test holds a mark of its own while
// each write waits, as a waiter that never lets go, and makes the pause far longer than any wait
// for a processor: the groups that go by are what the stores do, not when the threads run. (That
// a waiting store marks is checked below.) Nor does the write give up while a group of the
// flooder, which the scheduler may keep from running for seconds, holds the lock: the busy
// timeout, which bounds a wait without commits, is a minute.
TEST_F(TLMSqliteStoreTurnsTest, AWriterWaitsForAboutOneGroupOfAConnectionThatWritesFlatOut) {
  ScopedBusyTimeout aMinuteWithoutCommits(60'000);
  ScopedTurnGiven aMinute(60'000'000);
  auto flooder = open();
  auto waiter = open();
  ASSERT_TRUE(flooder && waiter);
  ASSERT_TRUE(flooder->executeSQL("CREATE TABLE t (writer INTEGER, data TEXT)", nullptr));
  const int turn = openTurnFile();
  ASSERT_GE(turn, 0);
  std::atomic<bool> stop{false};
  std::atomic<std::int64_t> groups{0};
  std::atomic<bool> failed{false};
  std::thread flood([&] {
    while (!stop.load() && groups.load() < 200000) {
      if (!writeGroup(*flooder, 50, 1)) failed.store(true);
      groups.fetch_add(1);
    }
  });
  ASSERT_TRUE(waitFor([&] { return groups.load() >= 3; }));
  std::int64_t mostGroupsWaited = 0;
  int written = 0;
  bool markedEach = true;
  for (int i = 0; i < 20; ++i) {
    markedEach = mark(turn, F_RDLCK) && markedEach;
    const std::int64_t before = groups.load();
    if (waiter->performTransaction([&] {
          return waiter->upsertRecord({{"writer", Value(2)}, {"data", Value("w")}}, "t", nullptr);
        })) {
      ++written;
    }
    mostGroupsWaited = std::max(mostGroupsWaited, groups.load() - before);
    mark(turn, F_UNLCK);
  }
  stop.store(true);
  flood.join();
  ::close(turn);
  EXPECT_TRUE(markedEach);
  EXPECT_FALSE(failed.load());
  EXPECT_EQ(written, 20);
  // The group under way, and one committed just before the write that was not counted yet (the
  // flooder counts a group once its pause is over).
  EXPECT_LE(mostGroupsWaited, 2) << "groups committed while one write waited";
  EXPECT_EQ(waiter->numberForQuery("SELECT count(*) FROM t WHERE writer = 2", {}, nullptr), Value(20));
}

// A write that waits for another connection's lock marks that it waits, which is what a connection
// that has committed looks for before it begins again, keeps the mark until it has the lock, and
// lets go of it once it is done.
TEST_F(TLMSqliteStoreTurnsTest, AWriteThatWaitsMarksThatItWaitsUntilItIsDone) {
  ScopedBusyTimeout aMinute(60'000);
  auto store = open();
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->executeSQL("CREATE TABLE t (writer INTEGER, data TEXT)", nullptr));
  const int turn = openTurnFile();
  ASSERT_GE(turn, 0);
  RawDatabase holder(path);
  holder.exec("BEGIN IMMEDIATE");
  EXPECT_FALSE(marked(turn));
  std::atomic<bool> written{false};
  std::thread writer([&] {
    written = store->performTransaction(
        [&] { return store->upsertRecord({{"writer", Value(2)}, {"data", Value("w")}}, "t", nullptr); });
  });
  const bool markedWhileWaiting = waitFor([&] { return marked(turn); });
  // The mark stays while the write waits, between the steps of its wait too: a committer that
  // looks at any moment finds it.
  int unmarkedProbes = 0;
  for (int probe = 0; probe < 200'000; ++probe) unmarkedProbes += marked(turn) ? 0 : 1;
  holder.exec("ROLLBACK");
  writer.join();
  EXPECT_TRUE(markedWhileWaiting);
  EXPECT_EQ(unmarkedProbes, 0);
  EXPECT_TRUE(written.load());
  EXPECT_FALSE(marked(turn));
  ::close(turn);
}

// Two processes of the app write groups flat out on one store until it holds a number of them:
// each wrote a fair share (where the first to start kept the lock, the other waiting in vain).
// The pause a committer gives a waiter is made far longer than any wait for a processor, so that
// the shares are what the turns make, not which process the scheduler runs (a waiter keeps its
// mark until it has the lock, so the committer's pause ends as soon as the turn is taken), and no
// count gives up while the other's commit, which the scheduler may hold up, shuts reads out.
TEST_F(TLMSqliteStoreTurnsTest, TwoProcessesWritingFlatOutEachWriteAFairShare) {
  ScopedTurnGiven aMinute(60'000'000);
  ScopedBusyTimeout aMinuteWithoutCommits(60'000);
  {
    auto store = open();
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->executeSQL("CREATE TABLE t (writer INTEGER, data TEXT)", nullptr));
  }
  constexpr int kGroups = 300;
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  pid_t children[2];
  for (int writer = 0; writer < 2; ++writer) {
    children[writer] = ::fork();
    ASSERT_GE(children[writer], 0);
    if (children[writer] == 0) {
      ::close(go[1]);
      auto store = TLMSqliteStore::initWithDatabasePath(path, nullptr);
      char byte;
      if (!store || ::read(go[0], &byte, 1) != 0) ::_exit(2);  // both start when the pipe closes
      for (;;) {
        if (!writeGroup(*store, 20, writer)) ::_exit(3);
        auto total = store->numberForQuery("SELECT count(*) FROM t", {}, nullptr);
        if (!total) ::_exit(4);
        if (total->int64Value().value_or(0) >= kGroups * 20) ::_exit(0);
      }
    }
  }
  ::close(go[0]);
  ::close(go[1]);
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }
  RawDatabase check(path);
  const int first = std::stoi(check.scalar("SELECT count(*) FROM t WHERE writer = 0"));
  const int second = std::stoi(check.scalar("SELECT count(*) FROM t WHERE writer = 1"));
  EXPECT_GE(first + second, kGroups * 20);
  EXPECT_GE(first, (first + second) / 3) << first << " against " << second;
  EXPECT_GE(second, (first + second) / 3) << second << " against " << first;
}

// A plain connection commits again and again, holding its write lock longer than the store's busy
// timeout in all: the store's write waits while the other makes progress, and then goes through.
TEST_F(TLMSqliteStoreTurnsTest, AWaitDoesNotFailWhileAnotherConnectionKeepsCommitting) {
  ScopedBusyTimeout oneSecond(1000);
  auto store = openWithTable();
  ASSERT_TRUE(store);
  RawDatabase other(path);
  sqlite3_busy_timeout(other.handle(), 10000);  // it waits for the store's one write, if need be
  std::atomic<int> begun{0};
  std::atomic<int> committed{0};
  std::thread writer([&] {
    for (int i = 0; i < 6; ++i) {
      if (sqlite3_exec(other.handle(), "BEGIN IMMEDIATE; INSERT INTO t VALUES (1, 'p')", nullptr, nullptr, nullptr) !=
          SQLITE_OK) {
        return;
      }
      begun.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
      if (sqlite3_exec(other.handle(), "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) return;
      committed.fetch_add(1);
    }
  });
  ASSERT_TRUE(waitFor([&] { return begun.load() >= 1; }));
  const bool written = store->performTransaction(
      [&] { return store->upsertRecord({{"writer", Value(2)}, {"data", Value("s")}}, "t", nullptr); });
  writer.join();
  EXPECT_TRUE(written);
  EXPECT_FALSE(monitor.contains(34008));
  EXPECT_EQ(committed.load(), 6);
  EXPECT_EQ(store->numberForQuery("SELECT count(*) FROM t", {}, nullptr), Value(7));
  // It waited at least for the other's first commit (the test holds what it claims).
  EXPECT_GE(store->numberForQuery("SELECT count(*) FROM t WHERE writer = 1 AND rowid < "
                                  "(SELECT rowid FROM t WHERE writer = 2)",
                                  {}, nullptr)
                ->int64Value()
                .value_or(0),
            1);
}

// Another connection begins a read transaction and keeps it across a group's commit, longer than
// the busy timeout: the commit waits for it with its transaction kept, and when the reader lets
// go every row is stored once. A lone transaction's commit waits the same way.
TEST_F(TLMSqliteStoreTurnsTest, ACommitWaitsForAReaderThatHoldsItsReadPastTheBusyTimeout) {
  ScopedBusyTimeout short_(50);
  auto store = openWithTable();
  ASSERT_TRUE(store);
  ASSERT_TRUE(writeGroup(*store, 10, 1));
  RawDatabase reader(path);
  // Holds its read until the commit has found the file busy past its timeout (and said so), or
  // has ended; then lets go.
  auto holdReadAcross = [&](const std::function<bool()>& commit) {
    reader.exec("BEGIN");
    EXPECT_FALSE(reader.scalar("SELECT count(*) FROM t").empty());
    std::atomic<bool> done{false};
    bool committed = false;
    std::thread committing([&] {
      committed = commit();
      done.store(true);
    });
    EXPECT_TRUE(waitFor([&] { return monitor.contains(34025) || done.load(); }));
    reader.exec("COMMIT");
    committing.join();
    return committed;
  };

  ASSERT_TRUE(store->beginTransactionGroup());
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(store->performTransaction([&] {
      return store->upsertRecord({{"writer", Value(2)}, {"data", Value(std::string(300, 'e'))}}, "t", nullptr);
    }));
  }
  EXPECT_TRUE(holdReadAcross([&] { return store->commitTransactionGroup(); })) << reported(monitor);
  EXPECT_TRUE(monitor.contains(34025));
  EXPECT_FALSE(monitor.contains(34012)) << reported(monitor);
  EXPECT_EQ(reader.scalar("SELECT count(*) FROM t WHERE writer = 2"), "200");

  monitor.clear();
  EXPECT_TRUE(holdReadAcross([&] {
    return store->performTransaction(
        [&] { return store->upsertRecord({{"writer", Value(3)}, {"data", Value("lone")}}, "t", nullptr); });
  })) << reported(monitor);
  EXPECT_TRUE(monitor.contains(34025));
  EXPECT_EQ(reader.scalar("SELECT count(*) FROM t"), "211");
}

// Another connection holds the file's write lock (BEGIN IMMEDIATE), then its exclusive lock,
// past the busy timeout: a group's begin waits for it, however long, says so once, and the group
// writes all it is given once the other lets go. Without any wait allowed it fails at once, as
// before.
TEST_F(TLMSqliteStoreTurnsTest, AGroupsBeginWaitsForAConnectionThatHoldsTheFilePastTheBusyTimeout) {
  ScopedBusyTimeout short_(50);
  auto store = openWithTable();
  ASSERT_TRUE(store);
  RawDatabase other(path);
  // Its commit waits for the store's waiting connection, which takes a read lock for a moment at
  // each look, as a tool with `.timeout` does (without, a commit that meets that moment fails, and
  // the store waits on).
  sqlite3_busy_timeout(other.handle(), 60'000);
  for (const char* hold : {"BEGIN IMMEDIATE", "BEGIN EXCLUSIVE"}) {
    monitor.clear();
    other.exec(hold);
    std::atomic<bool> done{false};
    bool written = false;
    std::thread writing([&] {
      written = writeGroup(*store, 10, 1);
      done.store(true);
    });
    // Said once the begin found the file busy past its timeout; a begin that gives up ends instead.
    EXPECT_TRUE(waitFor([&] { return monitor.contains(34026) || done.load(); }));
    EXPECT_FALSE(done.load()) << hold;
    other.exec("COMMIT");
    writing.join();
    EXPECT_TRUE(written) << hold << reported(monitor);
    EXPECT_FALSE(monitor.contains(34008)) << reported(monitor);
  }
  EXPECT_EQ(other.scalar("SELECT count(*) FROM t"), "20");

  ScopedBusyTimeout noWait(0);
  auto quick = open();
  ASSERT_TRUE(quick);
  other.exec("BEGIN IMMEDIATE");
  monitor.clear();
  EXPECT_FALSE(quick->beginTransactionGroup());
  EXPECT_TRUE(monitor.contains(34008));
  EXPECT_FALSE(monitor.contains(34026));
  other.exec("COMMIT");
  EXPECT_TRUE(writeGroup(*quick, 1, 2));
}

// Without any wait allowed, a commit that finds a reader fails at once and keeps nothing.
TEST_F(TLMSqliteStoreTurnsTest, WithoutAnyWaitACommitThatFindsAReaderFailsAtOnce) {
  ScopedBusyTimeout noWait(0);
  auto store = openWithTable();
  ASSERT_TRUE(store);
  RawDatabase reader(path);
  reader.exec("BEGIN");
  EXPECT_EQ(reader.scalar("SELECT count(*) FROM t"), "0");
  ASSERT_TRUE(store->beginTransactionGroup());
  ASSERT_TRUE(store->performTransaction(
      [&] { return store->upsertRecord({{"writer", Value(1)}, {"data", Value("x")}}, "t", nullptr); }));
  EXPECT_FALSE(store->commitTransactionGroup());
  EXPECT_FALSE(monitor.contains(34025));
  reader.exec("COMMIT");
  EXPECT_EQ(reader.scalar("SELECT count(*) FROM t"), "0");
  EXPECT_TRUE(store->performTransaction([] { return true; }));
}

// A waiting connection must wake within the pause of one that has just committed, or that one
// begins its next write before the waiter looks again: every step of a wait, however long it has
// gone on, stays well below the pause.
TEST(TLMSqliteStoreWaitSteps, EveryStepOfAWaitIsWellBelowTheTurnACommitterGives) {
  const long turn = TLMSqliteStore::turnGivenMicroseconds();
  ASSERT_GT(turn, 0);
  long longest = 0;
  for (int count = 0; count < 1'000'000; ++count) {
    const long step = TLMSqliteStore::waitStepMicroseconds(count);
    ASSERT_GT(step, 0) << "step " << count;
    longest = std::max(longest, step);
  }
  EXPECT_LE(longest * 4, turn) << "longest step " << longest << " us, turn " << turn << " us";
}

// Without any wait allowed, a held lock fails the transaction at once, as before, as a passing
// failure. (With a wait allowed it waits as long as the lock is held: TLMSqliteStoreTest.)
TEST_F(TLMSqliteStoreTurnsTest, NoWaitFailsAtOnceAsAPassingFailure) {
  auto store = openWithTable();
  ASSERT_TRUE(store);
  RawDatabase other(path);
  other.exec("BEGIN IMMEDIATE");
  {
    ScopedBusyTimeout noWait(0);
    auto quick = open();
    ASSERT_TRUE(quick);
    EXPECT_FALSE(quick->performTransaction([] { return true; }));
    EXPECT_TRUE(quick->lastErrorIsTransient());
  }
  other.exec("COMMIT");
  EXPECT_TRUE(store->performTransaction([] { return true; }));
}

}  // namespace
