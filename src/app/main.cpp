// jiggle: nudges the mouse pointer every 2 seconds until a key (Enter) is
// pressed in its console.
#include "console.h"
#include "jiggle_worker.h"

#include <atomic>
#include <functional>
#include <iostream>
#include <thread>

int main()
{
    prepare_standard_streams();
    std::cout << "Jiggling the mouse, please press any key to stop.\n";

    std::atomic<bool> keep_jiggling{true};
    std::thread worker(jiggle_worker, std::cref(keep_jiggling));

    // One character of any kind, end of input or a failed read: all stop.
    // cin is tied to cout, so the banner is out before the read blocks.
    std::cin.ignore();

    std::cout << "Stopped jiggling. Goodbye!";
    keep_jiggling.store(false, std::memory_order_relaxed);
    worker.join();
    return 0;
}
