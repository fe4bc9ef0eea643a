// The diagnostics messages: ICoreConfiguration (the core-configuration report, carried encoded
// as the payload of a LogEvent) and its ErrorInfo. Slot lists are in slot order; slot and tag
// differ (e.g. `CDVPBICoreConfigurationSlot::dynamic_framework_count` is slot 25, tag 27).
// Enumerations are unsigned; int32 fields are signed (-1 takes ten bytes).
#pragma once

#include "proto/NANOMessageBase.h"

#define CDVPB_ERROR_INFO_SLOTS(X)                    \
  X(error_reported, 1, NANO_OPT(BOOL), nullptr)      \
  X(error_code, 2, NANO_OPT(INT32), nullptr)         \
  X(error_domain, 3, NANO_OPT(STRING), nullptr)

#define CDVPB_I_CORE_CONFIGURATION_SLOTS(X)                                       \
  X(report_kind, 16, NANO_OPT(ENUM), nullptr)                                     \
  X(configuration_type, 1, NANO_OPT(ENUM), nullptr)                               \
  X(reserved_2, 2, NANO_OPT(STRING), nullptr)                                     \
  X(sdk_version, 18, NANO_OPT(STRING), nullptr)                                   \
  X(reporting_sdk_version, 19, NANO_OPT(STRING), nullptr)                         \
  X(reserved_3, 3, NANO_OPT(INT64), nullptr)                                      \
  X(reserved_4, 4, NANO_OPT(ENUM), nullptr)                                       \
  X(reserved_5, 5, NANO_OPT(STRING), nullptr)                                     \
  X(sdk_service_enabled, 6, NANO_REP(ENUM), nullptr)                              \
  X(sdk_service_installed, 7, NANO_REP(ENUM), nullptr)                            \
  X(service_type, 20, NANO_OPT(ENUM), nullptr)                                    \
  X(error_info, 15, NANO_OPT(MESSAGE), &kCDVPBErrorInfoDescriptor)                \
  X(subspec_error_info, 17, NANO_REP(MESSAGE), &kCDVPBErrorInfoDescriptor)        \
  X(device_model, 9, NANO_OPT(STRING), nullptr)                                   \
  X(os_version, 22, NANO_OPT(STRING), nullptr)                                    \
  X(app_id, 10, NANO_OPT(STRING), nullptr)                                        \
  X(reserved_11, 11, NANO_OPT(INT64), nullptr)                                    \
  X(bundle_id, 12, NANO_OPT(STRING), nullptr)                                     \
  X(reserved_13, 13, NANO_OPT(STRING), nullptr)                                   \
  X(reserved_23, 23, NANO_OPT(STRING), nullptr)                                   \
  X(min_supported_os_version, 24, NANO_OPT(STRING), nullptr)                      \
  X(install_identifier, 14, NANO_OPT(STRING), nullptr)                            \
  X(using_options_from_default_file, 25, NANO_OPT(BOOL), nullptr)                 \
  X(configured_app_count, 21, NANO_OPT(INT32), nullptr)                           \
  X(installed_from_app_store, 26, NANO_OPT(BOOL), nullptr)                        \
  X(dynamic_framework_count, 27, NANO_OPT(INT32), nullptr)                        \
  X(toolchain_build, 28, NANO_OPT(STRING), nullptr)                               \
  X(constant_flag, 29, NANO_OPT(BOOL), nullptr)                                   \
  X(constant_kind, 30, NANO_OPT(ENUM), nullptr)                                   \
  X(user_agent, 31, NANO_OPT(STRING), nullptr)                                    \
  X(reserved_32, 32, NANO_OPT(INT64), nullptr)                                    \
  X(app_delegate_proxy_enabled, 33, NANO_OPT(BOOL), nullptr)                      \
  X(reserved_34, 34, NANO_OPT(INT32), nullptr)                                    \
  X(reserved_35, 35, NANO_OPT(INT32), nullptr)

#define CDVPB_MESSAGES(M)                                                                   \
  M(CDVPBErrorInfo, cdvpb, error_info, CDVPB_ERROR_INFO_SLOTS, ErrorInfo)                   \
  M(CDVPBICoreConfiguration, cdvpb, i_core_configuration, CDVPB_I_CORE_CONFIGURATION_SLOTS, \
    ICoreConfiguration)

#define CDVPB_DECLARE_ONE(Class, prefix, stem, SLOTS, Name) \
  NANO_DECLARE_MESSAGE(Class, prefix, stem, SLOTS)
CDVPB_MESSAGES(CDVPB_DECLARE_ONE)
#undef CDVPB_DECLARE_ONE
