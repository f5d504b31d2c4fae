// What the standard streams need on each platform to behave as on the
// Windows console: every write shows at once, a write that fails is just
// lost, and a stream that is closed stays out of the program's way.
#ifndef JIGGLE_CONSOLE_H
#define JIGGLE_CONSOLE_H

void prepare_standard_streams();

#endif
