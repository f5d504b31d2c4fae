// jiggle: nudges the mouse pointer every 2 seconds until a key (Enter) is
// pressed in its console.
#include "console.h"
#include "jiggle_worker.h"

#include <atomic>
#include <cstdlib>
#include <future>
#include <iostream>
#include <thread>

int main()
{
    prepare_standard_streams();
    std::cout << "Jiggling the mouse, please press any key to stop.\n";

    std::atomic<bool> keep_jiggling{true};
    std::promise<void> worker_ended;
    std::future<void> ended = worker_ended.get_future();
    std::thread worker([&keep_jiggling, &worker_ended] {
        jiggle_worker(keep_jiggling);
        worker_ended.set_value();
    });

    // One character of any kind, end of input or a failed read: all stop.
    // cin is tied to cout, so the banner is out before the read blocks.
    std::cin.ignore();

    std::cout << "Stopped jiggling. Goodbye!";
    keep_jiggling.store(false, std::memory_order_relaxed);
    if (!join_within(worker, ended, stop_wait)) {
        // The worker is stuck in the platform. Leave without running any
        // destructor under it; the system closes what it holds (an X
        // connection, a uinput device, which then disappears).
        std::cout.flush();
        std::_Exit(0);
    }
    return 0;
}
