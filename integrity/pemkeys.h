#ifndef CORVANTILE_INTEGRITY_PEMKEYS_H
#define CORVANTILE_INTEGRITY_PEMKEYS_H

#include "integrity/opensslhandles.h"

// The one way keys are read from PEM text, for the signature check, the publisher's signer and
// the tests. A BIO is consumed by a read: read each key through a BIO of its own.

// A read-only memory BIO over PEM text; a length of -1 takes the text up to its terminating zero.
// Null when none could be made.
BioPointer pemBio(const char *pem, int length);

// Reads a "PUBLIC KEY" block; null when the text holds none.
PkeyPointer readPublicKeyPem(bio_st *bio);

// Reads an unencrypted private key; null when the text holds none. A key protected by a passphrase
// is not read, and `askedForPassphrase` (when given) is set: OpenSSL would otherwise prompt on the
// terminal, which a script or a test cannot answer.
PkeyPointer readPrivateKeyPem(bio_st *bio, bool *askedForPassphrase = nullptr);

#endif // CORVANTILE_INTEGRITY_PEMKEYS_H
