#include "capture/audio_thread.h"

#include "platform/win32.h"

void ScheduleAsAudioThread() {
    // The task handle is never reverted: the thread keeps the class until the
    // process ends.
    DWORD task_index = 0;
    AvSetMmThreadCharacteristicsW(L"Audio", &task_index);
}

void KeepTimerResolution() {
    PROCESS_POWER_THROTTLING_STATE state = {};
    state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
    state.ControlMask = PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION;
    state.StateMask = 0;  // the named behaviour off: timer requests are honoured
    SetProcessInformation(GetCurrentProcess(), ProcessPowerThrottling, &state, sizeof(state));
}
