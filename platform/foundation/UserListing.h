// Whether a group's write bit on a folder lets in users other than this one: the user list, as
// the name services give it, tells whether the group is this user's own private group.
#pragma once

#include <sys/types.h>

#include <string>

namespace platform::files {

// What the user list tells of a group: whether a user other than the one asking may have it as
// primary group and, when the list could not be read to its end, why and what to do (the group
// then counts as another's).
struct GroupListing {
  bool another = false;
  std::string unlisted;
};

// Whether the group `gid` lets in users other than this one through a folder's group write bit:
// only the user's own private group (named after the user, no other member, no other user's
// primary group) does not. Answered once per process for each user and group.
GroupListing groupMayBeAnothers(gid_t gid);

}  // namespace platform::files
