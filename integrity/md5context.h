#ifndef CORVANTILE_INTEGRITY_MD5CONTEXT_H
#define CORVANTILE_INTEGRITY_MD5CONTEXT_H

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>

// How much of a file a text-mode digest covers.
struct Md5Coverage
{
    // The file's bytes read before the digest ended: all of them, or those before the first 0x1A.
    std::uint64_t coveredBytes = 0;
    // A 0x1A ended the digest; whatever follows it is not covered.
    bool endedAtMark = false;
    // Reading failed before the end: the digest is of a part of the file.
    bool readFailed = false;
    // Every byte read from the file: the covered ones and the 0x1A, and what follows it when a
    // RawBytesSink asked for the rest of the file.
    std::uint64_t bytesRead = 0;
};

// Takes a file's bytes as they are read, before the text-mode rules touch them. A digest of the
// raw bytes rides on the read the text-mode digest makes anyway, so a file is read once for both.
class RawBytesSink
{
public:
    virtual ~RawBytesSink() = default;
    virtual void consumeRaw(const unsigned char *data, std::size_t length) = 0;
};

// RFC 1321 MD5 of a downloaded file. The manifest's digests were made from files read in Windows
// text mode, so updateFromStream() hashes the bytes that such reading delivers: CR LF counts as LF
// and the first 0x1A ends the file. The rules are applied here on every platform, which is why the
// stream must be opened in binary mode (see openInputFile()).
class Md5Context
{
public:
    Md5Context();

    void reset();
    void update(const unsigned char *data, unsigned int length);
    // Reads the stream to its end, 1024 bytes at a time, and closes it. A stream that failed to
    // open is left alone, so a missing file hashes as empty input. Returns how much of the file the
    // digest covers, so that a caller need not read the file again to find out. With `rawBytes`,
    // every byte read goes there as well, and reading goes on past a 0x1A to the end of the file
    // for `rawBytes` alone; the MD5 digest is the same either way.
    Md5Coverage updateFromStream(std::ifstream &stream, RawBytesSink *rawBytes = nullptr);
    // The digest of everything given so far. It is taken on a copy of the running state, so more
    // data may follow and a repeated call returns the same text.
    std::string hexDigest();

private:
    std::uint32_t state[4];
    std::uint32_t bitCount[2];
    unsigned char buffer[64];
    unsigned char digest[16];
    bool finished;
};

// Lower-case hexadecimal, high nibble first.
std::string bytesToHex(const unsigned char *bytes, std::size_t length);

// The digest the verifier compares with the manifest. A file that cannot be opened is not an error
// here: it gives the digest of empty input, d41d8cd98f00b204e9800998ecf8427e.
std::string md5OfFile(const std::string &utf8Path);

#endif
