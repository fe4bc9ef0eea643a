// The measurement messages: the upload batch and its contents, the fetched measurement
// configuration and its audience definitions. Slot lists are in slot order; slot numbers are
// also available by field name, e.g. `TLMPBEventSlot::name` (1), `TLMPBMeasurementBundleSlot::
// previous_bundle_start_timestamp_millis` (6, tag 26).
//
// Enumerations (StringFilter.match_type, NumberFilter.comparison_type) are int32 varints on the
// wire; `experiment_ids` is a repeated uint32, `status`/`results` repeated uint64 words.
#pragma once

#include "proto/NANOMessageBase.h"

#define TLMPB_MEASUREMENT_BATCH_SLOTS(X) \
  X(bundles, 1, NANO_REP(MESSAGE), &kTLMPBMeasurementBundleDescriptor)

#define TLMPB_MEASUREMENT_BUNDLE_SLOTS(X)                                                       \
  X(protocol_version, 1, NANO_OPT(INT32), nullptr)                                              \
  X(events, 2, NANO_REP(MESSAGE), &kTLMPBEventDescriptor)                                       \
  X(user_attributes, 3, NANO_REP(MESSAGE), &kTLMPBUserAttributeDescriptor)                      \
  X(upload_timestamp_millis, 4, NANO_OPT(INT64), nullptr)                                       \
  X(start_timestamp_millis, 5, NANO_OPT(INT64), nullptr)                                        \
  X(end_timestamp_millis, 6, NANO_OPT(INT64), nullptr)                                          \
  X(previous_bundle_start_timestamp_millis, 26, NANO_OPT(INT64), nullptr)                       \
  X(previous_bundle_end_timestamp_millis, 7, NANO_OPT(INT64), nullptr)                          \
  X(platform, 8, NANO_OPT(STRING), nullptr)                                                     \
  X(os_version, 9, NANO_OPT(STRING), nullptr)                                                   \
  X(device_model, 10, NANO_OPT(STRING), nullptr)                                                \
  X(user_default_language, 11, NANO_OPT(STRING), nullptr)                                       \
  X(time_zone_offset_minutes, 12, NANO_OPT(INT32), nullptr)                                     \
  X(app_store, 13, NANO_OPT(STRING), nullptr)                                                   \
  X(app_id, 14, NANO_OPT(STRING), nullptr)                                                      \
  X(reserved_15, 15, NANO_OPT(INT64), nullptr)                                                  \
  X(app_version, 16, NANO_OPT(STRING), nullptr)                                                 \
  X(library_version, 17, NANO_OPT(INT64), nullptr)                                              \
  X(upload_library_version, 18, NANO_OPT(INT64), nullptr)                                       \
  X(resettable_device_id, 19, NANO_OPT(STRING), nullptr)                                        \
  X(vendor_device_id, 27, NANO_OPT(STRING), nullptr)                                            \
  X(limited_ad_tracking, 20, NANO_OPT(BOOL), nullptr)                                           \
  X(app_instance_id, 21, NANO_OPT(STRING), nullptr)                                             \
  X(reserved_22, 22, NANO_OPT(INT64), nullptr)                                                  \
  X(bundle_index, 23, NANO_OPT(INT32), nullptr)                                                 \
  X(monitoring_data, 24, NANO_OPT(STRING), nullptr)                                             \
  X(measurement_app_id, 25, NANO_OPT(STRING), nullptr)                                          \
  X(reserved_28, 28, NANO_OPT(BOOL), nullptr)                                                   \
  X(audience_evaluation_results, 29, NANO_REP(MESSAGE), &kTLMPBAudienceLeafFilterResultDescriptor) \
  X(instance_id, 30, NANO_OPT(STRING), nullptr)                                                 \
  X(app_version_major, 31, NANO_OPT(INT32), nullptr)                                            \
  X(app_version_minor, 32, NANO_OPT(INT32), nullptr)                                            \
  X(app_version_release, 33, NANO_OPT(INT32), nullptr)                                          \
  X(reserved_34, 34, NANO_OPT(STRING), nullptr)                                                 \
  X(config_version, 35, NANO_OPT(INT64), nullptr)                                               \
  X(retry_count, 39, NANO_OPT(INT32), nullptr)                                                  \
  X(ads_app_id, 41, NANO_OPT(STRING), nullptr)                                                  \
  X(experiment_ids, 45, NANO_REP(UINT32), nullptr)                                              \
  X(checksum, 47, NANO_OPT(INT64), nullptr)                                                     \
  X(reserved_50, 50, NANO_OPT(STRING), nullptr)

