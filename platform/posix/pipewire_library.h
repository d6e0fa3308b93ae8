// libpipewire, loaded at run time so that the binary starts where it is not
// installed. The pw_* functions the audio group calls are defined in
// pipewire_library.cpp and forward to the library once it is loaded.
#pragma once

// Loads libpipewire-0.3.so.0 and initialises it, once per process. False
// when it is missing or lacks a function we call; no pw_* function may be
// called then.
bool LoadPipeWireLibrary();
