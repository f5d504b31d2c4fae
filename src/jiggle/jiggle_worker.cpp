#include "jiggle_worker.h"

void jiggle_worker(const std::atomic<bool> &keep_jiggling)
{
    std::random_device device;
    jiggle_loop(keep_jiggling, device, inject_pointer_motion, jiggle_interval);
}
