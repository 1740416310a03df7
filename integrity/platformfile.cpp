#include "integrity/platformfile.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#include <cerrno>
#include <cstring>

namespace {

#ifdef _WIN32

// Converts strictly: a path that is not valid UTF-8 must fail rather than name another file.
bool widen(const std::string &utf8, std::wstring *wide)
{
    wide->clear();
    if (utf8.empty())
        return true;
    const int size = static_cast<int>(utf8.size());
    const int wideSize =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
    if (wideSize <= 0)
        return false;
    wide->resize(static_cast<std::size_t>(wideSize));
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, &(*wide)[0],
                               wideSize) == wideSize;
}

std::string narrow(const wchar_t *wide)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return std::string();
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, &utf8[0], size, nullptr, nullptr);
    utf8.resize(static_cast<std::size_t>(size - 1));
    return utf8;
}

std::string systemErrorText(DWORD code)
{
    wchar_t *message = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t *>(&message), 0, nullptr);
    std::string text;
    if (length > 0 && message)
        text = narrow(message);
    if (message)
        LocalFree(message);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    if (text.empty())
        text = "system error " + std::to_string(code);
    return text;
}

#endif

void setError(std::string *error, const std::string &text)
{
    if (error)
        *error = text;
}

} // namespace

bool openInputFile(std::ifstream &stream, const std::string &utf8Path, std::string *error)
{
    const std::ios::openmode mode = std::ios::in | std::ios::binary;
#ifdef _WIN32
    std::wstring widePath;
    if (!widen(utf8Path, &widePath)) {
        // Marked like any failed open: updateFromStream() tells one by the failbit alone.
        stream.setstate(std::ios::failbit);
        setError(error, "path is not valid UTF-8");
        return false;
    }
    errno = 0;
    stream.open(std::filesystem::path(widePath), mode);
#else
    errno = 0;
    stream.open(utf8Path, mode);
#endif
    if (stream.is_open())
        return true;
    // The runtimes open through fopen, which leaves its reason in errno.
    setError(error, errno != 0 ? std::strerror(errno) : "it could not be opened");
    return false;
}

bool replaceFile(const std::string &utf8Source, const std::string &utf8Target, std::string *error)
{
#ifdef _WIN32
    std::wstring wideSource;
    std::wstring wideTarget;
    if (!widen(utf8Source, &wideSource) || !widen(utf8Target, &wideTarget)) {
        setError(error, "path is not valid UTF-8");
        return false;
    }
    if (!MoveFileExW(wideSource.c_str(), wideTarget.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        setError(error, systemErrorText(GetLastError()));
        return false;
    }
#else
    if (std::rename(utf8Source.c_str(), utf8Target.c_str()) != 0) {
        setError(error, std::strerror(errno));
        return false;
    }
#endif
    return true;
}

bool isSameFile(const std::string &utf8First, const std::string &utf8Second)
{
    std::error_code error;
#ifdef _WIN32
    std::wstring first;
    std::wstring second;
    if (!widen(utf8First, &first) || !widen(utf8Second, &second))
        return false;
    const bool same = std::filesystem::equivalent(first, second, error);
#else
    const bool same = std::filesystem::equivalent(utf8First, utf8Second, error);
#endif
    return !error && same;
}

bool isLink(const std::string &utf8Path)
{
#ifdef _WIN32
    std::wstring wide;
    if (!widen(utf8Path, &wide))
        return false;
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    // Only the directory entry carries the reparse tag; any tag that names another place (a
    // symbolic link, a junction, and whatever else marks itself as a name surrogate) counts.
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileW(wide.c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE)
        return true;
    FindClose(find);
    return entry.dwReserved0 == IO_REPARSE_TAG_SYMLINK ||
           entry.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT || (entry.dwReserved0 & 0x20000000) != 0;
#else
    struct stat status;
    return ::lstat(utf8Path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
#endif
}

std::optional<std::string> linkOnTheWay(const std::string &utf8RelativePath)
{
#ifdef _WIN32
    const std::string separators = "/\\";
#else
    const std::string separators = "/";
#endif
    for (std::size_t end = utf8RelativePath.find_first_of(separators); end != std::string::npos;
         end = utf8RelativePath.find_first_of(separators, end + 1)) {
        const std::string folder = utf8RelativePath.substr(0, end);
        if (!folder.empty() && isLink(folder))
            return folder;
    }
    return std::nullopt;
}

bool syncFiles(const std::vector<std::string> &utf8Paths, std::string *error)
{
#ifdef _WIN32
    // Flushing a volume needs administrator rights, which the updater has; where it is refused
    // (or under Wine) each file on that volume is flushed on its own.
    std::vector<std::wstring> flushedVolumes;
    std::vector<std::wstring> fileByFileVolumes;
    for (const std::string &utf8Path : utf8Paths) {
        std::wstring wide;
        if (!widen(utf8Path, &wide)) {
            setError(error, "path is not valid UTF-8");
            return false;
        }
        wchar_t volumeBuffer[MAX_PATH + 1];
        if (!GetVolumePathNameW(wide.c_str(), volumeBuffer, MAX_PATH + 1)) {
            setError(error, utf8Path + ": " + systemErrorText(GetLastError()));
            return false;
        }
        const std::wstring volume(volumeBuffer);
        if (std::find(flushedVolumes.begin(), flushedVolumes.end(), volume) != flushedVolumes.end())
            continue;
        const bool fileByFile = std::find(fileByFileVolumes.begin(), fileByFileVolumes.end(),
                                          volume) != fileByFileVolumes.end();
        if (!fileByFile && volume.size() == 3 && volume[1] == L':') {
            const std::wstring device = L"\\\\.\\" + volume.substr(0, 2);
            const HANDLE handle =
                CreateFileW(device.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
            if (handle != INVALID_HANDLE_VALUE) {
                const bool flushed = FlushFileBuffers(handle);
                CloseHandle(handle);
                if (flushed) {
                    flushedVolumes.push_back(volume);
                    continue;
                }
            }
        }
        if (!fileByFile)
            fileByFileVolumes.push_back(volume);
        const HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            setError(error, utf8Path + ": " + systemErrorText(GetLastError()));
            return false;
        }
        const bool flushed = FlushFileBuffers(file);
        const DWORD code = GetLastError();
        CloseHandle(file);
        if (!flushed) {
            setError(error, utf8Path + ": " + systemErrorText(code));
            return false;
        }
    }
    return true;
#elif defined(__linux__)
    // syncfs writes out one whole file system, names included, at the cost of a single fsync:
    // many small files would otherwise cost one journal commit each.
    std::vector<dev_t> synced;
    for (const std::string &utf8Path : utf8Paths) {
        struct stat status;
        if (::stat(utf8Path.c_str(), &status) != 0) {
            setError(error, utf8Path + ": " + std::strerror(errno));
            return false;
        }
        if (std::find(synced.begin(), synced.end(), status.st_dev) != synced.end())
            continue;
        const int descriptor = ::open(utf8Path.c_str(), O_RDONLY | O_CLOEXEC);
        if (descriptor < 0 || ::syncfs(descriptor) != 0) {
            const int code = errno;
            if (descriptor >= 0)
                ::close(descriptor);
            setError(error, utf8Path + ": " + std::strerror(code));
            return false;
        }
        ::close(descriptor);
        synced.push_back(status.st_dev);
    }
    return true;
#else
    (void)error;
    if (!utf8Paths.empty())
        ::sync();
    return true;
#endif
}
