#include <windows.h>

// Loading does no work of its own. Thread notifications are switched off
// because the library keeps no per-thread state; unloading does not close a
// port that is still open, since the host owns that step.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        // Its result is ignored on purpose. The call only saves the thread
        // attach and detach notifications, and it fails in this DLL as built:
        // MinGW's runtime, linked in statically, gives the DLL static TLS,
        // and Windows refuses the call for a DLL with static TLS. The
        // notifications then stay on, which costs nothing here.
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}
