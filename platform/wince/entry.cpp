/* The module executable's entry: the runtime start-up calls it with the usual four arguments, and
   its result becomes the process's exit code. */
#include "launcher/launcher.h"
#include "platform/wince/ce_services.h"

/* Windows CE names its UTF-16 entry WinMain; the desktop headers of the check build declare WinMain
   with a narrow command line and call the UTF-16 one wWinMain. */
#if defined(UNDER_CE)
#define CE_ENTRY WinMain
#else
#define CE_ENTRY wWinMain
#endif

int WINAPI CE_ENTRY(HINSTANCE instance, HINSTANCE previousInstance, LPWSTR commandLine, int showState)
{
    return WatchMounts(instance, previousInstance, commandLine, showState);
}
