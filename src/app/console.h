// What standard output needs on each platform to behave as on the Windows
// console: every write shows at once, and a write that fails is just lost.
#ifndef JIGGLE_CONSOLE_H
#define JIGGLE_CONSOLE_H

void prepare_standard_output();

#endif
