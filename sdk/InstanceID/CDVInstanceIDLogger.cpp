#include "InstanceID/CDVInstanceIDLogger.h"

std::string CDVInstanceIDLogger::formatMessageCode(long code) { return platform::format("I-IID%06ld", code); }

void CDVInstanceIDLogger::log(int level, long code, std::string_view format,
                              std::initializer_list<platform::FormatArg> args) {
  CDVLogBasic(level, kCDVInstanceIDLoggerService, formatMessageCode(code), format, args);
}

CDVInstanceIDLogger& CDVInstanceIDSharedLogger() {
  static CDVInstanceIDLogger* logger = new CDVInstanceIDLogger();  // never destroyed
  return *logger;
}
