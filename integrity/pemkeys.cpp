#include "integrity/pemkeys.h"

#include <openssl/bio.h>
#include <openssl/pem.h>

namespace {

int refusePassphrase(char *, int, int, void *asked)
{
    if (asked)
        *static_cast<bool *>(asked) = true;
    return -1;
}

} // namespace

BioPointer pemBio(const char *pem, int length)
{
    return BioPointer(BIO_new_mem_buf(pem, length));
}

PkeyPointer readPublicKeyPem(bio_st *bio)
{
    return PkeyPointer(PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr));
}

PkeyPointer readPrivateKeyPem(bio_st *bio, bool *askedForPassphrase)
{
    return PkeyPointer(PEM_read_bio_PrivateKey(bio, nullptr, refusePassphrase, askedForPassphrase));
}
