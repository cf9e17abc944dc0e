#include <windows.h>

// Placeholder entry until the window and the worker land.
int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, PWSTR /*command line*/, int /*show*/)
{
    return 0;
}
