// The log-upload messages: LogRequest (the body of one upload), ClientInfo and IosClientInfo
// (the sender) and LogEvent (one logged event). Slot lists are in slot order; slot and tag
// differ (e.g. `LMTPBLogRequestSlot::client_info` is slot 2, tag 1). `log_source` is a signed
// enumeration (a negative value takes ten bytes), the other enumerations unsigned.
#pragma once

#include "proto/NANOMessageBase.h"

#define LMTPB_LOG_REQUEST_SLOTS(X)                                               \
  X(request_time_ms, 4, NANO_OPT(INT64), nullptr)                                \
  X(request_uptime_ms, 8, NANO_OPT(INT64), nullptr)                              \
  X(client_info, 1, NANO_OPT(MESSAGE), &kLMTPBClientInfoDescriptor)              \
  X(log_source, 2, NANO_OPT(ENUM), nullptr)                                      \
  X(reserved_6, 6, NANO_OPT(STRING), nullptr)                                    \
  X(crellan_cookie, 7, NANO_OPT(STRING), nullptr)                                \
  X(log_event, 3, NANO_REP(MESSAGE), &kLMTPBLogEventDescriptor)                  \
  X(serialized_log_events, 5, NANO_REP(BYTES), nullptr)                          \
  X(reserved_10, 10, NANO_OPT(ENUM), nullptr)

#define LMTPB_CLIENT_INFO_SLOTS(X)                                               \
  X(client_type, 1, NANO_OPT(ENUM), nullptr)                                     \
  X(reserved_6, 6, NANO_OPT(STRING), nullptr)                                    \
  X(reserved_7, 7, NANO_OPT(STRING), nullptr)                                    \
  X(ios_client_info, 4, NANO_OPT(MESSAGE), &kLMTPBIosClientInfoDescriptor)

#define LMTPB_IOS_CLIENT_INFO_SLOTS(X)                   \
  X(reserved_1, 1, NANO_OPT(STRING), nullptr)            \
  X(install_identifier, 2, NANO_OPT(STRING), nullptr)    \
  X(reserved_3, 3, NANO_OPT(STRING), nullptr)            \
  X(os_version, 4, NANO_OPT(STRING), nullptr)            \
  X(application_build, 5, NANO_OPT(STRING), nullptr)     \
  X(reserved_6, 6, NANO_OPT(STRING), nullptr)            \
  X(reserved_7, 7, NANO_OPT(STRING), nullptr)            \
  X(reserved_8, 8, NANO_OPT(STRING), nullptr)

#define LMTPB_LOG_EVENT_SLOTS(X)                                  \
  X(event_time_ms, 1, NANO_OPT(INT64), nullptr)                   \
  X(event_uptime_ms, 17, NANO_OPT(INT64), nullptr)                \
  X(reserved_21, 21, NANO_OPT(INT64), nullptr)                    \
  X(reserved_2, 2, NANO_OPT(STRING), nullptr)                     \
  X(reserved_11, 11, NANO_OPT(INT32), nullptr)                    \
  X(reserved_12, 12, NANO_OPT(INT32), nullptr)                    \
  X(reserved_10, 10, NANO_OPT(BOOL), nullptr)                     \
  X(reserved_4, 4, NANO_OPT(BYTES), nullptr)                      \
  X(payload, 6, NANO_OPT(BYTES), nullptr)                         \
  X(reserved_8, 8, NANO_OPT(STRING), nullptr)                     \
  X(reserved_13, 13, NANO_OPT(STRING), nullptr)                   \
  X(reserved_14, 14, NANO_OPT(STRING), nullptr)                   \
  X(timezone_offset_seconds, 15, NANO_OPT(INT64), nullptr)        \
  X(reserved_18, 18, NANO_OPT(BYTES), nullptr)                    \
  X(reserved_24, 24, NANO_OPT(STRING), nullptr)                   \
  X(reserved_19, 19, NANO_OPT(ENUM), nullptr)                     \
  X(test_code, 20, NANO_REP(INT32), nullptr)                      \
  X(reserved_22, 22, NANO_OPT(INT64), nullptr)

#define LMTPB_MESSAGES(M)                                                                   \
  M(LMTPBLogRequest, lmtpb, log_request, LMTPB_LOG_REQUEST_SLOTS, LogRequest)               \
  M(LMTPBClientInfo, lmtpb, client_info, LMTPB_CLIENT_INFO_SLOTS, ClientInfo)               \
  M(LMTPBIosClientInfo, lmtpb, ios_client_info, LMTPB_IOS_CLIENT_INFO_SLOTS, IosClientInfo) \
  M(LMTPBLogEvent, lmtpb, log_event, LMTPB_LOG_EVENT_SLOTS, LogEvent)

#define LMTPB_DECLARE_ONE(Class, prefix, stem, SLOTS, Name) \
  NANO_DECLARE_MESSAGE(Class, prefix, stem, SLOTS)
LMTPB_MESSAGES(LMTPB_DECLARE_ONE)
#undef LMTPB_DECLARE_ONE
