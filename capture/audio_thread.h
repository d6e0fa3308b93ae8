// Scheduling of the thread that moves the audio.
#pragma once

// Registers the calling thread with the Multimedia Class Scheduler as an
// "Audio" task, as Windows' own capture threads are, so that a busy machine
// does not starve it. A refusal changes nothing: the thread runs as before.
void ScheduleAsAudioThread();

// Opts the process out of timer-resolution throttling: Windows 11 otherwise
// may ignore timeBeginPeriod for a process whose window is hidden or that
// has none, and Sleep(5) becomes a 15.6 ms tick. Its failure changes nothing.
void KeepTimerResolution();
