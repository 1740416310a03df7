#include "integrity/sha256context.h"

#include "integrity/platformfile.h"

#include <openssl/evp.h>

#include <fstream>

Sha256Context::Sha256Context() : context(EVP_MD_CTX_new())
{
    failed = !context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1;
}

void Sha256Context::update(const unsigned char *data, std::size_t length)
{
    if (!failed && length > 0)
        failed = EVP_DigestUpdate(context.get(), data, length) != 1;
}

void Sha256Context::consumeRaw(const unsigned char *data, std::size_t length)
{
    update(data, length);
}

std::string Sha256Context::hexDigest() const
{
    if (failed)
        return std::string();
    // Finished on a copy, so that the running state may take more data.
    const MdContextPointer closing(EVP_MD_CTX_new());
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!closing || EVP_MD_CTX_copy_ex(closing.get(), context.get()) != 1 ||
        EVP_DigestFinal_ex(closing.get(), digest, &length) != 1)
        return std::string();
    return bytesToHex(digest, length);
}

std::string sha256OfFile(const std::string &utf8Path)
{
    Sha256Context context;
    std::ifstream stream;
    if (openInputFile(stream, utf8Path)) {
        constexpr std::size_t readSize = 64 * 1024;
        unsigned char chunk[readSize];
        while (stream.good()) {
            stream.read(reinterpret_cast<char *>(chunk), static_cast<std::streamsize>(readSize));
            context.update(chunk, static_cast<std::size_t>(stream.gcount()));
        }
    }
    return context.hexDigest();
}

FileDigestTexts md5AndSha256OfFile(const std::string &utf8Path)
{
    Md5Context md5;
    Sha256Context sha256;
    std::ifstream stream;
    openInputFile(stream, utf8Path);
    md5.updateFromStream(stream, &sha256);
    return {md5.hexDigest(), sha256.hexDigest()};
}
