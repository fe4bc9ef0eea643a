// Logger of the vendor utilities framework: levels, message codes of the form "I-XXX000000",
// lines written to standard error, and a capture sink for tests.
//
// This platform has no system log, so standard error is the back end's log: every line that
// passes the filter (its level is at most the maximum level, debug logging is forced, or the
// line is forced) is written there as
//   "<UTC time> <registered version> - <service>[<message code>] <LEVEL> <message>".
// The time has the digits gmtime_r gives it ("2024-05-01 12:00:00.123", the year in 4 digits or
// more); one gmtime_r cannot show (its year beyond an int's) or not a number is
// "0000-00-00 00:00:00.000".
// `OBXLoggerEnableSTDERR` is therefore only recorded. The maximum level starts at notice (5);
// levels outside 3...7 are refused with an error line. Message codes are written unchanged,
// whatever their form. Safe to call from any thread.
//
// A line said over and over is written a few times a second. Lines of notice, warning and error
// level are limited by kind (service and message code, each kind on its own): a kind may write 5
// lines at once and earns back one a second, up to 5, so a line of a kind none of whose lines was
// written in the last second is always written at once. A line of a kind that has used them up is
// held back; when the kind has earned a line, the lines it held are said in one line, the last of
// them with " (and N more like it in the last second)" for the N others. That line is the next one
// of the kind, or else the one a timer of the process clock (platform::Clock::current) writes at
// that moment; OBXLoggerWriteHeldLines writes what is held at once, as the process's exit does. So
// a kind logged flat out shows its first 5 lines, then one a second, each with the count it stands
// for. Info and debug lines (shown only when asked for) are never held. A child made by fork()
// holds nothing of its parent's.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Levels are the system log's priorities.
enum OBXLoggerLevel : int {
  OBXLoggerLevelError = 3,
  OBXLoggerLevelWarning = 4,
  OBXLoggerLevelNotice = 5,
  OBXLoggerLevelInfo = 6,
  OBXLoggerLevelDebug = 7,
};

void OBXLoggerRegisterVersion(const std::string& version);
void OBXLoggerInitializeASL();
void OBXLoggerEnableSTDERR();
void OBXLoggerForceDebug();
void OBXSetLoggerLevel(int level);
bool OBXIsLoggableLevel(int level);

// Writes one line when the level is loggable, or always when `force` is true, unless it is held
// back (see above). The message is already formatted (see foundation/Format.h for the printf-style
// formatter with %@) and is written as it is: "%" needs no escaping. A line of up to 1 KiB is
// written or held back without allocating (save for a test's sink, and the timer a held line sets
// when none is set), and none takes a time-zone lock.
void OBXLogBasic(int level, std::string_view service, bool force, std::string_view messageCode,
                 std::string_view message);
void OBXLogError(const std::string& service, bool force, const std::string& messageCode,
                 const std::string& message);
void OBXLogWarning(const std::string& service, bool force, const std::string& messageCode,
                   const std::string& message);
void OBXLogNotice(const std::string& service, bool force, const std::string& messageCode,
                  const std::string& message);
void OBXLogInfo(const std::string& service, bool force, const std::string& messageCode,
                const std::string& message);
void OBXLogDebug(const std::string& service, bool force, const std::string& messageCode,
                 const std::string& message);

// Writes at once every line held back (see above), each kind's in one line with the count of the
// others: at the app's end, where the process may end before the timer fires.
void OBXLoggerWriteHeldLines();

// One written line, as a test capture sees it (a line that stands for lines held back has their
// count in its message).
struct OBXLogLine {
  int level;
  std::string service;
  std::string messageCode;
  std::string message;
  bool forced;
};

// Test support: while a sink is installed, every written line is also handed to it.
// Returns the previous sink. Resetting restores the defaults (level, flags, version) and forgets
// the lines held back.
using OBXLogSink = std::function<void(const OBXLogLine&)>;
OBXLogSink OBXLoggerSetSink(OBXLogSink sink);
void OBXLoggerResetForTesting();
// Test support: forgets the lines held back, unsaid, and what each kind has written: every kind
// may write its first lines at once again.
void OBXLoggerForgetHeldLinesForTesting();
// The registered version and the state switches, for tests.
std::string OBXLoggerRegisteredVersion();
bool OBXLoggerIsSTDERREnabled();
bool OBXLoggerIsDebugForced();
