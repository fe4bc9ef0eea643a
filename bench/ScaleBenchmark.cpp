// The measurement engine at the sizes an app reaches when it stays offline: each figure is a
// ratio against a baseline measured in the same process, in rounds that take turns, printed as
// min / median / max over the rounds.
//
//   growth     one logged event with 10k / 100k raw events stored, against an empty store (tmpfs)
//   metadata   one logged event with a new metadata row (a user property changed before it) with
//              10k / 100k metadata rows stored, each used by one raw event (100k is the table's
//              limit), against an empty store (tmpfs); at 100k also right after a store step of a
//              new row that rolled back, against the steady figure; and the store step of one
//              event at a raw-event cap of 1M once an event from the middle went, against the
//              same without the gap; the first new row after a start with 1M events and a full
//              table, in four layouts, and the first new row that needs room after an upload
//              (tmpfs)
//   plain      one logged event (one commit) against plain SQLite writing the same bytes in two
//              commits (a counts-row update, then the raw-event insert) on a file opened with the store's
//              connection settings, on tmpfs and on disk; for reference also against SQLite's
//              default settings
//   audiences  bundling per event with 1 / 10 / 100 audiences of one event filter, against none
//   queue      bundling and upload preparation (selecting one batch) per event with 10k / 100k
//              bundles queued, against 1k
//   memory     peak resident memory of logging N events through the engine, against plain SQLite
//              (each in its own child process)
//   drain      10k events waiting on the worker (as when the app ends), on disk: how many are
//              stored within the app's end's 5 s and how long all take, written in groups; the
//              same events logged each once the one before is stored (each a group of one);
//              against plain SQLite writing the same rows in commits of as many rows, and with
//              two commits a row; and 4k events with a user property set after every 7th, in
//              groups, against the same events without properties
//
// Usage: scale_bench [--quick] [growth|metadata|plain|plain-tmpfs|plain-disk|audiences|queue|memory|drain]...
// --quick runs every case at tiny sizes (a check that the benchmark still builds and runs; its
// figures mean nothing). Without case names every case runs; --help lists them, and a name it
// does not know is refused (status 2) with that list.
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchEngine.h"
#include "PlainRawEvents.h"
#include "foundation/Bundle.h"
#include "foundation/Sandbox.h"
#include "measurement/engine/audiences/TLMAudience.h"
#include "measurement/model/TLMObject.h"
#include "measurement/model/TLMUtil.h"
#include "measurement/store/TLMDatabase.h"
#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr double kStart = 1700000000.0;
// How long the app's end waits for queued work (kTLMAppTerminationWaitSeconds).
constexpr double kDrainBound = 5.0;

struct Sizes {
  std::vector<int> stored{0, 10000, 100000};
  std::vector<int> metadataRows{0, 10000, 100000};
  int capEvents = 1000000;
  std::vector<int> audiences{0, 1, 10, 100};
  std::vector<int> queued{1000, 10000, 100000};
  int rounds = 7;
  int eventsPerRound = 300;
  int bundledPerRound = 300;
  int uploadQueries = 30;
  int memoryEvents = 100000;
  int drainEvents = 10000;
  int drainRounds = 3;
  int drainPropertyEvents = 4000;
};

Sizes quickSizes() {
  Sizes s;
  s.stored = {0, 20, 50};
  s.metadataRows = {0, 20, 50};
  s.capEvents = 50;
  s.audiences = {0, 1, 3};
  s.queued = {10, 20, 40};
  s.rounds = 1;
  s.eventsPerRound = 4;
  s.bundledPerRound = 4;
  s.uploadQueries = 2;
  s.memoryEvents = 20;
  s.drainEvents = 40;
  s.drainRounds = 1;
  s.drainPropertyEvents = 30;
  return s;
}

