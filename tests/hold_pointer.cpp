// Test helper for the end-to-end tests under Wine: puts the pointer at (x, y)
// and keeps the Wine desktop in use until standard input ends.
//
// Wine keeps the pointer position with the desktop, starts it at (0, 0) and
// does not read it back from the X server, so relative moves from a fresh
// desktop pile up against the screen's corner. While this program runs, the
// desktop (and with it the position) lives on between runs of jiggle.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fputs("usage: hold_pointer X Y\n", stderr);
        return 2;
    }
    if (SetCursorPos(std::atoi(argv[1]), std::atoi(argv[2])) == 0) {
        std::printf("SetCursorPos failed: %lu\n", GetLastError());
        return 1;
    }
    std::puts("holding");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    return 0;
}
