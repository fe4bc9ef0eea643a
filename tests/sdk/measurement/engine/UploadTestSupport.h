// An engine harness with a network on the fake transport: the test answers every request and
// drives the upload alarm with the manual clock.
#pragma once

#include <algorithm>
#include <set>

#include "MeasurementEngineTestSupport.h"
#include "measurement/model/TLMUtil.h"
#include "obx/OBXNetworkTesting.h"

// An hour boundary near the harness's clock; a test that logs from it stays inside the hour after it.
inline constexpr double kHour = 472222.0 * 3600.0;

struct UploadHarness : EngineHarness {
  UploadHarness() {
    loadTime = clock->now();
    network = std::make_shared<OBXNetwork>("collector.invalid", transport);
    OBXNetwork::setNetworkReachable(true);
  }
  ~UploadHarness() { OBXNetwork::setNetworkReachable(true); }

  // Moves the clock to the pending alarm and runs what it posted; false when none is pending.
  bool fireAlarm() {
    auto due = engine->alarm()->scheduledTimestamp();
    if (!due) return false;
    clock->advance(std::max(0.0, *due - clock->now()));
    drain();
    return true;
  }
  // Answers the oldest waiting request and runs its completion.
  void respond(long status, platform::Bytes body = {},
               std::vector<std::pair<std::string, std::string>> headers = {}) {
    ASSERT_TRUE(transport->respond(status, std::move(body), std::move(headers)));
    drain();
  }
  OBXNetworkRequest lastRequest() const {
    auto requests = transport->requests();
    return requests.empty() ? OBXNetworkRequest{} : requests.back();
  }
  // The processes that hold queued bundles (0: none), as the queue's rows say.
  std::set<std::int64_t> holders() {
    std::set<std::int64_t> found;
    const auto rows = database()->sqliteStore()->recordsForQuery("SELECT claimed_by FROM queue", {}, nullptr);
    for (const auto& row : rows.value_or(TLMRows{})) found.insert(row.get("claimed_by").int64Value().value_or(-1));
    return found;
  }
  std::vector<TLMUploadBundle> queued() {
    return database()
        ->queryBundlesWithCountLimit(1000, 1 << 30, nullptr)
        .value_or(std::vector<TLMUploadBundle>{});
  }
  // The bundles of a posted batch.
  static std::vector<std::shared_ptr<TLMPBMeasurementBundle>> bundlesOf(const OBXNetworkRequest& request) {
    auto batch = TLMPBMeasurementBatch::initWithBuffer(request.body);
    if (!batch) return {};
    return NANOGetArray<TLMPBMeasurementBundle>(*batch, TLMPBMeasurementBatchSlot::bundles)
        .value_or(std::vector<std::shared_ptr<TLMPBMeasurementBundle>>{});
  }
  static std::vector<std::string> eventNames(const TLMPBMeasurementBundle& bundle) {
    std::vector<std::string> names;
    for (const auto& event : NANOGetArray<TLMPBEvent>(bundle, TLMPBMeasurementBundleSlot::events)
                                 .value_or(std::vector<std::shared_ptr<TLMPBEvent>>{})) {
      names.push_back(NANOGetString(*event, TLMPBEventSlot::name).value_or(""));
    }
    return names;
  }

  std::shared_ptr<OBXFakeNetworkTransport> transport = std::make_shared<OBXFakeNetworkTransport>();
};
