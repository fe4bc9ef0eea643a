// Drawing of the More tab: its menu ("MoreTable"), the biometric settings and Contact us, each
// with its navigation bar.
#pragma once

#include "model/VesmoraModel.h"
#include "xcuitest/SimulatedDevice.h"

namespace vesmora::views {

// Adds the navigation bar and the page of the More tab that the model shows to `content`.
void addMoreTab(sim::Node& content, VesmoraModel& model);

}  // namespace vesmora::views
