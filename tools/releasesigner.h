#ifndef CORVANTILE_TOOLS_RELEASESIGNER_H
#define CORVANTILE_TOOLS_RELEASESIGNER_H

#include "integrity/opensslhandles.h"

#include <QByteArray>
#include <QString>

#include <string>

// The publisher's half of the signature check: the RSA private-key operation with PKCS #1 v1.5
// type 1 padding straight over the 32 characters of a digest text, no DigestInfo, as Base64.
// The key is read once; sign() may then run on several threads at once.
class ReleaseSigner
{
public:
    ReleaseSigner();
    ~ReleaseSigner();
    ReleaseSigner(const ReleaseSigner &) = delete;
    ReleaseSigner &operator=(const ReleaseSigner &) = delete;

    // Reads an unencrypted PEM private key. On failure `error` receives the reason, without the
    // file's name, which the caller puts in front.
    bool load(const QString &pemPath, QString *error);
    int modulusBits() const;

    // Signs `digest`: `signature` receives it as Base64 without line breaks.
    bool sign(const std::string &digest, QString *signature, QString *error = nullptr) const;
    // True when the Base64 `signature` opens with this key to exactly `digest`. The padding is
    // deterministic, so such a signature is the one sign() would make, at a small part of the
    // cost.
    bool opens(const QString &signature, const std::string &digest) const;

private:
    PkeyPointer key;
};

// Reads a PEM public key and checks that it is RSA, so that a wrong key file is reported once
// rather than as a bad signature on every file. On success `pemText` holds the file's text.
bool loadPublicKeyText(const QString &pemPath, QByteArray *pemText, QString *error);

#endif // CORVANTILE_TOOLS_RELEASESIGNER_H
