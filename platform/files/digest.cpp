// SHA-256 through Qt's own implementation.
#include "digest.h"

#include <QCryptographicHash>

#include <cstring>

void Sha256Hex(const void *bytes, int count, char hex[SHA256_HEX_LEN + 1]) {
    const QByteArray digest =
        QCryptographicHash::hash(QByteArrayView(static_cast<const char *>(bytes), count),
                                 QCryptographicHash::Sha256)
            .toHex();
    std::memcpy(hex, digest.constData(), SHA256_HEX_LEN);
    hex[SHA256_HEX_LEN] = '\0';
}
