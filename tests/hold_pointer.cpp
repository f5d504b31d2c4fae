// Test helper. Wine starts each desktop's pointer at (0, 0) and never reads
// it back from X, so relative moves from a fresh desktop pile up in the
// corner. This puts the pointer mid-screen and keeps the desktop, and with it
// the position, until its standard input ends: a test that dies leaves no
// Wine behind.
#include <windows.h>

#include <cstdio>

int main()
{
    // A process that meets the desktop before the desktop's graphics driver
    // is up stays without one and never moves the X pointer: wait for it.
    SendMessageW(GetDesktopWindow(), WM_NULL, 0, 0);
    // Off the X server's starting point, so that the test sees the move.
    std::puts(SetCursorPos(600, 500) ? "holding" : "SetCursorPos failed");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
}
