#pragma once
#include <cstdint>

namespace tarvo {

// Freezes the screen, lets the user select a rectangle and delivers it to the destination.
// Runs on the user-interface thread; lets no exception out.
void RunCapture(std::int32_t destination);

} // namespace tarvo
