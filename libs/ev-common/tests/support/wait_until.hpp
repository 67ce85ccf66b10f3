// Waits, for the tests, until a condition holds: polled every 5 ms, given up
// (false) after `timeout`, so a fault fails the test instead of hanging it.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace ev_test {

inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace ev_test
