// Throughput of the file digest as the verifier runs it: open, read through the text-mode rules,
// hash. Wall-clock time, so that the figures compare with a command timed from outside. The files
// are written once per run into CORVANTILE_BENCH_DIR when that is set (so that bench/md5-vs-openssl
// can time another tool on the very same bytes), otherwise into a temporary directory that is
// removed at exit.

#include "integrity/md5context.h"
#include "integrity/platformfile.h"
#include "integrity/sha256context.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>
#include <vector>

namespace {

constexpr std::size_t fileSize = std::size_t(256) << 20;

class BenchFiles
{
public:
    BenchFiles()
    {
        std::error_code error;
        if (const char *given = std::getenv("CORVANTILE_BENCH_DIR")) {
            directory = given;
        } else {
            directory = std::filesystem::temp_directory_path(error) /
                        ("corvantile-bench-md5-" + std::to_string(std::random_device{}()));
            removeAtExit = true;
        }
        std::filesystem::create_directories(directory, error);
    }

    ~BenchFiles()
    {
        if (removeAtExit) {
            std::error_code error;
            std::filesystem::remove_all(directory, error);
        }
    }

    BenchFiles(const BenchFiles &) = delete;
    BenchFiles &operator=(const BenchFiles &) = delete;

    // Random bytes with no CR and no 0x1A: the rules find nothing to do, as with most binaries.
    std::string binaryFile() { return ensure("random.bin", &fillRandom); }
    // Lines of about 60 characters ending in CR LF: a CR to drop every line.
    std::string textFile() { return ensure("crlf.txt", &fillText); }

private:
    std::string ensure(const char *name, void (*fill)(std::vector<char> *))
    {
        const std::filesystem::path path = directory / name;
        std::error_code error;
        if (std::filesystem::file_size(path, error) != fileSize || error) {
            std::vector<char> content(fileSize);
            fill(&content);
            std::ofstream out(path, std::ios::out | std::ios::binary | std::ios::trunc);
            out.write(content.data(), static_cast<std::streamsize>(content.size()));
        }
        return path.u8string();
    }

    static void fillRandom(std::vector<char> *content)
    {
        std::mt19937_64 generator(20240601);
        for (std::size_t i = 0; i < content->size(); i += 8) {
            std::uint64_t word = generator();
            for (std::size_t j = 0; j < 8 && i + j < content->size(); ++j, word >>= 8) {
                unsigned char byte = static_cast<unsigned char>(word);
                if (byte == 0x0d || byte == 0x1a)
                    byte ^= 0x40;
                (*content)[i + j] = static_cast<char>(byte);
            }
        }
    }

    static void fillText(std::vector<char> *content)
    {
        static const char words[] = "the update manifest lists each file with its version, digest "
                                    "and signature; staging files wait for their checks ";
        constexpr std::size_t wordsLength = sizeof words - 1;
        std::mt19937 generator(42);
        std::size_t i = 0;
        while (i < content->size()) {
            const std::size_t lineLength = 58 + generator() % 5;
            const std::size_t start = generator() % wordsLength;
            for (std::size_t column = 0; column < lineLength && i < content->size(); ++column)
                (*content)[i++] = words[(start + column) % wordsLength];
            if (i < content->size())
                (*content)[i++] = '\r';
            if (i < content->size())
                (*content)[i++] = '\n';
        }
    }

    std::filesystem::path directory;
    bool removeAtExit = false;
};

BenchFiles &benchFiles()
{
    static BenchFiles files;
    return files;
}

void hashFile(benchmark::State &state, const std::string &path)
{
    for (auto _ : state) {
        Md5Context context;
        std::ifstream stream;
        if (!openInputFile(stream, path)) {
            state.SkipWithError("cannot open the benchmark file");
            break;
        }
        context.updateFromStream(stream);
        std::string digest = context.hexDigest();
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(fileSize));
}

void BM_Md5FileBinary(benchmark::State &state)
{
    hashFile(state, benchFiles().binaryFile());
}

void BM_Md5FileCrLfText(benchmark::State &state)
{
    hashFile(state, benchFiles().textFile());
}

// What the verifier reads for an entry with SHA256: both digests from one read, against each
// alone.
void BM_Md5AndSha256FileBinary(benchmark::State &state)
{
    const std::string path = benchFiles().binaryFile();
    for (auto _ : state) {
        FileDigestTexts digests = md5AndSha256OfFile(path);
        benchmark::DoNotOptimize(digests);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(fileSize));
}

void BM_Sha256FileBinary(benchmark::State &state)
{
    const std::string path = benchFiles().binaryFile();
    for (auto _ : state) {
        std::string digest = sha256OfFile(path);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(fileSize));
}

} // namespace

BENCHMARK(BM_Md5FileBinary)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_Md5FileCrLfText)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_Md5AndSha256FileBinary)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_Sha256FileBinary)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

BENCHMARK_MAIN();
