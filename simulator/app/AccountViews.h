// Drawing of the pages an account card opens over the overview: the transactions page (navigation
// bar named after the account with its "Overview" back button, balance header, "Manage account",
// "Transactions" and one cell per transaction) and the details page ("Manage Account").
#pragma once

#include "model/VesmoraModel.h"
#include "xcuitest/SimulatedDevice.h"

namespace vesmora::views {

// The open account page with its navigation bar; an empty container when none is open.
sim::Node accountPage(VesmoraModel& model);

// Routes a swipe to the shown account page's scroll position; true when handled.
bool scrollAccountPage(VesmoraModel& model, const sim::Action& action);

}  // namespace vesmora::views
