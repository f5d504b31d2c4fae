// The benchmark's floor: a program of jiggle's shape (a worker thread, and a
// main thread blocked reading one character) whose worker only sleeps 2
// seconds at a time. Whatever it costs, any such program costs.
#include <atomic>
#include <chrono>
#include <iostream>
#include <thread>

int main()
{
    std::atomic<bool> keep_sleeping{true};
    std::thread worker([&keep_sleeping] {
        while (keep_sleeping.load(std::memory_order_relaxed))
            std::this_thread::sleep_for(std::chrono::seconds(2));
    });
    std::cin.ignore();
    keep_sleeping.store(false, std::memory_order_relaxed);
    worker.join();
    return 0;
}
