// Drawing of the transfer between accounts on the Move money tab: the form, its review and its
// completion (each with its navigation bar), and what comes over them (the account list, the
// date and frequency pickers, the keyboard's toolbar).
#pragma once

#include "model/VesmoraModel.h"
#include "xcuitest/SimulatedDevice.h"

namespace vesmora::views {

// The transfer's current page; the model must have a transfer form.
sim::Node transferPage(VesmoraModel& model);
// The account list, a picker or the keyboard toolbar over the page; an empty container when none
// is shown. Drawn after the tab bar, which the sheets cover.
sim::Node transferOverlay(VesmoraModel& model);

}  // namespace vesmora::views
