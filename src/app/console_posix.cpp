#include "console.h"

#include <cerrno>
#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

void prepare_standard_streams()
{
    // A standard stream started closed would hand its number to the next
    // descriptor opened: the X connection or /dev/uinput would then be read
    // as stdin or written as stdout. On /dev/null a closed stdin reads as
    // end of input, and output to a closed stdout is lost, as it would be.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        // open() takes the lowest free number, which is fd: kept for good.
        const int null_fd =
            open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null_fd != fd) {
            if (null_fd >= 0)
                close(null_fd);
            break;
        }
    }
    // A terminal's stdout is line-buffered here, and the farewell has no
    // line end: without this it would show only when the process ends.
    if (isatty(STDOUT_FILENO) != 0)
        std::setvbuf(stdout, nullptr, _IONBF, 0);
    // A reader that has gone (a closed pipe, a lost X server) must fail a
    // write, not kill the process.
    std::signal(SIGPIPE, SIG_IGN);
}