#define TLMPB_EVENT_SLOTS(X)                                          \
  X(params, 1, NANO_REP(MESSAGE), &kTLMPBEventParamDescriptor)        \
  X(name, 2, NANO_OPT(STRING), nullptr)                               \
  X(timestamp_millis, 3, NANO_OPT(INT64), nullptr)                    \
  X(previous_timestamp_millis, 4, NANO_OPT(INT64), nullptr)           \
  X(reserved_5, 5, NANO_OPT(INT32), nullptr)

#define TLMPB_EVENT_PARAM_SLOTS(X)                 \
  X(name, 1, NANO_OPT(STRING), nullptr)            \
  X(string_value, 2, NANO_OPT(STRING), nullptr)    \
  X(int_value, 3, NANO_OPT(INT64), nullptr)        \
  X(float_value, 4, NANO_OPT(FLOAT), nullptr)      \
  X(double_value, 5, NANO_OPT(DOUBLE), nullptr)

#define TLMPB_USER_ATTRIBUTE_SLOTS(X)                     \
  X(set_timestamp_millis, 1, NANO_OPT(INT64), nullptr)    \
  X(name, 2, NANO_OPT(STRING), nullptr)                   \
  X(string_value, 3, NANO_OPT(STRING), nullptr)           \
  X(int_value, 4, NANO_OPT(INT64), nullptr)               \
  X(float_value, 5, NANO_OPT(FLOAT), nullptr)             \
  X(double_value, 6, NANO_OPT(DOUBLE), nullptr)

#define TLMPB_AUDIENCE_LEAF_FILTER_RESULT_SLOTS(X)                           \
  X(audience_id, 1, NANO_OPT(INT32), nullptr)                                \
  X(current_data, 2, NANO_OPT(MESSAGE), &kTLMPBResultDataDescriptor)         \
  X(previous_data, 3, NANO_OPT(MESSAGE), &kTLMPBResultDataDescriptor)        \
  X(new_audience, 4, NANO_OPT(BOOL), nullptr)

#define TLMPB_RESULT_DATA_SLOTS(X)                                                                 \
  X(status, 1, NANO_REP(UINT64), nullptr)                                                          \
  X(results, 2, NANO_REP(UINT64), nullptr)                                                         \
  X(dynamic_filter_timestamps, 3, NANO_REP(MESSAGE), &kTLMPBDynamicFilterResultTimestampDescriptor) \
  X(sequence_filter_timestamps, 4, NANO_REP(MESSAGE), &kTLMPBSequenceFilterResultTimestampDescriptor)

#define TLMPB_DYNAMIC_FILTER_RESULT_TIMESTAMP_SLOTS(X) \
  X(filter_id, 1, NANO_OPT(INT32), nullptr)            \
  X(timestamp, 2, NANO_OPT(INT64), nullptr)

#define TLMPB_SEQUENCE_FILTER_RESULT_TIMESTAMP_SLOTS(X) \
  X(filter_id, 1, NANO_OPT(INT32), nullptr)             \
  X(eval_timestamps, 2, NANO_REP(INT64), nullptr)

