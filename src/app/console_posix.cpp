#include "console.h"

#include <csignal>
#include <cstdio>

#include <unistd.h>

void prepare_standard_output()
{
    // A terminal's stdout is line-buffered here, and the farewell has no
    // line end: without this it would show only when the process ends.
    if (isatty(STDOUT_FILENO) != 0)
        std::setvbuf(stdout, nullptr, _IONBF, 0);
    // A reader that has gone (a closed pipe, a lost X server) must fail a
    // write, not kill the process.
    std::signal(SIGPIPE, SIG_IGN);
}
