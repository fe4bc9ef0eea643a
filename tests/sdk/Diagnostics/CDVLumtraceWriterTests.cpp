#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "DiagnosticsTestSupport.h"
#include "foundation/Format.h"

namespace diagtest {
namespace {

using Bytes = std::vector<uint8_t>;

class CDVLumtraceWriterTest : public DiagnosticsTest {};

TEST_F(CDVLumtraceWriterTest, LengthPrefixIsABase128Varint) {
  EXPECT_EQ(CDVLumtraceRecordPrefix(0), (Bytes{0x00}));
  EXPECT_EQ(CDVLumtraceRecordPrefix(127), (Bytes{0x7F}));
  EXPECT_EQ(CDVLumtraceRecordPrefix(128), (Bytes{0x80, 0x01}));
  EXPECT_EQ(CDVLumtraceRecordPrefix(300), (Bytes{0xAC, 0x02}));
  EXPECT_EQ(CDVLumtraceRecordPrefix(UINT32_MAX), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x0F}));
}

TEST_F(CDVLumtraceWriterTest, RecordsAreConcatenatedPrefixedEncodings) {
  const std::string path = platform::files::join(directory("logs/a/137"), "1");
  auto writer = CDVLumtraceWriter::initWithPath(path);
  ASSERT_GE(writer->fd(), 0);
  auto first = makeEvent(std::string(200, 'x'), 1, 2);
  auto second = makeEvent("short");
  ASSERT_TRUE(writer->writeLogEvent(*first));
  ASSERT_TRUE(writer->writeLogEvent(*second));
  EXPECT_TRUE(writer->writeEncodedEvent({}));  // an empty event is the single byte 0x00
  writer->close();
  EXPECT_EQ(writer->fd(), -1);

  Bytes expected;
  for (const auto& event : {first, second}) {
    Bytes encoded = *event->protoBuffer();
    Bytes prefix = CDVLumtraceRecordPrefix(static_cast<uint32_t>(encoded.size()));
    expected.insert(expected.end(), prefix.begin(), prefix.end());
    expected.insert(expected.end(), encoded.begin(), encoded.end());
  }
  expected.push_back(0x00);
  EXPECT_EQ(*platform::files::readFile(path), expected);
  EXPECT_EQ(writer->numBytes(), expected.size());
  EXPECT_EQ(expected[0], 0x80 | ((first->protoBuffer()->size()) & 0x7F));  // two-byte prefix

  auto records = CDVLumtraceRecords(expected);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(payloadOf(records[0]), std::string(200, 'x'));
  EXPECT_EQ(payloadOf(records[1]), "short");
  EXPECT_TRUE(records[2].empty());
  // The file is made 0600 and a closed writer writes nothing.
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_FALSE(writer->writeLogEvent(*second));
}

TEST_F(CDVLumtraceWriterTest, CutOffRecordsAreNotCountedAsWhole) {
  Bytes contents = {0x03, 'a', 'b', 'c', 0x00, 0x02, 'd', 'e'};
  EXPECT_EQ(CDVLumtraceWholeRecordsLength(contents), contents.size());
  Bytes cutBody = contents;
  cutBody.insert(cutBody.end(), {0x05, 'f', 'g'});
  EXPECT_EQ(CDVLumtraceWholeRecordsLength(cutBody), contents.size());
  Bytes cutPrefix = contents;
  cutPrefix.insert(cutPrefix.end(), {0xAC});
  EXPECT_EQ(CDVLumtraceWholeRecordsLength(cutPrefix), contents.size());
  EXPECT_EQ(CDVLumtraceRecords(cutPrefix).size(), 3u);
  // A length prefix longer than five bytes is not a record.
  EXPECT_EQ(CDVLumtraceWholeRecordsLength(Bytes{0x80, 0x80, 0x80, 0x80, 0x80, 0x00}), 0u);
  EXPECT_EQ(CDVLumtraceWholeRecordsLength(Bytes{}), 0u);
}