#define TLMPB_MEASUREMENT_CONFIG_SLOTS(X)                                      \
  X(version, 1, NANO_OPT(INT64), nullptr)                                      \
  X(measurement_app_id, 2, NANO_OPT(STRING), nullptr)                          \
  X(reserved_3, 3, NANO_OPT(INT32), nullptr)                                   \
  X(settings, 4, NANO_REP(MESSAGE), &kTLMPBSettingDescriptor)                  \
  X(event_config, 5, NANO_REP(MESSAGE), &kTLMPBEventConfigDescriptor)          \
  X(audiences, 6, NANO_REP(MESSAGE), &kTLMPBAudienceDescriptor)                \
  X(ads_app_id, 7, NANO_OPT(STRING), nullptr)                                  \
  X(check_account_personalized_advertising_status, 8, NANO_OPT(BOOL), nullptr)

#define TLMPB_SETTING_SLOTS(X)            \
  X(name, 1, NANO_OPT(STRING), nullptr)   \
  X(value, 2, NANO_OPT(STRING), nullptr)

#define TLMPB_EVENT_CONFIG_SLOTS(X)                   \
  X(name, 1, NANO_OPT(STRING), nullptr)               \
  X(blacklisted, 2, NANO_OPT(BOOL), nullptr)          \
  X(custom_conversion, 3, NANO_OPT(BOOL), nullptr)    \
  X(sampling_rate, 4, NANO_OPT(INT32), nullptr)

#define TLMPB_AUDIENCE_SLOTS(X)                                                 \
  X(audience_id, 1, NANO_OPT(INT32), nullptr)                                   \
  X(property_filters, 2, NANO_REP(MESSAGE), &kTLMPBPropertyFilterDescriptor)    \
  X(event_filters, 3, NANO_REP(MESSAGE), &kTLMPBEventFilterDescriptor)          \
  X(reserved_4, 4, NANO_OPT(BOOL), nullptr)                                     \
  X(reserved_5, 5, NANO_OPT(BOOL), nullptr)

#define TLMPB_EVENT_FILTER_SLOTS(X)                                                \
  X(filter_id, 1, NANO_OPT(INT32), nullptr)                                        \
  X(event_name, 2, NANO_OPT(STRING), nullptr)                                      \
  X(filters, 3, NANO_REP(MESSAGE), &kTLMPBFilterDescriptor)                        \
  X(reserved_4, 4, NANO_OPT(BOOL), nullptr)                                        \
  X(event_count_filter, 5, NANO_OPT(MESSAGE), &kTLMPBNumberFilterDescriptor)       \
  X(dynamic, 6, NANO_OPT(BOOL), nullptr)                                           \
  X(sequence, 7, NANO_OPT(BOOL), nullptr)                                          \
  X(session_scoped, 8, NANO_OPT(BOOL), nullptr)

#define TLMPB_PROPERTY_FILTER_SLOTS(X)                                \
  X(filter_id, 1, NANO_OPT(INT32), nullptr)                           \
  X(property_name, 2, NANO_OPT(STRING), nullptr)                      \
  X(filter, 3, NANO_OPT(MESSAGE), &kTLMPBFilterDescriptor)            \
  X(dynamic, 4, NANO_OPT(BOOL), nullptr)                              \
  X(sequence, 5, NANO_OPT(BOOL), nullptr)                             \
  X(session_scoped, 6, NANO_OPT(BOOL), nullptr)

#define TLMPB_FILTER_SLOTS(X)                                                \
  X(string_filter, 1, NANO_OPT(MESSAGE), &kTLMPBStringFilterDescriptor)      \
  X(number_filter, 2, NANO_OPT(MESSAGE), &kTLMPBNumberFilterDescriptor)      \
  X(complement, 3, NANO_OPT(BOOL), nullptr)                                  \
  X(param_name, 4, NANO_OPT(STRING), nullptr)

#define TLMPB_STRING_FILTER_SLOTS(X)                      \
  X(match_type, 1, NANO_OPT(ENUM), nullptr)               \
  X(expression, 2, NANO_OPT(STRING), nullptr)             \
  X(case_sensitive, 3, NANO_OPT(BOOL), nullptr)           \
  X(expression_list, 4, NANO_REP(STRING), nullptr)

