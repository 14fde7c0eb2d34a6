// The entry point of harbinel.exe: everything else lives in the library that
// the tests link too.
#include "app.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    ExitProcess((UINT)RunHarbinel(instance));
}
