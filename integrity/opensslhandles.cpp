#include "integrity/opensslhandles.h"

#include <openssl/bio.h>
#include <openssl/evp.h>

#include <type_traits>

// The tags above must stay the types OpenSSL's names stand for.
static_assert(std::is_same_v<BIO, bio_st>);
static_assert(std::is_same_v<EVP_PKEY, evp_pkey_st>);
static_assert(std::is_same_v<EVP_PKEY_CTX, evp_pkey_ctx_st>);
static_assert(std::is_same_v<EVP_MD_CTX, evp_md_ctx_st>);

void BioFree::operator()(bio_st *bio) const
{
    BIO_free(bio);
}

void PkeyFree::operator()(evp_pkey_st *key) const
{
    EVP_PKEY_free(key);
}

void PkeyContextFree::operator()(evp_pkey_ctx_st *context) const
{
    EVP_PKEY_CTX_free(context);
}

void MdContextFree::operator()(evp_md_ctx_st *context) const
{
    EVP_MD_CTX_free(context);
}
