// Drawing of the review and completion of a bill payment or an Interac e-Transfer.
#pragma once

#include "model/VesmoraModel.h"
#include "xcuitest/SimulatedDevice.h"

namespace vesmora::views {

// The review or the completion of the model's bill-payment or e-Transfer form.
sim::Node paymentSummaryPage(VesmoraModel& model);

}  // namespace vesmora::views
