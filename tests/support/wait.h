#pragma once
#include <functional>

namespace tarvo::test {

// Runs the event loop until the condition holds or the time is up; returns the condition.
bool ProcessEventsUntil(const std::function<bool()>& condition, int timeoutMs = 5000);

} // namespace tarvo::test
