#include "signatureverifier.h"

// Alone in its unit so that building with another key recompiles one file.
QByteArray SignatureVerifier::builtInPublicKey()
{
    return QByteArrayLiteral(UPDATER_PUBLIC_KEY).trimmed();
}
