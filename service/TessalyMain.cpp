// The program: installs, removes, runs as a process or as the service, whatever the
// command line asks for.
#include "service/ProgramEntry.h"
#include "win32/system/LibraryLoader.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    // Before anything loads a DLL by name: the program's folder and the working directory
    // are not the system's.
    CorvaneTools::Win32::RestrictLibrarySearchToSystemDirectory();
    return static_cast<int>(CorvaneTools::TessalyService::RunProgram());
}