TEST_F(CDVLumtraceWriterTest, OpeningAnExistingFileOrUnderAFileFails) {
  const std::string path = platform::files::join(directory("logs"), "taken");
  ASSERT_TRUE(platform::files::createDirectories(directory("logs")));
  ASSERT_TRUE(platform::files::writeFileAtomically(path, std::string("old")));
  auto writer = CDVLumtraceWriter::initWithPath(path);
  EXPECT_EQ(writer->fd(), -1);
  EXPECT_FALSE(writer->writeLogEvent(*makeEvent("x")));
  EXPECT_EQ(*platform::files::readFile(path), (Bytes{'o', 'l', 'd'}));
  auto opened = linesWithCode("I-COR000016");
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].message, platform::format("Failed to create %@, error (%d)", path, EEXIST));

  auto nested = CDVLumtraceWriter::initWithPath(platform::files::join(path, "inner"));
  EXPECT_EQ(nested->fd(), -1);
  EXPECT_EQ(linesWithCode("I-COR000015").size(), 1u);
  EXPECT_EQ(linesWithCode("I-COR000016").size(), 1u);  // no file is tried where no folder could be had
}

TEST_F(CDVLumtraceWriterTest, FilesOpenedInTheSameMillisecondTakeTheNextFreeName) {
  const std::string accountDir = directory("logs/acct");
  auto data = CDVLumtraceAccountData::initWithAccountLogDirectory(accountDir);
  auto first = data->writerForLogSource(137);
  EXPECT_EQ(data->writerForLogSource(137), first);  // one writer per log source
  ASSERT_TRUE(first->writeLogEvent(*makeEvent("one")));
  data->flushWriters();
  EXPECT_EQ(first->fd(), -1);
  EXPECT_EQ(data->writerCount(), 0u);

  auto second = data->writerForLogSource(137);  // same millisecond: the clock has not moved
  ASSERT_GE(second->fd(), 0);
  ASSERT_TRUE(second->writeLogEvent(*makeEvent("two")));
  data->removeWriterForLogSource(137);
  EXPECT_EQ(first->path(), accountDir + "/137/1700000000000");
  EXPECT_EQ(second->path(), accountDir + "/137/1700000000001");
  EXPECT_EQ(payloadsInFile(first->path()), std::vector<std::string>{"one"});
  EXPECT_EQ(payloadsInFile(second->path()), std::vector<std::string>{"two"});
  EXPECT_TRUE(linesWithCode("I-COR000016").empty());

  auto negative = data->writerForLogSource(-3);
  EXPECT_EQ(negative->path(), accountDir + "/-3/1700000000000");
  EXPECT_EQ(CDVLumtraceAccountData::filenameWithCurrentTimeInDirectory("/d"), "/d/1700000000000");
}

TEST_F(CDVLumtraceWriterTest, ClockFunctionsFollowThePlatformClock) {
  clock_->setNow(1700000000.1239);
  EXPECT_EQ(CurrentTimeMillis(), 1700000000123);
  EXPECT_EQ(CurrentUptimeMillis(), 5000000);
  clock_->advance(0.0017);
  EXPECT_EQ(CurrentUptimeMillis(), 5000001);
  platform::ScopedClock noBoot(std::make_shared<platform::ManualClock>(1.0, 0.0));
  EXPECT_EQ(CurrentUptimeMillis(), 0);
}

