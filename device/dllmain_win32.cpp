#include <windows.h>

// Loading does no work of its own. Thread notifications are switched off
// because the library keeps no per-thread state; unloading does not close a
// port that is still open, since the host owns that step.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        // Only an optimisation: failure leaves the notifications on, harmlessly.
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}
