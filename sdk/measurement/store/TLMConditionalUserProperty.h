// A user property stored in advance that becomes active when its trigger event is logged within
// the trigger timeout, then lives for its time to live. A plain record; the rules that move it
// through its life belong to the conditional-property controller.
#pragma once

#include <optional>
#include <string>

#include "measurement/model/TLMEvent.h"
#include "measurement/model/TLMValue.h"

class TLMConditionalUserProperty {
 public:
  std::string name;
  std::string origin;
  // The value the user property takes when active; empty means "clear" when setting.
  std::optional<TLMValue> value;
  // Event name that activates the property; empty means active at once.
  std::string triggerEventName;
  double triggerTimeout = 0;  // seconds after creation during which a trigger is accepted
  double timeToLive = 0;      // seconds the property stays active
  // Event templates logged on activation, on time-out, and on expiry or clearing.
  TLMEventPtr triggeredEvent;
  TLMEventPtr timedOutEvent;
  TLMEventPtr expiredEvent;
  double creationTimestamp = 0;   // seconds since 1970
  bool active = false;
  double triggeredTimestamp = 0;  // seconds since 1970

  bool isActive() const { return active; }
};
