// Placeholder while the decoder is written; replaced in the same change.
#include "link/jpegimage.h"
namespace jpegimage {
QImage decode(QByteArrayView, QString *error)
{
    if (error)
        *error = QStringLiteral("not built yet");
    return {};
}
QByteArray encode(const QImage &, int)
{
    return {};
}
} // namespace jpegimage