#define TLMPB_NUMBER_FILTER_SLOTS(X)                        \
  X(comparison_type, 1, NANO_OPT(ENUM), nullptr)            \
  X(match_as_float, 2, NANO_OPT(BOOL), nullptr)             \
  X(comparison_value, 3, NANO_OPT(STRING), nullptr)         \
  X(min_comparison_value, 4, NANO_OPT(STRING), nullptr)     \
  X(max_comparison_value, 5, NANO_OPT(STRING), nullptr)

// One line per message: wrapper class, function prefix, stem, slot list.
#define TLMPB_MESSAGES(M)                                                                         \
  M(TLMPBMeasurementBatch, tlmpb, measurement_batch, TLMPB_MEASUREMENT_BATCH_SLOTS, MeasurementBatch) \
  M(TLMPBMeasurementBundle, tlmpb, measurement_bundle, TLMPB_MEASUREMENT_BUNDLE_SLOTS, MeasurementBundle) \
  M(TLMPBEvent, tlmpb, event, TLMPB_EVENT_SLOTS, Event)                                           \
  M(TLMPBEventParam, tlmpb, event_param, TLMPB_EVENT_PARAM_SLOTS, EventParam)                     \
  M(TLMPBUserAttribute, tlmpb, user_attribute, TLMPB_USER_ATTRIBUTE_SLOTS, UserAttribute)         \
  M(TLMPBAudienceLeafFilterResult, tlmpb, audience_leaf_filter_result,                            \
    TLMPB_AUDIENCE_LEAF_FILTER_RESULT_SLOTS, AudienceLeafFilterResult)                            \
  M(TLMPBResultData, tlmpb, result_data, TLMPB_RESULT_DATA_SLOTS, ResultData)                     \
  M(TLMPBDynamicFilterResultTimestamp, tlmpb, dynamic_filter_result_timestamp,                    \
    TLMPB_DYNAMIC_FILTER_RESULT_TIMESTAMP_SLOTS, DynamicFilterResultTimestamp)                    \
  M(TLMPBSequenceFilterResultTimestamp, tlmpb, sequence_filter_result_timestamp,                  \
    TLMPB_SEQUENCE_FILTER_RESULT_TIMESTAMP_SLOTS, SequenceFilterResultTimestamp)                  \
  M(TLMPBMeasurementConfig, tlmpb, measurement_config, TLMPB_MEASUREMENT_CONFIG_SLOTS, MeasurementConfig) \
  M(TLMPBSetting, tlmpb, setting, TLMPB_SETTING_SLOTS, Setting)                                   \
  M(TLMPBEventConfig, tlmpb, event_config, TLMPB_EVENT_CONFIG_SLOTS, EventConfig)                 \
  M(TLMPBAudience, tlmpb, audience, TLMPB_AUDIENCE_SLOTS, Audience)                               \
  M(TLMPBEventFilter, tlmpb, event_filter, TLMPB_EVENT_FILTER_SLOTS, EventFilter)                 \
  M(TLMPBPropertyFilter, tlmpb, property_filter, TLMPB_PROPERTY_FILTER_SLOTS, PropertyFilter)     \
  M(TLMPBFilter, tlmpb, filter, TLMPB_FILTER_SLOTS, Filter)                                       \
  M(TLMPBStringFilter, tlmpb, string_filter, TLMPB_STRING_FILTER_SLOTS, StringFilter)             \
  M(TLMPBNumberFilter, tlmpb, number_filter, TLMPB_NUMBER_FILTER_SLOTS, NumberFilter)

#define TLMPB_DECLARE_ONE(Class, prefix, stem, SLOTS, Name) \
  NANO_DECLARE_MESSAGE(Class, prefix, stem, SLOTS)
TLMPB_MESSAGES(TLMPB_DECLARE_ONE)
#undef TLMPB_DECLARE_ONE
