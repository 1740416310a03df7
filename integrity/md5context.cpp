#include "integrity/md5context.h"

#include "integrity/platformfile.h"

#include <cstring>
#include <fstream>

namespace {

constexpr std::size_t readSize = 1024;
constexpr unsigned char carriageReturn = 0x0d;
constexpr unsigned char lineFeed = 0x0a;
constexpr unsigned char endOfFileMark = 0x1a;

inline std::uint32_t loadLittleEndian(const unsigned char *bytes)
{
    // Assembled byte by byte so big-endian hosts work too; compilers fold this into one load.
    return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16 |
           std::uint32_t(bytes[3]) << 24;
}

inline void storeLittleEndian(unsigned char *bytes, std::uint32_t word)
{
    bytes[0] = static_cast<unsigned char>(word);
    bytes[1] = static_cast<unsigned char>(word >> 8);
    bytes[2] = static_cast<unsigned char>(word >> 16);
    bytes[3] = static_cast<unsigned char>(word >> 24);
}

// The round functions in the forms with the shortest dependency on b, the word computed by the
// step before: that chain is what bounds MD5's speed.
#define MD5_F(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define MD5_H(b, c, d) ((b) ^ ((c) ^ (d)))
#define MD5_I(b, c, d) ((c) ^ ((b) | ~(d)))

#define MD5_STEP(f, a, b, c, d, x, t, s)                                                           \
    (a) += (x) + (t);                                                                              \
    (a) += f((b), (c), (d));                                                                       \
    (a) = ((a) << (s)) | ((a) >> (32 - (s)));                                                      \
    (a) += (b);

// G(b, c, d) = (b & d) | (c & ~d): the two halves never share a set bit, so they can be added, and
// c & ~d does not wait for b.
#define MD5_STEP_G(a, b, c, d, x, t, s)                                                            \
    (a) += (x) + (t) + ((c) & ~(d));                                                               \
    (a) += (b) & (d);                                                                              \
    (a) = ((a) << (s)) | ((a) >> (32 - (s)));                                                      \
    (a) += (b);

// Runs the compression function over whole 64-byte blocks straight from the caller's memory; the
// chaining words stay in registers from one block to the next.
void processBlocks(std::uint32_t state[4], const unsigned char *data, std::size_t blockCount)
{
    std::uint32_t a = state[0];
    std::uint32_t b = state[1];
    std::uint32_t c = state[2];
    std::uint32_t d = state[3];

    for (; blockCount > 0; --blockCount, data += 64) {
        std::uint32_t x[16];
        for (int i = 0; i < 16; ++i)
            x[i] = loadLittleEndian(data + 4 * i);

        const std::uint32_t savedA = a;
        const std::uint32_t savedB = b;
        const std::uint32_t savedC = c;
        const std::uint32_t savedD = d;

        MD5_STEP(MD5_F, a, b, c, d, x[0], 0xd76aa478, 7)
        MD5_STEP(MD5_F, d, a, b, c, x[1], 0xe8c7b756, 12)
        MD5_STEP(MD5_F, c, d, a, b, x[2], 0x242070db, 17)
        MD5_STEP(MD5_F, b, c, d, a, x[3], 0xc1bdceee, 22)
        MD5_STEP(MD5_F, a, b, c, d, x[4], 0xf57c0faf, 7)
        MD5_STEP(MD5_F, d, a, b, c, x[5], 0x4787c62a, 12)
        MD5_STEP(MD5_F, c, d, a, b, x[6], 0xa8304613, 17)
        MD5_STEP(MD5_F, b, c, d, a, x[7], 0xfd469501, 22)
        MD5_STEP(MD5_F, a, b, c, d, x[8], 0x698098d8, 7)
        MD5_STEP(MD5_F, d, a, b, c, x[9], 0x8b44f7af, 12)
        MD5_STEP(MD5_F, c, d, a, b, x[10], 0xffff5bb1, 17)
        MD5_STEP(MD5_F, b, c, d, a, x[11], 0x895cd7be, 22)
        MD5_STEP(MD5_F, a, b, c, d, x[12], 0x6b901122, 7)
        MD5_STEP(MD5_F, d, a, b, c, x[13], 0xfd987193, 12)
        MD5_STEP(MD5_F, c, d, a, b, x[14], 0xa679438e, 17)
        MD5_STEP(MD5_F, b, c, d, a, x[15], 0x49b40821, 22)

        MD5_STEP_G(a, b, c, d, x[1], 0xf61e2562, 5)
        MD5_STEP_G(d, a, b, c, x[6], 0xc040b340, 9)
        MD5_STEP_G(c, d, a, b, x[11], 0x265e5a51, 14)
        MD5_STEP_G(b, c, d, a, x[0], 0xe9b6c7aa, 20)
        MD5_STEP_G(a, b, c, d, x[5], 0xd62f105d, 5)
        MD5_STEP_G(d, a, b, c, x[10], 0x02441453, 9)
        MD5_STEP_G(c, d, a, b, x[15], 0xd8a1e681, 14)
        MD5_STEP_G(b, c, d, a, x[4], 0xe7d3fbc8, 20)
        MD5_STEP_G(a, b, c, d, x[9], 0x21e1cde6, 5)
        MD5_STEP_G(d, a, b, c, x[14], 0xc33707d6, 9)
        MD5_STEP_G(c, d, a, b, x[3], 0xf4d50d87, 14)
        MD5_STEP_G(b, c, d, a, x[8], 0x455a14ed, 20)
        MD5_STEP_G(a, b, c, d, x[13], 0xa9e3e905, 5)
        MD5_STEP_G(d, a, b, c, x[2], 0xfcefa3f8, 9)
        MD5_STEP_G(c, d, a, b, x[7], 0x676f02d9, 14)
        MD5_STEP_G(b, c, d, a, x[12], 0x8d2a4c8a, 20)

        MD5_STEP(MD5_H, a, b, c, d, x[5], 0xfffa3942, 4)
        MD5_STEP(MD5_H, d, a, b, c, x[8], 0x8771f681, 11)
        MD5_STEP(MD5_H, c, d, a, b, x[11], 0x6d9d6122, 16)
        MD5_STEP(MD5_H, b, c, d, a, x[14], 0xfde5380c, 23)
        MD5_STEP(MD5_H, a, b, c, d, x[1], 0xa4beea44, 4)
        MD5_STEP(MD5_H, d, a, b, c, x[4], 0x4bdecfa9, 11)
        MD5_STEP(MD5_H, c, d, a, b, x[7], 0xf6bb4b60, 16)
        MD5_STEP(MD5_H, b, c, d, a, x[10], 0xbebfbc70, 23)
        MD5_STEP(MD5_H, a, b, c, d, x[13], 0x289b7ec6, 4)
        MD5_STEP(MD5_H, d, a, b, c, x[0], 0xeaa127fa, 11)
        MD5_STEP(MD5_H, c, d, a, b, x[3], 0xd4ef3085, 16)
        MD5_STEP(MD5_H, b, c, d, a, x[6], 0x04881d05, 23)
        MD5_STEP(MD5_H, a, b, c, d, x[9], 0xd9d4d039, 4)
        MD5_STEP(MD5_H, d, a, b, c, x[12], 0xe6db99e5, 11)
        MD5_STEP(MD5_H, c, d, a, b, x[15], 0x1fa27cf8, 16)
        MD5_STEP(MD5_H, b, c, d, a, x[2], 0xc4ac5665, 23)

        MD5_STEP(MD5_I, a, b, c, d, x[0], 0xf4292244, 6)
        MD5_STEP(MD5_I, d, a, b, c, x[7], 0x432aff97, 10)
        MD5_STEP(MD5_I, c, d, a, b, x[14], 0xab9423a7, 15)
        MD5_STEP(MD5_I, b, c, d, a, x[5], 0xfc93a039, 21)
        MD5_STEP(MD5_I, a, b, c, d, x[12], 0x655b59c3, 6)
        MD5_STEP(MD5_I, d, a, b, c, x[3], 0x8f0ccc92, 10)
        MD5_STEP(MD5_I, c, d, a, b, x[10], 0xffeff47d, 15)
        MD5_STEP(MD5_I, b, c, d, a, x[1], 0x85845dd1, 21)
        MD5_STEP(MD5_I, a, b, c, d, x[8], 0x6fa87e4f, 6)
        MD5_STEP(MD5_I, d, a, b, c, x[15], 0xfe2ce6e0, 10)
        MD5_STEP(MD5_I, c, d, a, b, x[6], 0xa3014314, 15)
        MD5_STEP(MD5_I, b, c, d, a, x[13], 0x4e0811a1, 21)
        MD5_STEP(MD5_I, a, b, c, d, x[4], 0xf7537e82, 6)
        MD5_STEP(MD5_I, d, a, b, c, x[11], 0xbd3af235, 10)
        MD5_STEP(MD5_I, c, d, a, b, x[2], 0x2ad7d2bb, 15)
        MD5_STEP(MD5_I, b, c, d, a, x[9], 0xeb86d391, 21)

        a += savedA;
        b += savedB;
        c += savedC;
        d += savedD;
    }

    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

#undef MD5_STEP_G
#undef MD5_STEP
#undef MD5_I
#undef MD5_H
#undef MD5_F

// Applies the text-mode rules to one read, in place, and returns how many bytes remain to hash.
// `atEnd` says no byte follows the data; otherwise a CR standing last cannot be judged yet and is
// handed back through `carriedReturn` to be placed in front of the next read.
std::size_t applyTextRules(unsigned char *data, std::size_t length, bool atEnd, bool *carriedReturn)
{
    *carriedReturn = false;
    unsigned char *out = data;
    const unsigned char *in = data;
    const unsigned char *const end = data + length;
    for (;;) {
        const auto *found =
            static_cast<const unsigned char *>(std::memchr(in, carriageReturn, end - in));
        const unsigned char *keepUntil = found ? found : end;
        bool dropReturn = false;
        if (found && found + 1 == end) {
            *carriedReturn = !atEnd;
            keepUntil = atEnd ? end : found;
            found = nullptr;
        } else if (found) {
            dropReturn = found[1] == lineFeed;
            keepUntil = found + 1;
        }
        const std::size_t keep = static_cast<std::size_t>(keepUntil - in) - (dropReturn ? 1 : 0);
        // Until the first CR is dropped, everything is already where it belongs.
        if (out != in)
            std::memmove(out, in, keep);
        out += keep;
        if (!found)
            break;
        in = found + 1;
    }
    return static_cast<std::size_t>(out - data);
}

// What follows the 0x1A that ended the text-mode digest goes to the raw digest alone, in reads as
// large as suit it.
void readRestRaw(std::ifstream &stream, RawBytesSink &rawBytes, Md5Coverage &coverage)
{
    constexpr std::size_t restReadSize = 64 * 1024;
    unsigned char rest[restReadSize];
    while (stream.good()) {
        stream.read(reinterpret_cast<char *>(rest), static_cast<std::streamsize>(restReadSize));
        const auto length = static_cast<std::size_t>(stream.gcount());
        if (length > 0)
            rawBytes.consumeRaw(rest, length);
        coverage.bytesRead += length;
    }
}

} // namespace

Md5Context::Md5Context()
{
    reset();
}

void Md5Context::reset()
{
    finished = false;
    state[0] = 0x67452301;
    state[1] = 0xefcdab89;
    state[2] = 0x98badcfe;
    state[3] = 0x10325476;
    bitCount[0] = 0;
    bitCount[1] = 0;
}

void Md5Context::update(const unsigned char *data, unsigned int length)
{
    finished = false;
    if (length == 0)
        return;

    std::size_t used = (bitCount[0] >> 3) & 63;
    const std::uint64_t bits =
        ((std::uint64_t(bitCount[1]) << 32) | bitCount[0]) + (std::uint64_t(length) << 3);
    bitCount[0] = static_cast<std::uint32_t>(bits);
    bitCount[1] = static_cast<std::uint32_t>(bits >> 32);

    std::size_t remaining = length;
    if (used > 0) {
        const std::size_t room = 64 - used;
        if (remaining < room) {
            std::memcpy(buffer + used, data, remaining);
            return;
        }
        std::memcpy(buffer + used, data, room);
        processBlocks(state, buffer, 1);
        data += room;
        remaining -= room;
    }
    const std::size_t blockCount = remaining / 64;
    if (blockCount > 0) {
        processBlocks(state, data, blockCount);
        data += blockCount * 64;
        remaining -= blockCount * 64;
    }
    if (remaining > 0)
        std::memcpy(buffer, data, remaining);
}

Md5Coverage Md5Context::updateFromStream(std::ifstream &stream, RawBytesSink *rawBytes)
{
    Md5Coverage coverage;
    if (stream.fail())
        return coverage;

    // One byte in front of the read area holds a CR carried over from the previous read, so a CR LF
    // pair split by the read boundary is judged like any other.
    unsigned char chunk[1 + readSize];
    unsigned char *const readArea = chunk + 1;
    bool carriedReturn = false;
    bool moreToRead = !stream.eof();
    while (moreToRead) {
        stream.read(reinterpret_cast<char *>(readArea), static_cast<std::streamsize>(readSize));
        std::size_t length = static_cast<std::size_t>(stream.gcount());
        moreToRead = length == readSize;
        coverage.bytesRead += length;
        // Before the text-mode rules change the bytes in place.
        if (rawBytes && length > 0)
            rawBytes->consumeRaw(readArea, length);

        const void *mark = std::memchr(readArea, endOfFileMark, length);
        if (mark) {
            length = static_cast<std::size_t>(static_cast<const unsigned char *>(mark) - readArea);
            moreToRead = false;
            coverage.endedAtMark = true;
        }
        coverage.coveredBytes += length;

        unsigned char *start = readArea;
        if (carriedReturn) {
            start = chunk;
            *start = carriageReturn;
            ++length;
        }
        length = applyTextRules(start, length, !moreToRead, &carriedReturn);
        update(start, static_cast<unsigned int>(length));
    }
    if (rawBytes && coverage.endedAtMark)
        readRestRaw(stream, *rawBytes, coverage);
    coverage.readFailed = stream.bad();
    // ifstream::close() sets failbit itself when the file does not close cleanly.
    stream.close();
    return coverage;
}

std::string Md5Context::hexDigest()
{
    if (!finished) {
        // Padding is applied to a copy: the running state stays as it was, so hashing may go on.
        Md5Context closing = *this;
        unsigned char lengthBytes[8];
        storeLittleEndian(lengthBytes, bitCount[0]);
        storeLittleEndian(lengthBytes + 4, bitCount[1]);

        static const unsigned char padding[64] = {0x80};
        const std::size_t used = (bitCount[0] >> 3) & 63;
        const std::size_t padLength = used < 56 ? 56 - used : 120 - used;
        closing.update(padding, static_cast<unsigned int>(padLength));
        closing.update(lengthBytes, 8);

        for (int i = 0; i < 4; ++i)
            storeLittleEndian(digest + 4 * i, closing.state[i]);
        finished = true;
    }
    return bytesToHex(digest, sizeof digest);
}

std::string bytesToHex(const unsigned char *bytes, std::size_t length)
{
    static const char hexDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * length);
    for (std::size_t i = 0; i < length; ++i) {
        text.push_back(hexDigits[bytes[i] >> 4]);
        text.push_back(hexDigits[bytes[i] & 0x0f]);
    }
    return text;
}

std::string md5OfFile(const std::string &utf8Path)
{
    Md5Context context;
    std::ifstream stream;
    openInputFile(stream, utf8Path);
    context.updateFromStream(stream);
    return context.hexDigest();
}
