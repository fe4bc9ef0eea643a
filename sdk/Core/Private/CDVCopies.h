// The copies of the SDK in one process.
//
// Shared libraries that each embed the SDK (plugins), and a program that links it itself, hold a
// copy each, and every copy would keep the app's data in the same folders. One copy works: the
// first whose configure succeeds. The others' configure is refused naming it, and so is every
// call of theirs that would write something of the app's.
//
// The copies find each other without sharing a symbol, so that no dlopen flag, link option
// (a version script, --exclude-libs) or compiler keeps them apart: each copy carries an ELF note
// ("Cindervale", CDVCopyNoteType) holding the link-time offset from the note to a block of its
// own, CDVCopyBlock. As a copy loads (its static initialiser) it reads the notes of the objects
// loaded before it and links its block into the ring of the copies' blocks, both inside
// dl_iterate_phdr, whose lock keeps every other copy's link and every load and unload out
// meanwhile; the older builds' blocks it found (which do not link themselves) its block names, their
// objects kept loaded. From then on a copy reads only the blocks, never the loader's lists: its
// claims, its looks and those of a child made by fork().
// A copy loaded in a link-map namespace of its own (dlmopen) links nothing and works nowhere:
// threads of a second namespace's C library corrupt the program's memory.
#pragma once

// The note that names a copy's block `symbol` (hidden, and defined in the same object): an
// allocated note section, so the linker puts it in a PT_NOTE segment and keeps it from
// --gc-sections; its descriptor is the 8-byte offset from the descriptor to the block.
#define CDV_COPY_NOTE(symbol)                          \
  asm(".pushsection .note.cindervale.copy,\"a\",@note\n" \
      ".balign 4\n"                                    \
      ".long 11\n"                                     \
      ".long 8\n"                                      \
      ".long 0x43445643\n"                             \
      ".asciz \"Cindervale\"\n"                        \
      ".balign 4\n"                                    \
      ".quad " #symbol " - .\n"                        \
      ".popsection\n")

#include <functional>
#include <string>

namespace cdv_copies {

// What configure gets before it does anything of the app's.
struct Claim {
  bool granted = false;
  // When refused: why, naming the shared object (or program) of the copy that works.
  std::string refusal;
};

// Claims the process for a configure of this copy: granted when no other copy works or configures
// (while another copy's configure is under way this waits for its outcome), or when this copy
// works or configures already. A granted claim is settled once the configure is over. Refused too
// when this copy cannot tell whether another works: a copy lost track of older builds' copies, or
// the ring of copies goes on past the most a look goes through.
Claim claim();
// After a granted claim: a configure that succeeded makes this copy the one that works for good;
// one that failed gives the process back (when no other configure of this copy is under way), and
// the next copy is free to configure.
void settle(bool configured);

// True when this copy works (one of its configures succeeded).
bool thisCopyWorks();
// The file of another copy that works in this process, or null (also when this copy works). Once
// one is found it is kept: a copy that works does so until the process ends. Before that it reads
// the other copies' blocks: not for a call made at every event.
const char* otherWorkingCopy();
// True when another copy is loaded in this process, whether it works or not.
bool otherCopiesLoaded();

// True for a copy in a link-map namespace other than the program's: it makes no thread, and its
// configure and every call that would write something of the app's are refused, saying why.
bool isApart();
std::string apartRefusal();

// True, writing once a warning that names `call`, when another copy works in this process (or
// this one is apart): a call that would write something of the app's (settings, stores, identity,
// files) is refused here.
bool refusesBesideWorkingCopy(const char* call);
// Why this copy's calls are refused, as its warning says: another copy works, this one is apart,
// or its last configure was refused (it found more copies than it can look through, or waited in
// vain for another's configure). Empty when they are not.
std::string refusal();

// What becomes of a write of something of the app's that a call of this copy would make.
enum class AppWrite {
  // This copy works, or no other copy is loaded: the call writes as it always did.
  now,
  // Other copies are loaded and none works yet: the write is held, and this copy's configure makes
  // it before it starts the app (runHeldWrites); if another copy works first it is never made.
  held,
  // Another copy works: refused, as refusesBesideWorkingCopy says.
  refused,
};
// Decides the fate of `call`'s write, keeping `write` when it is held.
AppWrite writeOfTheApp(const char* call, std::function<void()> write);
// Makes the writes held, in the order they were made: configure, once this copy holds the process
// and the app's options are checked, before the app's settings are read.
void runHeldWrites();

// Calls `visit` with the file name of every object loaded in this copy's namespace ("" for the
// program; an exception it raises is dropped). Nothing in a process forked from one with other
// threads, one of which may have been changing the loader's list, holding its lock.
void forEachLoadedObject(const std::function<void(const char*)>& visit);

// For tests: `hook(context)` runs once, in this copy's next claim, once it has read the other
// copies' (its mark set before) and before it decides.
void setClaimHookForTesting(void (*hook)(void*), void* context);

// The warning's message code.
inline constexpr const char* kRefusedBesideWorkingCopyMessageCode = "I-COR000041";

}  // namespace cdv_copies
