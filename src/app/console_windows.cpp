#include "console.h"

// The Windows console runtime already writes console output unbuffered, and
// a failed write does not end the process: nothing to do.
void prepare_standard_streams() {}
