// The program: installs, removes, runs as a process or as the service, whatever the
// command line asks for.
#include "service/ProgramEntry.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    return static_cast<int>(RunProgram());
}
