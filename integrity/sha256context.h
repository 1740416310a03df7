#ifndef CORVANTILE_INTEGRITY_SHA256CONTEXT_H
#define CORVANTILE_INTEGRITY_SHA256CONTEXT_H

#include "integrity/md5context.h"
#include "integrity/opensslhandles.h"

#include <cstddef>
#include <string>

// SHA-256 of a file's raw bytes, through OpenSSL's EVP interface. Unlike the text-mode MD5 it sees
// every byte: no CR LF rule, and a 0x1A ends nothing. A manifest entry's SHA256 element holds it.
class Sha256Context final : public RawBytesSink
{
public:
    Sha256Context();

    void update(const unsigned char *data, std::size_t length);
    void consumeRaw(const unsigned char *data, std::size_t length) override;
    // 64 lower-case hexadecimal characters of everything given so far; more data may follow. An
    // empty text when OpenSSL failed: it never equals a listed digest.
    std::string hexDigest() const;

private:
    MdContextPointer context;
    bool failed = false;
};

// The SHA-256 of a file, read once in constant memory. A file that cannot be opened gives the
// digest of empty input, as md5OfFile does.
std::string sha256OfFile(const std::string &utf8Path);

// Both digests from one read of the file: `md5` exactly as md5OfFile gives it, `sha256` as
// sha256OfFile does.
struct FileDigestTexts
{
    std::string md5;
    std::string sha256;
};
FileDigestTexts md5AndSha256OfFile(const std::string &utf8Path);

#endif // CORVANTILE_INTEGRITY_SHA256CONTEXT_H
