// What keeps this copy of the platform mapped while its threads run.
//
// A shared library that embeds the platform's static libraries (a plugin a host opens with dlopen)
// holds a copy of its own. Its threads run its code until the process ends, so the library must
// never be unloaded once one of them started: dlclose then leaves it loaded.
#pragma once

namespace platform {

// Marks the shared object that holds this copy never to be unloaded (a program needs nothing: it
// is never unloaded). Called before this copy starts a thread; once done, a call makes no system
// call. It takes the dynamic loader's lock: never call it while holding a lock that code run by
// dlopen (a library's initialisers) may take.
void stayLoaded();

// The file of the shared object, or program, that holds this copy, as the dynamic loader names it
// ("" when it cannot tell), asked once as it loads.
const char* loadedFrom();

}  // namespace platform