// Ends the run: main reports `what`, once every folder the run made is removed on the way out.
[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

double secondsSince(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

void printRatios(const std::string& label, std::vector<double> ratios) {
  if (ratios.empty()) return;
  std::sort(ratios.begin(), ratios.end());
  std::printf("%-52s min %6.2f  median %6.2f  max %6.2f\n", label.c_str(), ratios.front(),
              ratios[ratios.size() / 2], ratios.back());
}

void printMicros(const std::string& label, std::vector<double> micros) {
  if (micros.empty()) return;
  std::sort(micros.begin(), micros.end());
  std::printf("%-52s median %9.1f us\n", label.c_str(), micros[micros.size() / 2]);
}

TLMEventPtr makeEvent(int i, double time) {
  return TLMEvent::initWithOrigin("app", true, "level_up", time, 0,
                                  {{"level", TLMObject(TLMValue(std::int64_t{i}))},
                                   {"character", TLMObject(TLMValue("wizard"))},
                                   {"score", TLMObject(TLMValue(1234.5))}});
}

// A sandbox under `base` (a tmpfs or disk directory) with the bench app as main bundle, and the
// clock every engine and store of the case reads.
struct Place {
  std::string root;
  std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scopedClock{clock};

  explicit Place(const std::string& base) {
    std::string pattern = base + "/scale-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) fail("cannot make a folder in " + base + ": " + std::strerror(errno));
    root = pattern;
    try {
      platform::sandbox::setRoot(root + "/app");
      platform::sandbox::setDeviceRoot(root + "/device");
    } catch (...) {
      std::error_code ignored;
      std::filesystem::remove_all(root, ignored);
      throw;
    }
    platform::Value info;
    info.set("CFBundleIdentifier", platform::Value("com.example.bench"));
    info.set("CFBundleShortVersionString", platform::Value("1.0"));
    platform::Bundle::setMain(std::make_shared<platform::Bundle>("", info));
    clock->setNow(kStart);
  }
  ~Place() {
    platform::Bundle::resetForTesting();
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }
};

// The metadata record of the store-level cases (another one for another app id).
std::shared_ptr<TLMPBMeasurementBundle> benchMetadata(const std::string& appID = "com.example.bench") {
  auto metadata = TLMPBMeasurementBundle::initWithMessageInfo(nullptr);
  NANOSetInt32(*metadata, TLMPBMeasurementBundleSlot::protocol_version, 1);
  NANOSetString(*metadata, TLMPBMeasurementBundleSlot::app_id, appID);
  NANOSetString(*metadata, TLMPBMeasurementBundleSlot::platform, "ios");
  return metadata;
}

// `count` raw events of one metadata record, one transaction, stamped just before now.
void storeRawEvents(TLMDatabase& db, int count, double now) {
  db.performTransaction([&] {
    auto metadata = benchMetadata();
    platform::Error error;
    if (!db.insertIfNotExistsRawEventMetadata(*metadata, &error)) return false;
    const std::int64_t fingerprint = tlm_64LSBMD5(metadata->protoBuffer().value_or(platform::Bytes{}));
    for (int i = 0; i < count; ++i) {
      // Within one clock hour of now, so bundling groups them by count.
      const double time = now - 1.0 + static_cast<double>(i) / std::max(count, 1);
      if (!db.insertRawEvent(makeEvent(i, time), fingerprint, false, &error)) return false;
    }
    return true;
  });
}

void logEvents(BenchEngine& bench, int first, int count) {
  for (int i = first; i < first + count; ++i) {
    bench.engine->logEvent(makeEvent(i, bench.clock->now()));
    bench.worker->drain();
  }
}

// Rounds in which every subject takes `chunks` turns, the subjects alternating turn by turn (a
// machine whose speed changes weighs on all of them alike) and the order rotating; `turn` returns
// its seconds per event. Returns each subject's mean per round.
std::vector<std::vector<double>> takeTurns(int rounds, std::size_t subjects,
                                           const std::function<double(std::size_t, int)>& turn,
                                           int chunks = 1) {
  std::vector<std::vector<double>> seconds(subjects);
  for (int round = 0; round < rounds; ++round) {
    std::vector<double> sums(subjects, 0);
    for (int chunk = 0; chunk < chunks; ++chunk) {
      for (std::size_t k = 0; k < subjects; ++k) {
        const std::size_t subject = (k + static_cast<std::size_t>(round + chunk)) % subjects;
        sums[subject] += turn(subject, round);
      }
    }
    for (std::size_t k = 0; k < subjects; ++k) seconds[k].push_back(sums[k] / chunks);
  }
  return seconds;
}

// Turns of about 25 logged events.
int chunksOf(int events) { return std::max(1, events / 25); }

std::vector<double> ratiosOf(const std::vector<double>& values, const std::vector<double>& base) {
  std::vector<double> out;
  for (std::size_t i = 0; i < values.size() && i < base.size(); ++i) {
    out.push_back(base[i] > 0 ? values[i] / base[i] : 0);
  }
  return out;
}

std::string sizeName(int n) {
  if (n >= 1000000 && n % 1000000 == 0) return std::to_string(n / 1000000) + "M";
  if (n >= 1000 && n % 1000 == 0) return std::to_string(n / 1000) + "k";
  return std::to_string(n);
}

// Each size's time per event, then each one's ratio against the first (an empty store).
void printAgainstEmpty(const std::string& label, const std::vector<int>& sizes, const std::string& what,
                       const std::vector<std::vector<double>>& seconds) {
  for (std::size_t k = 0; k < seconds.size(); ++k) {
    std::vector<double> micros;
    for (double s : seconds[k]) micros.push_back(1e6 * s);
    printMicros(label + sizeName(sizes[k]) + what, micros);
  }
  for (std::size_t k = 1; k < seconds.size(); ++k) {
    printRatios(label + sizeName(sizes[k]) + what + " / empty (tmpfs)", ratiosOf(seconds[k], seconds[0]));
  }
}

// MARK: - Cases

void growth(const Sizes& sizes) {
  Place place("/dev/shm");
  std::vector<std::unique_ptr<BenchEngine>> engines;
  for (int stored : sizes.stored) {
    engines.push_back(std::make_unique<BenchEngine>(place.clock, "growth-" + std::to_string(stored) + ".sql"));
    storeRawEvents(*engines.back()->engine->database(), stored, place.clock->now());
  }
  int next = 0;
  const int chunks = chunksOf(sizes.eventsPerRound);
  const int perTurn = sizes.eventsPerRound / chunks;
  auto seconds = takeTurns(sizes.rounds, engines.size(), [&](std::size_t k, int) {
    const auto start = SteadyClock::now();
    logEvents(*engines[k], next, perTurn);
    const double elapsed = secondsSince(start);
    next += perTurn;
    return elapsed / perTurn;
  }, chunks);
  printAgainstEmpty("growth: one event, ", sizes.stored, " stored", seconds);
}

// Metadata rows up to `rows`, each with one raw event, as an app offline whose user properties
// change before every event stores them; written through plain SQLite in one transaction.
void storeMetadataRows(BenchEngine& bench, int rows) {
  TLMMeasurementEngine& engine = *bench.engine;
  sqlite3* db = nullptr;
  sqlite3_open_v2(engine.database()->databasePath().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  sqlite3_stmt* metadata = nullptr;
  sqlite3_prepare_v2(db, "INSERT OR IGNORE INTO raw_events_metadata VALUES (?, ?)", -1, &metadata, nullptr);
  sqlite3_stmt* insert = prepareRawEventInsert(db);
  sqlite3_stmt* count = nullptr;
  sqlite3_prepare_v2(db, "SELECT count(*) FROM raw_events_metadata", -1, &count, nullptr);
  sqlite3_step(count);
  const int stored = sqlite3_column_int(count, 0);
  sqlite3_finalize(count);
  sqlite3_exec(db, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr);
  const double now = bench.clock->now();
  for (int i = stored; i < rows; ++i) {
    auto attribute = TLMUserAttribute::initWithOrigin("app", "stored", TLMValue(std::int64_t{i}), now - 10);
    const auto bytes = *engine.createRawEventMetadataWithUserAttributes({*attribute})->protoBuffer();
    const std::int64_t fingerprint = tlm_64LSBMD5(bytes);
    sqlite3_bind_int64(metadata, 1, fingerprint);
    sqlite3_bind_blob(metadata, 2, bytes.data(), static_cast<int>(bytes.size()), SQLITE_STATIC);
    sqlite3_step(metadata);
    sqlite3_reset(metadata);
    auto event = makeEvent(i, now - 10);
    insertRawEventRow(insert, *event, plainRawEventRowData(*event), fingerprint);
  }
  sqlite3_exec(db, "END TRANSACTION", nullptr, nullptr, nullptr);
  sqlite3_finalize(insert);
  sqlite3_finalize(metadata);
  sqlite3_close(db);
}

// `events` raw events of one stored metadata row at `path` (the store's file), written through
// plain SQLite; with `gap` the one in the middle deleted.
void storeCapEvents(const std::string& path, int events, bool gap, double now) {
  platform::Error error;
  std::int64_t fingerprint = 0;
  {
    auto database = TLMDatabase::initWithDatabasePath(path, nullptr, nullptr);
    if (!database || !database->insertIfNotExistsRawEventMetadata(*benchMetadata(), &error, &fingerprint)) {
      fail("cannot set up " + path + ": " + error.description);
    }
  }
  auto event = makeEvent(0, now - 10);
  const auto row = plainRawEventRowData(*event);
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db,
                     "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < ?1) INSERT INTO "
                     "raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) SELECT 'level_up', ?2, "
                     "?3, ?4, 0 FROM n",
                     -1, &insert, nullptr);
  sqlite3_bind_int(insert, 1, events);
  sqlite3_bind_double(insert, 2, event->timestamp());
  sqlite3_bind_int64(insert, 3, fingerprint);
  sqlite3_bind_blob(insert, 4, row.data(), static_cast<int>(row.size()), SQLITE_STATIC);
  sqlite3_step(insert);
  sqlite3_finalize(insert);
  if (gap) {
    sqlite3_exec(db, ("DELETE FROM raw_events WHERE rowid = " + std::to_string(events / 2)).c_str(), nullptr,
                 nullptr, nullptr);
  }
  sqlite3_close(db);
}

// The store step of one event at a raw-event cap of `sizes.capEvents`, with that many events
// stored: once an event from the middle went, against the same without the gap.
void capAfterMiddleDeletion(const Sizes& sizes, Place& place) {
  auto settings = std::make_shared<TLMStoreDefaultSettings>();
  settings->maxEventsStoredValue = sizes.capEvents;
  std::vector<std::unique_ptr<TLMDatabase>> databases;
  for (bool gap : {false, true}) {
    const std::string path = place.root + (gap ? "/cap-gap.sql" : "/cap.sql");
    storeCapEvents(path, sizes.capEvents, gap, place.clock->now());
    databases.push_back(TLMDatabase::initWithDatabasePath(path, settings, nullptr));
  }
  const auto metadata = benchMetadata();
  int next = 0;
  // The engine's store step: the metadata row (stored), the cap, the event.
  auto storeStep = [&](TLMDatabase& db) {
    auto event = makeEvent(next++, place.clock->now());
    platform::Error error;
    std::int64_t fingerprint = 0;
    std::optional<std::int64_t> over;
    const bool stored = db.performTransaction([&] {
      return db.insertIfNotExistsRawEventMetadata(*metadata, &error, &fingerprint) &&
             (over = db.deleteRawEventsOverAbsoluteLimit(&error)) && db.insertRawEvent(event, fingerprint, false, &error);
    });
    if (!stored) {
      fail("store step failed: " + error.description);
    }
  };
  // The first step counts the rows the other connection wrote; not timed.
  for (auto& db : databases) storeStep(*db);
  const int chunks = chunksOf(sizes.eventsPerRound);
  const int perTurn = sizes.eventsPerRound / chunks;
  auto seconds = takeTurns(sizes.rounds, databases.size(), [&](std::size_t k, int) {
    const auto start = SteadyClock::now();
    for (int i = 0; i < perTurn; ++i) storeStep(*databases[k]);
    return secondsSince(start) / perTurn;
  }, chunks);
  const std::string cap = "metadata: store step at a " + sizeName(sizes.capEvents) + " cap";
  for (std::size_t k = 0; k < seconds.size(); ++k) {
    std::vector<double> micros;
    for (double value : seconds[k]) micros.push_back(1e6 * value);
    printMicros(cap + (k == 0 ? "" : ", middle gap"), micros);
  }
  printRatios(cap + ", middle gap / none", ratiosOf(seconds[1], seconds[0]));
}

// The first new metadata row after a start (a fresh store object), with `sizes.capEvents` raw
// events and a full table of the largest metadata size, in four layouts: each row's events in
// one run; all but one event a row in one run of the first row, whose last event comes last (so
// the row to free is the first one after the run); the same run made of two rows taking turns;
// every row taking turns (the row to free has its last event after nine tenths of the events).
// Milliseconds per start, a few starts.
void firstNewRowAfterAStart(const Sizes& sizes, Place& place) {
  const int rows = sizes.metadataRows.back();
  const int events = sizes.capEvents;
  auto settings = std::make_shared<TLMStoreDefaultSettings>();
  settings->maxEventsStoredValue = 2 * events;
  settings->maxRawEventsMetadataStoredValue = rows;
  const auto row = plainRawEventRowData(*makeEvent(0, place.clock->now() - 10));
  const std::vector<std::pair<std::string, std::string>> layouts = {
      {"runs of one row", "1 + (i - 1) * ?2 / ?1"},
      {"one row first", "CASE WHEN i <= ?1 - ?2 OR i = ?1 THEN 1 ELSE i - (?1 - ?2) + 1 END"},
      {"two rows taking turns first",
       "CASE WHEN i <= ?1 - ?2 THEN 1 + i % 2 WHEN i >= ?1 - 1 THEN 2 - i % 2 ELSE i - (?1 - ?2) + 2 END"},
      {"all rows taking turns", "1 + (i - 1) % ?2"}};
  int round = 0;
  for (const auto& [name, fingerprints] : layouts) {
    const std::string path = place.root + "/start-" + std::to_string(round) + ".sql";
    TLMDatabase::initWithDatabasePath(path, settings, nullptr);
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_exec(db,
                 ("BEGIN; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                  std::to_string(rows) + ") INSERT INTO raw_events_metadata SELECT i, x'0a' FROM n")
                     .c_str(),
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db,
                       ("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < ?1) INSERT INTO "
                        "raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) SELECT 'level_up', ?3, " +
                        fingerprints + ", ?4, 0 FROM n")
                           .c_str(),
                       -1, &insert, nullptr);
    sqlite3_bind_int(insert, 1, events);
    sqlite3_bind_int(insert, 2, rows);
    sqlite3_bind_double(insert, 3, place.clock->now() - 10);
    sqlite3_bind_blob(insert, 4, row.data(), static_cast<int>(row.size()), SQLITE_STATIC);
    if (sqlite3_step(insert) != SQLITE_DONE) {
      const std::string why = sqlite3_errmsg(db);
      sqlite3_finalize(insert);
      sqlite3_close(db);
      fail("cannot write the layout: " + why);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    std::vector<double> millis;
    std::int64_t deleted = 0;
    for (int start = 0; start < std::min(sizes.rounds, 3); ++start) {
      auto database = TLMDatabase::initWithDatabasePath(path, settings, nullptr);
      const auto metadata = benchMetadata("com.example.start" + std::to_string(++round));
      const auto begin = SteadyClock::now();
      database->performTransaction([&] {
        platform::Error error;
        std::int64_t fingerprint = 0;
        return database->insertIfNotExistsRawEventMetadata(*metadata, &error, &fingerprint, &deleted) &&
               database->insertRawEvent(makeEvent(round, place.clock->now()), fingerprint, false, &error);
      });
      millis.push_back(1e3 * secondsSince(begin));
    }
    std::sort(millis.begin(), millis.end());
    std::printf("%-52s min %6.1f  median %6.1f  max %6.1f ms (last freed %lld events)\n",
                ("metadata: first new row after a start, " + sizeName(events) + " events, " + name).c_str(),
                millis.front(), millis[millis.size() / 2], millis.back(), static_cast<long long>(deleted));
  }
}

// An upload of the oldest event with its row, as the bundling does: the table has room for one
// row, and the next new row that needs room sweeps for rows no event uses and searches from the
// first event, as after a start. Milliseconds of that row's event, three uploads.
void firstNewRowAfterAnUpload(BenchEngine& bench, int rows, const std::function<double(BenchEngine&)>& logWithNewMetadata) {
  TLMDatabase& db = *bench.engine->database();
  std::vector<double> millis;
  for (int upload = 0; upload < 3; ++upload) {
    platform::Error error;
    const auto fingerprint = db.nextMetadataFingerprintToProcess(&error);
    const auto oldest = db.sqliteStore()->numberForQuery("SELECT min(rowid) FROM raw_events", {}, &error);
    const bool uploaded = fingerprint && oldest && db.performTransaction([&] {
      return db.deleteRawEventsWithMaxRowID(oldest->int64Value().value_or(0), &error) &&
             db.deleteRawEventMetadataWithMetadataFingerprint(*fingerprint, &error);
    });
    if (!uploaded) {
      fail("upload failed: " + error.description);
    }
    logWithNewMetadata(bench);
    millis.push_back(1e3 * logWithNewMetadata(bench));
  }
  std::sort(millis.begin(), millis.end());
  std::printf("%-52s min %6.1f  median %6.1f  max %6.1f ms\n",
              ("metadata: first new row after an upload, " + sizeName(rows) + " rows").c_str(),
              millis.front(), millis[millis.size() / 2], millis.back());
}

void metadata(const Sizes& sizes) {
  Place place("/dev/shm");
  std::vector<std::unique_ptr<BenchEngine>> engines;
  for (int rows : sizes.metadataRows) {
    engines.push_back(std::make_unique<BenchEngine>(place.clock, "metadata-" + std::to_string(rows) + ".sql"));
    storeMetadataRows(*engines.back(), rows);
  }
  int next = 0;
  // Seconds of event `next` after a changed property (so its metadata is new; not timed).
  auto logWithNewMetadata = [&](BenchEngine& bench) {
    bench.engine->setUserAttribute(
        TLMUserAttribute::initWithOrigin("app", "level", TLMValue(std::int64_t{next}), bench.clock->now()));
    bench.worker->drain();
    const auto start = SteadyClock::now();
    bench.engine->logEvent(makeEvent(next++, bench.clock->now()));
    bench.worker->drain();
    return secondsSince(start);
  };
  // A store step of a new row that fails after making room for it (as one for an event refused
  // late does): rolled back, not timed.
  auto rollBackANewRow = [&](BenchEngine& bench) {
    TLMDatabase& db = *bench.engine->database();
    auto attribute =
        TLMUserAttribute::initWithOrigin("app", "rolled_back", TLMValue(std::int64_t{next}), bench.clock->now());
    auto rowMetadata = bench.engine->createRawEventMetadataWithUserAttributes({*attribute});
    db.performTransaction([&] {
      platform::Error error;
      db.insertIfNotExistsRawEventMetadata(*rowMetadata, &error);
      return false;
    });
  };
  // The first new row after a start reads the table once (its count, and a full table's search
  // for rows no event uses): shown apart, the rounds time the events after it.
  std::vector<double> first;
  for (auto& bench : engines) first.push_back(1e6 * logWithNewMetadata(*bench));
  const int chunks = chunksOf(sizes.eventsPerRound);
  const int perTurn = sizes.eventsPerRound / chunks;
  // The last subject is the fullest store again, each event right after a rolled-back step.
  auto seconds = takeTurns(sizes.rounds, engines.size() + 1, [&](std::size_t k, int) {
    BenchEngine& bench = *engines[std::min(k, engines.size() - 1)];
    double elapsed = 0;
    for (int i = 0; i < perTurn; ++i) {
      if (k == engines.size()) rollBackANewRow(bench);
      elapsed += logWithNewMetadata(bench);
    }
    return elapsed / perTurn;
  }, chunks);
  for (std::size_t k = 0; k < engines.size(); ++k) {
    std::printf("%-52s %9.1f us\n",
                ("metadata: first event, " + sizeName(sizes.metadataRows[k]) + " metadata rows").c_str(),
                first[k]);
  }
  const std::vector<double> afterRollback = seconds.back();
  seconds.pop_back();
  printAgainstEmpty("metadata: one event, ", sizes.metadataRows, " rows", seconds);
  printRatios("metadata: after a rollback / steady, " + sizeName(sizes.metadataRows.back()) + " rows",
              ratiosOf(afterRollback, seconds.back()));
  firstNewRowAfterAnUpload(*engines.back(), sizes.metadataRows.back(), logWithNewMetadata);
  capAfterMiddleDeletion(sizes, place);
  firstNewRowAfterAStart(sizes, place);
}

void plain(const Sizes& sizes, const std::string& base, const std::string& where) {
  Place place(base);
  BenchEngine engine(place.clock, "plain-engine.sql");
  // The baseline opens its file as the store does; the second writer keeps SQLite's defaults
  // (for reference: the ratio against it also counts the store's connection settings).
  PlainWriter writer(place.root + "/plain.sql", true);
  PlainWriter defaults(place.root + "/plain-defaults.sql", true, false);
  int next = 0;
  const int chunks = chunksOf(sizes.eventsPerRound);
  const int perTurn = sizes.eventsPerRound / chunks;
  auto seconds = takeTurns(sizes.rounds, 3, [&](std::size_t k, int) {
    std::vector<TLMEventPtr> events;
    std::vector<std::vector<std::uint8_t>> rows;
    for (int i = 0; i < perTurn; ++i) {
      events.push_back(makeEvent(next + i, place.clock->now()));
      rows.push_back(plainRawEventRowData(*events.back()));
    }
    next += perTurn;
    const auto start = SteadyClock::now();
    for (std::size_t i = 0; i < events.size(); ++i) {
      if (k == 0) {
        engine.engine->logEvent(events[i]);
        engine.worker->drain();
      } else {
        (k == 1 ? writer : defaults).write(*events[i], rows[i]);
      }
    }
    return secondsSince(start) / perTurn;
  }, chunks);
  auto micros = [](const std::vector<double>& s) {
    std::vector<double> out;
    for (double v : s) out.push_back(1e6 * v);
    return out;
  };
  printMicros("plain: engine, one event (" + where + ")", micros(seconds[0]));
  printMicros("plain: plain SQLite, two commits (" + where + ")", micros(seconds[1]));
  printMicros("plain: plain SQLite, defaults (" + where + ")", micros(seconds[2]));
  printRatios("plain: one event, engine / plain SQLite (" + where + ")", ratiosOf(seconds[0], seconds[1]));
  printRatios("plain: engine / plain SQLite defaults (" + where + ")", ratiosOf(seconds[0], seconds[2]));
}

// Audience `id`: one event filter on "level_up" whose "level" parameter must exceed `id` x 10,
// so the audiences turn true one after another as the levels grow.
std::shared_ptr<TLMPBAudience> audienceDefinition(std::int32_t id) {
  auto number = TLMPBNumberFilter::initWithMessageInfo(nullptr);
  NANOSetInt32(*number, TLMPBNumberFilterSlot::comparison_type, 2);
  NANOSetString(*number, TLMPBNumberFilterSlot::comparison_value, std::to_string(id * 10));
  auto parameter = TLMPBFilter::initWithMessageInfo(nullptr);
  NANOSetMessage(*parameter, TLMPBFilterSlot::number_filter, number);
  NANOSetString(*parameter, TLMPBFilterSlot::param_name, "level");
  auto filter = TLMPBEventFilter::initWithMessageInfo(nullptr);
  NANOSetInt32(*filter, TLMPBEventFilterSlot::filter_id, 0);
  NANOSetString(*filter, TLMPBEventFilterSlot::event_name, "level_up");
  NANOSetArray(*filter, TLMPBEventFilterSlot::filters, std::vector<std::shared_ptr<TLMPBFilter>>{parameter});
  auto audience = TLMPBAudience::initWithMessageInfo(nullptr);
  NANOSetInt32(*audience, TLMPBAudienceSlot::audience_id, id);
  NANOSetArray(*audience, TLMPBAudienceSlot::event_filters, std::vector<std::shared_ptr<TLMPBEventFilter>>{filter});
  return audience;
}

// Bundles every stored raw event; the seconds per event.
double bundleAll(BenchEngine& bench, int events) {
  const auto start = SteadyClock::now();
  while (bench.engine->bundleRawEvents()) {
  }
  return secondsSince(start) / std::max(events, 1);
}

void audiences(const Sizes& sizes) {
  Place place("/dev/shm");
  std::vector<std::unique_ptr<BenchEngine>> engines;
  for (int count : sizes.audiences) {
    auto makeAudience = [](TLMDatabase& database, std::shared_ptr<TLMRemoteConfig> config) {
      auto settings = std::make_shared<TLMAudienceFixedSettings>();
      settings->maxAudiences = 500;
      (void)config;
      return std::make_shared<TLMAudience>(database, settings);
    };
    engines.push_back(std::make_unique<BenchEngine>(place.clock, "audiences-" + std::to_string(count) + ".sql",
                                                    makeAudience));
    std::vector<std::shared_ptr<TLMPBAudience>> definitions;
    for (int id = 0; id < count; ++id) definitions.push_back(audienceDefinition(id));
    if (!definitions.empty() && !engines.back()->engine->audience()->updateAudiences(definitions)) {
      fail("audiences were not stored");
    }
    while (engines.back()->engine->bundleRawEvents()) {
    }
  }
  auto seconds = takeTurns(sizes.rounds, engines.size(), [&](std::size_t k, int) {
    storeRawEvents(*engines[k]->engine->database(), sizes.bundledPerRound, place.clock->now());
    return bundleAll(*engines[k], sizes.bundledPerRound);
  });
  for (std::size_t k = 0; k < engines.size(); ++k) {
    std::vector<double> micros;
    for (double s : seconds[k]) micros.push_back(1e6 * s);
    printMicros("audiences: bundling per event, " + std::to_string(sizes.audiences[k]) + " audiences", micros);
  }
  for (std::size_t k = 1; k < engines.size(); ++k) {
    printRatios("audiences: bundling per event, " + std::to_string(sizes.audiences[k]) + " / none",
                ratiosOf(seconds[k], seconds[0]));
  }
}

// `count` bundles of ten events each in the queue, ending just before now.
void queueBundles(BenchEngine& bench, int count) {
  TLMDatabase& db = *bench.engine->database();
  const double now = bench.clock->now();
  db.performTransaction([&] {
    platform::Error error;
    for (int i = 0; i < count; ++i) {
      auto bundle = TLMPBMeasurementBundle::initWithMessageInfo(nullptr);
      NANOSetInt32(*bundle, TLMPBMeasurementBundleSlot::protocol_version, 1);
      NANOSetString(*bundle, TLMPBMeasurementBundleSlot::app_id, "com.example.bench");
      std::vector<std::shared_ptr<TLMPBEvent>> events;
      const double time = now - 3600.0 + 3000.0 * i / count;
      for (int e = 0; e < 10; ++e) events.push_back(makeEvent(e, time)->protoEvent());
      NANOSetArray(*bundle, TLMPBMeasurementBundleSlot::events, events);
      NANOSetInt64(*bundle, TLMPBMeasurementBundleSlot::start_timestamp_millis, TLMMillisecondsFromSeconds(time));
      NANOSetInt64(*bundle, TLMPBMeasurementBundleSlot::end_timestamp_millis, TLMMillisecondsFromSeconds(time));
      if (!db.insertBundle(*bundle, false, &error)) return false;
    }
    return true;
  });
}

void queue(const Sizes& sizes) {
  Place place("/dev/shm");
  std::vector<std::unique_ptr<BenchEngine>> engines;
  for (int count : sizes.queued) {
    engines.push_back(std::make_unique<BenchEngine>(place.clock, "queue-" + std::to_string(count) + ".sql"));
    while (engines.back()->engine->bundleRawEvents()) {
    }
    queueBundles(*engines.back(), count);
  }
  auto bundling = takeTurns(sizes.rounds, engines.size(), [&](std::size_t k, int) {
    storeRawEvents(*engines[k]->engine->database(), sizes.bundledPerRound, place.clock->now());
    return bundleAll(*engines[k], sizes.bundledPerRound);
  });
  auto upload = takeTurns(sizes.rounds, engines.size(), [&](std::size_t k, int) {
    auto remote = engines[k]->engine->remoteConfig();
    TLMRemoteConfig& config = remote ? *remote : *TLMRemoteConfig::defaultInstance();
    std::size_t events = 0;
    const auto start = SteadyClock::now();
    for (int i = 0; i < sizes.uploadQueries; ++i) {
      platform::Error error;
      auto bundles = engines[k]->engine->database()->queryBundlesWithCountLimit(
          config.uploadMaxBundlesLimit(), config.uploadMaxSizeLimitBytes(), &error);
      for (const auto& pair : bundles.value_or(std::vector<TLMBundleRowIDPair>{})) {
        events += NANOGetArray<TLMPBEvent>(*pair.first, TLMPBMeasurementBundleSlot::events)
                      .value_or(std::vector<std::shared_ptr<TLMPBEvent>>{})
                      .size();
      }
    }
    return secondsSince(start) / static_cast<double>(std::max<std::size_t>(events, 1));
  });
  for (std::size_t k = 0; k < engines.size(); ++k) {
    std::vector<double> b, u;
    for (double s : bundling[k]) b.push_back(1e6 * s);
    for (double s : upload[k]) u.push_back(1e6 * s);
    printMicros("queue: bundling per event, " + sizeName(sizes.queued[k]) + " queued", b);
    printMicros("queue: upload preparation per event, " + sizeName(sizes.queued[k]) + " queued", u);
  }
  for (std::size_t k = 1; k < engines.size(); ++k) {
    const std::string vs = sizeName(sizes.queued[k]) + " / " + sizeName(sizes.queued[0]) + " queued";
    printRatios("queue: bundling per event, " + vs, ratiosOf(bundling[k], bundling[0]));
    printRatios("queue: upload preparation per event, " + vs, ratiosOf(upload[k], upload[0]));
  }
}

// Logs `count` events through the engine ("engine") or plain SQLite ("plain"): the work of a
// child process whose peak memory is measured.
int memoryChild(const std::string& kind, int count) {
  Place place("/dev/shm");
  const auto start = SteadyClock::now();
  if (kind == "engine") {
    BenchEngine bench(place.clock, "memory.sql");
    // Spread over days, as an app offline for a few days logs them: each day stays under the
    // daily event limits, so every event is stored.
    constexpr int kPerDay = 25000;
    for (int first = 0; first < count; first += kPerDay) {
      logEvents(bench, first, std::min(kPerDay, count - first));
      place.clock->advance(86400);
      bench.worker->drain();
      bench.syncQueue->drain();
    }
  } else {
    PlainWriter writer(place.root + "/plain.sql", true);
    for (int i = 0; i < count; ++i) {
      auto event = makeEvent(i, kStart);
      writer.write(*event, plainRawEventRowData(*event));
    }
  }
  std::printf("%-52s %.1f s\n", ("memory: " + kind + ", " + sizeName(count) + " events, time").c_str(),
              secondsSince(start));
  return 0;
}

// The peak resident set (KiB) of this program run again with `arguments` (a fresh process: the
// engine's queues are threads, which a plain fork would not carry over).
long peakMemoryOf(std::vector<std::string> arguments) {
  std::fflush(stdout);
  std::vector<char*> argv;
  std::string self = "/proc/self/exe";
  argv.push_back(self.data());
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    ::execv("/proc/self/exe", argv.data());
    std::_Exit(127);
  }
  int status = 0;
  struct rusage usage {};
  if (child < 0 || ::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    return -1;
  }
  return usage.ru_maxrss;
}

void memory(const Sizes& sizes) {
  const std::string count = std::to_string(sizes.memoryEvents);
  const long idle = peakMemoryOf({"--memory-child", "plain", "0"});
  const long engine = peakMemoryOf({"--memory-child", "engine", count});
  const long plainPeak = peakMemoryOf({"--memory-child", "plain", count});
  const std::string label = "memory: peak, " + sizeName(sizes.memoryEvents) + " events, ";
  std::printf("%-52s %ld KiB\n", (label + "engine").c_str(), engine);
  std::printf("%-52s %ld KiB (no events: %ld KiB)\n", (label + "plain SQLite").c_str(), plainPeak, idle);
  if (engine < 0 || plainPeak < 0) fail("a memory child failed");
  std::printf("%-52s %6.2f\n", "memory: peak, engine / plain SQLite",
              static_cast<double>(engine) / static_cast<double>(plainPeak));
}

// What a drain stored within the bound, and the seconds it took to store everything (when it
// went on past the bound).
struct Drain {
  double storedWithinBound = 0;
  double seconds = 0;
};

// Queues `events` on the engine's worker (with a user property set after every `propertyEvery`th,
// when not 0) and runs it until everything is stored: in groups, as the worker stores what waits
// for it. `alone`: each event is logged only once the one before is stored (a host that logs
// slower than the store), until the bound; the rest is then stored untimed, so that the next
// round starts empty.
Drain drainQueued(BenchEngine& bench, int events, bool alone, int first, int propertyEvery = 0) {
  auto stored = [&] {
    return static_cast<double>(bench.engine->database()
                                   ->sqliteStore()
                                   ->numberForQuery("SELECT count(*) FROM raw_events", {}, nullptr)
                                   .value_or(platform::Value())
                                   .int64Value()
                                   .value_or(0));
  };
  const double before = stored();
  Drain drain;
  auto queue = [&](int i) {
    bench.engine->logEvent(makeEvent(first + i, bench.clock->now()));
    if (propertyEvery > 0 && (i + 1) % propertyEvery == 0) {
      bench.engine->setUserAttribute(TLMUserAttribute::initWithOrigin(
          "app", "tier", TLMValue("t" + std::to_string((first + i) % 5)), bench.clock->now()));
    }
  };
  if (alone) {
    const auto start = SteadyClock::now();
    int i = 0;
    for (; i < events && secondsSince(start) < kDrainBound; ++i) {
      queue(i);
      bench.worker->drain();
    }
    drain.seconds = secondsSince(start);
    drain.storedWithinBound = stored() - before;
    for (; i < events; ++i) queue(i);
    bench.worker->drain();
    return drain;
  }
  for (int i = 0; i < events; ++i) queue(i);
  const auto start = SteadyClock::now();
  bool withinBound = true;
  while (bench.worker->runNext()) {
    if (withinBound && secondsSince(start) >= kDrainBound) {
      withinBound = false;
      drain.storedWithinBound = stored() - before;
    }
  }
  drain.seconds = secondsSince(start);
  if (withinBound) drain.storedWithinBound = stored() - before;
  return drain;
}

// Plain SQLite writing `rows` rows with `rowsPerCommit` in each commit (and, with 1, the counts
// commit before each, as the engine's event did): the rows stored within the bound and the
// seconds for all (stopping at the bound).
Drain drainPlain(const std::string& path, int rows, int rowsPerCommit, int first) {
  PlainWriter writer(path, rowsPerCommit == 1);
  std::vector<TLMEventPtr> events;
  std::vector<std::vector<std::uint8_t>> data;
  for (int i = 0; i < rows; ++i) {
    events.push_back(makeEvent(first + i, kStart));
    data.push_back(plainRawEventRowData(*events.back()));
  }
  Drain drain;
  const auto start = SteadyClock::now();
  for (int i = 0; i < rows && secondsSince(start) < kDrainBound; i += rowsPerCommit) {
    const int end = std::min(rows, i + rowsPerCommit);
    if (rowsPerCommit == 1) {
      writer.write(*events[i], data[i]);
    } else {
      writer.writeInOneCommit(events, data, i, end);
    }
    drain.storedWithinBound = end;
  }
  drain.seconds = secondsSince(start);
  return drain;
}

void drain(const Sizes& sizes) {
  const std::string base = std::filesystem::temp_directory_path().string();
  Place place(base);
  BenchEngine grouped(place.clock, "drain-grouped.sql");
  BenchEngine single(place.clock, "drain-alone.sql");
  const std::string n = sizeName(sizes.drainEvents);
  std::vector<double> groupedStored, groupedSeconds, singleStored, plainSeconds, plainSingleStored;
  std::vector<double> timeRatios, storedRatios;
  for (int round = 0; round < sizes.drainRounds; ++round) {
    const int first = round * sizes.drainEvents;
    // A new day per round: the daily limits count each round afresh.
    place.clock->advance(86400);
    const Drain g = drainQueued(grouped, sizes.drainEvents, false, first);
    const Drain s = drainQueued(single, sizes.drainEvents, true, first);
    const Drain p = drainPlain(place.root + "/plain-" + std::to_string(round) + ".sql", sizes.drainEvents,
                               static_cast<int>(kTLMEventGroupMaxEvents), first);
    const Drain p1 = drainPlain(place.root + "/plain-single-" + std::to_string(round) + ".sql",
                                sizes.drainEvents, 1, first);
    groupedStored.push_back(g.storedWithinBound);
    groupedSeconds.push_back(g.seconds);
    singleStored.push_back(s.storedWithinBound);
    plainSeconds.push_back(p.seconds);
    plainSingleStored.push_back(p1.storedWithinBound);
    timeRatios.push_back(p.seconds > 0 ? g.seconds / p.seconds : 0);
    storedRatios.push_back(s.storedWithinBound > 0 ? g.storedWithinBound / s.storedWithinBound : 0);
  }
  auto print = [](const std::string& label, std::vector<double> values, const char* unit) {
    std::sort(values.begin(), values.end());
    std::printf("%-52s min %8.2f  median %8.2f  max %8.2f %s\n", label.c_str(), values.front(),
                values[values.size() / 2], values.back(), unit);
  };
  print("drain: " + n + " queued, in groups, stored within 5 s", groupedStored, "events");
  print("drain: " + n + " queued, in groups, all stored after", groupedSeconds, "s");
  print("drain: " + n + " logged each once the one before is stored, within 5 s", singleStored, "events");
  print("drain: plain SQLite, " + n + " rows, 1k a commit, all after", plainSeconds, "s");
  print("drain: plain SQLite, two commits a row, within 5 s", plainSingleStored, "rows");
  printRatios("drain: time for all, in groups / plain SQLite 1k a commit", timeRatios);
  printRatios("drain: stored within 5 s, in groups / each alone", storedRatios);

  // User properties set between the events: each is written in the group of the events around it.
  BenchEngine withProperties(place.clock, "drain-properties.sql");
  BenchEngine withoutProperties(place.clock, "drain-no-properties.sql");
  const std::string np = sizeName(sizes.drainPropertyEvents);
  std::vector<double> propertyStored, propertySeconds, propertyRatios;
  for (int round = 0; round < sizes.drainRounds; ++round) {
    const int first = round * sizes.drainPropertyEvents;
    place.clock->advance(86400);
    const Drain w = drainQueued(withProperties, sizes.drainPropertyEvents, false, first, 7);
    const Drain wo = drainQueued(withoutProperties, sizes.drainPropertyEvents, false, first);
    propertyStored.push_back(w.storedWithinBound);
    propertySeconds.push_back(w.seconds);
    propertyRatios.push_back(wo.seconds > 0 ? w.seconds / wo.seconds : 0);
  }
  print("drain: " + np + " queued, a property every 7th, stored within 5 s", propertyStored, "events");
  print("drain: " + np + " queued, a property every 7th, all stored after", propertySeconds, "s");
  printRatios("drain: time for all, a property every 7th / none", propertyRatios);
}

// The figures this program knows, in the order they run.
const std::vector<std::string> kFigures = {"growth", "metadata", "plain",  "plain-tmpfs", "plain-disk",
                                           "audiences", "queue",  "memory", "drain"};

void printUsage(std::FILE* out) {
  std::fprintf(out, "Usage: scale_bench [--quick] [FIGURE]...\nFigures:");
  for (const auto& figure : kFigures) std::fprintf(out, " %s", figure.c_str());
  std::fprintf(out,
               "\nWithout figures every one runs; --quick runs each at tiny sizes (a check that it"
               " runs, no figure means anything).\n");
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  std::set<std::string> cases;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--memory-child" && i + 2 < argc) return memoryChild(argv[i + 1], std::atoi(argv[i + 2]));
    if (arg == "--help" || arg == "-h") {
      printUsage(stdout);
      return 0;
    }
    if (arg == "--quick") {
      quick = true;
    } else if (std::find(kFigures.begin(), kFigures.end(), arg) != kFigures.end()) {
      cases.insert(arg);
    } else {
      std::fprintf(stderr, "scale_bench: unknown figure or option '%s'\n", arg.c_str());
      printUsage(stderr);
      return 2;
    }
  }
  const Sizes sizes = quick ? quickSizes() : Sizes{};
  auto wanted = [&](const std::string& name) { return cases.empty() || cases.count(name) != 0; };
  try {
    // "plain-tmpfs" and "plain-disk" run one half of "plain".
    if (wanted("growth")) growth(sizes);
    if (wanted("metadata")) metadata(sizes);
    if (wanted("plain") || cases.count("plain-tmpfs") != 0) plain(sizes, "/dev/shm", "tmpfs");
    if (wanted("plain") || cases.count("plain-disk") != 0) {
      plain(sizes, std::filesystem::temp_directory_path().string(), "disk");
    }
    if (wanted("audiences")) audiences(sizes);
    if (wanted("queue")) queue(sizes);
    if (wanted("memory")) memory(sizes);
    if (wanted("drain")) drain(sizes);
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "scale_bench: %s\n", failure.what());
    return 1;
  }
  return 0;
}