TEST_F(CDVLumtraceWriterTest, AccountNamesCannotLeaveOrNestTheLogDirectory) {
  EXPECT_EQ(CDVLumtraceEscapeAccount("tolvamere"), "tolvamere");
  EXPECT_EQ(CDVLumtraceEscapeAccount("a b"), "a%20b");
  EXPECT_EQ(CDVLumtraceEscapeAccount("."), "%2E");
  EXPECT_EQ(CDVLumtraceEscapeAccount(".."), "%2E%2E");
  EXPECT_EQ(CDVLumtraceEscapeAccount("../x/y"), "%2E%2E%2Fx%2Fy");
  for (const std::string account : {"a b", "..", "../x/y", "caf\xC3\xA9", "100%", "%41"}) {
    const std::string escaped = CDVLumtraceEscapeAccount(account);
    EXPECT_EQ(escaped.find('/'), std::string::npos);
    EXPECT_EQ(CDVLumtraceUnescapeAccount(escaped), account) << escaped;
  }
  EXPECT_EQ(CDVLumtraceUnescapeAccount("100%"), "100%");
  EXPECT_EQ(CDVLumtraceUnescapeAccount("%zz%4"), "%zz%4");
}

// A child process writes events until the file-size limit makes a write come up short: the
// file must end at a whole record, and the writer's count must match the file.
TEST_F(CDVLumtraceWriterTest, AShortWriteLeavesNoPartialRecord) {
  const std::string path = platform::files::join(directory("logs/short/1"), "1");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit {1000, 1000};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    CDVLumtraceWriter writer(path);
    if (writer.fd() < 0) ::_exit(10);
    int written = 0;
    while (writer.writeLogEvent(*makeEvent(std::string(100, 'a' + written % 26)))) ++written;
    struct stat info {};
    if (::fstat(writer.fd(), &info) != 0) ::_exit(11);
    if (static_cast<uint64_t>(info.st_size) != writer.numBytes()) ::_exit(12);
    if (::lseek(writer.fd(), 0, SEEK_CUR) != info.st_size) ::_exit(13);
    // The file goes on at its last whole record.
    if (!writer.writeEncodedEvent(Bytes{'z'})) ::_exit(14);
    ::_exit(written == 9 ? 0 : 15);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  auto contents = platform::files::readFile(path);
  ASSERT_TRUE(contents);
  EXPECT_EQ(CDVLumtraceWholeRecordsLength(*contents), contents->size());
  EXPECT_EQ(CDVLumtraceRecords(*contents).size(), 10u);
}

// Children killed while writing: once between the two writes of a record, once at a moment of
// the parent's choosing. What is left is every whole record, in order, and no partial one.
TEST_F(CDVLumtraceWriterTest, AProcessKilledWhileWritingLeavesReadableRecords) {
  const std::string between = platform::files::join(directory("logs/kill/1"), "1");
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    CDVLumtraceWriter writer(between);
    for (int i = 0; i < 5; ++i) writer.writeLogEvent(*makeEvent("event-" + std::to_string(i)));
    const Bytes prefix = CDVLumtraceRecordPrefix(40);
    WriteBuffer(prefix.data(), prefix.size(), writer);
    ::raise(SIGKILL);
    ::_exit(1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  auto contents = platform::files::readFile(between);
  ASSERT_TRUE(contents);
  EXPECT_EQ(CDVLumtraceWholeRecordsLength(*contents), contents->size() - 1);
  EXPECT_EQ(payloadsInFile(between),
            (std::vector<std::string>{"event-0", "event-1", "event-2", "event-3", "event-4"}));

  const std::string anywhere = platform::files::join(directory("logs/kill/2"), "1");
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ready[0]);
    CDVLumtraceWriter writer(anywhere);
    for (int i = 0;; ++i) {
      writer.writeLogEvent(*makeEvent("event-" + std::to_string(i) + std::string(i % 300, '.')));
      if (i == 2000) (void)!::write(ready[1], "r", 1);
    }
  }
  ::close(ready[1]);
  char signal = 0;
  ASSERT_EQ(::read(ready[0], &signal, 1), 1);
  ::close(ready[0]);
  ::kill(child, SIGKILL);
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  auto payloads = payloadsInFile(anywhere);
  ASSERT_GT(payloads.size(), 2000u);
  for (size_t i = 0; i < payloads.size(); ++i) {
    ASSERT_EQ(payloads[i], "event-" + std::to_string(i) + std::string(i % 300, '.'));
  }
}

}  // namespace
}  // namespace diagtest
