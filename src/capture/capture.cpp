#include "capture/capture.h"

#include "net/log.h"

namespace tarvo {

void RunCapture(std::int32_t destination)
{
    LogFormat(u"Capture requested for destination %i", destination);
}

} // namespace tarvo
