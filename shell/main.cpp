#include "shell/program_entry.h"

#include <windows.h>

// The command line is read again where it is needed, as a whole.
int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, PWSTR /*command line*/, int /*show*/)
{
    return orvek::run_program();
}
