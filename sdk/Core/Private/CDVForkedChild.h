// A child made by fork() from a process that used the SDK has the SDK's state but none of its
// threads, and shares the app's store, keys and identity with the parent, which goes on using
// them. The SDK does nothing there: every call is refused at once, before it takes any of the
// SDK's locks (a thread of the parent's may have held one at the fork, and nothing in the child
// will release it), and the first one writes one warning. Calls with a completion handler answer
// it once with an error; the wait for queued work reports false, and the app's end
// (UIApplication::terminate, whose refusal the first call that claims a process installs) returns
// false without posting, whichever of the SDK's libraries are linked. A
// process whose first SDK call comes after a fork is an SDK process of its own. A child made by
// clone() without fork's handlers is not supported (it keeps its parent's identifier, and the C
// library's own locks are not made safe there either).
#pragma once

class CDVForkedChild {
 public:
  // True when the SDK was first used in a process this one was forked from (writing, the first
  // time in this process, the warning that names `call`). The first call in a process that
  // has not used the SDK makes it the SDK's process, and answers false.
  static bool refuses(const char* call);
  // The same for a call that does not make a process the SDK's (lookups, and what runs when the
  // program loads): false in a process that has not used the SDK.
  static bool refusesWithoutClaim(const char* call);
  // True in a child of the SDK's process, like the refusals, but without their warning: for a
  // call that is never refused there yet must not wait for a lock a parent's thread may have held
  // (a log line's one-time set-up).
  static bool isForkedChild();
  // True once the SDK belongs to this process or to one it was forked from (no warning).
  static bool hasOwner();
};

// The warning's message code.
inline constexpr const char* kCDVForkedChildMessageCode = "I-COR000040";
