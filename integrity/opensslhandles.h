#ifndef CORVANTILE_INTEGRITY_OPENSSLHANDLES_H
#define CORVANTILE_INTEGRITY_OPENSSLHANDLES_H

#include <memory>

// Owners for the OpenSSL handles this project creates, each released on every path. The types
// are declared here by their OpenSSL tags rather than through OpenSSL's headers: a class that
// holds a handle (ReleaseSigner) can then keep it in its header without passing OpenSSL's
// include paths to everyone who includes that header, and the library links OpenSSL privately.
struct bio_st;
struct evp_pkey_st;
struct evp_pkey_ctx_st;
struct evp_md_ctx_st;

struct BioFree
{
    void operator()(bio_st *bio) const;
};
struct PkeyFree
{
    void operator()(evp_pkey_st *key) const;
};
struct PkeyContextFree
{
    void operator()(evp_pkey_ctx_st *context) const;
};

struct MdContextFree
{
    void operator()(evp_md_ctx_st *context) const;
};

using BioPointer = std::unique_ptr<bio_st, BioFree>;
using PkeyPointer = std::unique_ptr<evp_pkey_st, PkeyFree>;
using PkeyContextPointer = std::unique_ptr<evp_pkey_ctx_st, PkeyContextFree>;
using MdContextPointer = std::unique_ptr<evp_md_ctx_st, MdContextFree>;

#endif // CORVANTILE_INTEGRITY_OPENSSLHANDLES_H
