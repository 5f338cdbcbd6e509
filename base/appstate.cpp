#include "base/appstate.h"

#include <atomic>

namespace {
std::atomic<bool> terminating{false};
}

bool ApplicationTerminating() { return terminating.load(std::memory_order_relaxed); }
void SetApplicationTerminating(bool value) { terminating.store(value, std::memory_order_relaxed); }
