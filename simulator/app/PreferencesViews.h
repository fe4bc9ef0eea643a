// Drawing of the More tab's Interac e-Transfer preferences page: the table
// ("ETransferPreferencesTable") with the sender profile and the autodeposit registrations, and the
// sender-profile and autodeposit editors pushed over it.
#pragma once

#include "model/VesmoraModel.h"
#include "xcuitest/SimulatedDevice.h"

namespace vesmora::views {

// Adds the page's navigation bar and content (or the open editor) to `content`.
void addETransferPreferences(sim::Node& content, VesmoraModel& model);

}  // namespace vesmora::views
