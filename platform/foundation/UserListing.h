// Whether a group's write bit on a folder lets in users other than this one: the user list, as
// the name services give it, tells whether the group is this user's own private group.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
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
// primary group) does not. Answered once per process for each user and group (a failure kept
// for a few seconds only).
GroupListing groupMayBeAnothers(gid_t gid);

// A user's name and home folder, as the name services give them (none found: `found` false), or
// why the user could not be looked up; asked once per process and kept for the children it forks,
// a failure (which may pass: a time-out, a process limit) for a few seconds only. In a process made by fork() from one that had other threads, one of which
// may have held the C library's name-service locks (which the child never gets back), the answer
// comes from /etc/passwd where nsswitch.conf takes users from there alone, else from `getent
// passwd <uid>` in a process of its own, within the user listing's limits: its line, read to its
// end and no further (1 MiB at most), counts only as the entry of the id asked.
struct UserEntry {
  bool found = false;
  std::string name;
  std::string home;
  std::string failed;
};
UserEntry lookUpUser(uid_t uid);
// The user `uid`'s entry as lookUpUser reads it from /etc/passwd in a forked child, read from
// `path` instead (for tests).
UserEntry userFromPasswdFileForTesting(const std::string& path, uid_t uid);

// Whether a file whose owner shows as `owner` is this process's user's own (`me`, its effective
// user id, when the caller has it at hand). Never where that owner
// may be a user with no id in this process's user namespace, which shows every such user (and
// the process's own, when it has none there) as the overflow uid (/proc/sys/kernel/overflowuid):
// in a namespace that does not map every id, that id tells no one.
bool ownedByThisUser(uid_t owner, uid_t me = ::geteuid());
// Whose a file that is not this user's is, for a refusal: "another user (uid N)", or, for the
// overflow uid, that whose it is cannot be told, and why.
std::string anotherOwner(uid_t owner);

// How long a failure of a lookup or a listing is kept (for tests); negative: the default, seconds.
void setFailureKeptForTesting(std::chrono::milliseconds kept);

}  // namespace platform::files
