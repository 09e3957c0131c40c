#include "imaging/destinations.h"
#include "imaging/encode_upload.h"
#include "imaging/encoders.h"
#include "platform/hresult.h"

namespace tarvo {

int FindEncoder(QStringView) { ThrowHr(E_NOT_FOUND); }
QByteArray EncodeToStream(const QImage&, std::uint32_t, QStringView) { ThrowHr(E_FAIL); }
void EncodeForUpload(const QImage&, const QString&) { ThrowHr(E_FAIL); }
void PostToClipboard(const QImage&) { ThrowHr(E_FAIL); }
void SaveToNumberedFile(const QImage&) { ThrowHr(E_FAIL); }

} // namespace tarvo
