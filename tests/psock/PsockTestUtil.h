// Helpers for tests of components that wait by processing messages.
#pragma once

#include <chrono>
#include <functional>

#include "platform/vcl/Forms.h"

namespace testutil {

// Processes messages until pred holds or ms pass; returns pred's last value.
inline bool PumpUntil(const std::function<bool()>& pred, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        vcl::Application->ProcessMessagesWaiting(5);
    }
    return true;
}

inline void PumpFor(int ms) {
    PumpUntil([] { return false; }, ms);
}

}  // namespace testutil
