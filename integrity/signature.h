#ifndef CORVANTILE_INTEGRITY_SIGNATURE_H
#define CORVANTILE_INTEGRITY_SIGNATURE_H

#include <QString>

#include <memory>

// The publisher's RSA public key as PEM text ("-----BEGIN PUBLIC KEY-----"), generated at build
// time from the key file the build is configured with.
extern const char publicKeyPem[];

// The block a signature encloses, owned by the caller.
using DecryptedBlock = std::unique_ptr<unsigned char[]>;

// Opens an RSA signature with the public key in `pemText` (PKCS #1 v1.5, block type 1) and returns
// the enclosed block. The key's modulus length k decides how much of `signature` is used: its first
// k bytes; a signature shorter than that is refused rather than read past its end.
//
// The result is never null: a buffer of at least one byte that always ends in a zero byte.
// *decryptedLength receives the number of bytes recovered, or -1 when the key could not be read,
// is not RSA, or the signature does not open; the buffer then holds only zeros.
//
// Writes "publicKey_decrypt " and the key's address to standard output, without a line end, and a
// "load public key failed[...]" line when the PEM text holds no readable key.
DecryptedBlock publicKey_decrypt(const unsigned char *signature, int signatureLength,
                                 const char *pemText, int *decryptedLength);

// True when the Base64 signature text, opened with publicKeyPem, encloses exactly the bytes of
// `expectedDigest` (no case folding, no trimming).
bool checkSignature(const QString &signatureText, const QString &expectedDigest);

// The same check with the public key in `pemText` (zero-terminated PEM), for the publisher's tool,
// which checks a release against the key that installations embed. It writes nothing.
bool checkSignatureWithKey(const QString &signatureText, const QString &expectedDigest,
                           const char *pemText);

#endif
