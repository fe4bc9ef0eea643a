// Drawing of the landing page's tab contents that the overview and navigation tests read: the
// overview's table (greeting header, account cards, category totals), the Move money menu and the
// More tab's header icon. Each function draws from the model's state at the moment the tree is
// read (the greeting and date follow the device's clock then).
#pragma once

#include "model/VesmoraModel.h"
#include "xcuitest/SimulatedDevice.h"

namespace vesmora::views {

// The overview tab's table ("OverviewTable"). Rows near the table's visible part are in the tree
// (hittable when their middle shows), rows further away are not (Overview::isLoaded); swipes on
// the table scroll it, and a tap on a row out of view scrolls it in first. `now` is the device's time (seconds since
// 1970).
sim::Node overviewTable(VesmoraModel& model, double now);

// The Move money tab's menu ("MoveMoneyTable"), one cell per entry.
sim::Node moveMoneyMenu(VesmoraModel& model);
// The entries of the Move money menu, in display order.
const std::vector<std::string>& moveMoneyEntries();

// Marks a node and everything in it as (not) hittable: rows scrolled out of a table's visible part.
void setHittable(sim::Node& node, bool hittable);

// Routes a swipe on the landing page to the overview's scroll position; true when handled.
bool scrollOverview(VesmoraModel& model, const sim::Action& action);

}  // namespace vesmora::views
