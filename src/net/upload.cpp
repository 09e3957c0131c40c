#include "net/upload.h"

#include "net/log.h"

namespace tarvo {

void StartUpload(std::unique_ptr<UploadJob> job)
{
    LogFormat(u"Upload of %u bytes (%s) is not available yet", unsigned(job->imageSize),
              job->mimeType);
}

} // namespace tarvo
