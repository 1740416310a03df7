#include "integrity/platformfile.h"

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
