// Runs the integrity layer's platform code from the command line, so that one source can be built
// for Linux and for Windows and the two builds compared over the same files. Kept to the standard
// library and the Windows API: the cross build has neither Qt nor OpenSSL.
//
//   platform_check platform                   "windows" or "posix"
//   platform_check digest FILE...             "<md5>  <name>" per file, as md5OfFile() sees it
//   platform_check runtime-text-digest FILE...
//                                              Windows: MD5 of what the C runtime's own text-mode
//                                              reading delivers, the behaviour the digest imitates
//   platform_check replace SOURCE TARGET       "ok" or "failed: <reason>"
//   platform_check replace-locked SOURCE TARGET
//                                              Windows: the same while TARGET is held open without
//                                              sharing; elsewhere "skipped"
//   platform_check open-undecodable           opens a name that is not valid UTF-8 and reports
//                                              the stream's state: a failed open, like any other
//   platform_check resources                   Windows: the icon and the manifest linked into this
//                                              executable, as the loader finds them
//   platform_check link-on-the-way PATH       the folder on the way to PATH that is a link or
//                                              junction, or "none"
//   platform_check make-junction LINK TARGET  Windows: makes the folder LINK a junction to TARGET
//                                              ("made", or "unsupported: <reason>"); elsewhere
//                                              "skipped"
//   platform_check sync FILE...               "ok" or "failed: <reason>" after syncFiles()
//
// Exit status: 0 when the operation did what was asked, 1 when it failed, 2 for a usage error.

#include "integrity/md5context.h"
#include "integrity/platformfile.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winioctl.h>

#include <fcntl.h>
#include <io.h>
#endif

namespace {

enum ExitStatus { succeeded = 0, failed = 1, usageError = 2 };

void printLine(const std::string &line)
{
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
}

#ifdef _WIN32

std::string toUtf8(const wchar_t *wide)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return std::string();
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, &utf8[0], size, nullptr, nullptr);
    utf8.resize(static_cast<std::size_t>(size - 1));
    return utf8;
}

std::wstring toWide(const std::string &utf8)
{
    const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    if (size <= 1)
        return std::wstring();
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &wide[0], size);
    wide.resize(static_cast<std::size_t>(size - 1));
    return wide;
}

std::string errorCodeText(DWORD code)
{
    return "error " + std::to_string(code);
}

// The reference the digest's text-mode rules are judged against: the runtime reads the file in
// text mode and the bytes it delivers are hashed as they are. A file that does not open hashes as
// empty input, as md5OfFile() does.
int runtimeTextDigest(const std::vector<std::string> &names)
{
    for (const std::string &name : names) {
        Md5Context context;
        if (FILE *file = _wfopen(toWide(name).c_str(), L"rt")) {
            unsigned char chunk[4096];
            std::size_t length;
            while ((length = std::fread(chunk, 1, sizeof chunk, file)) > 0)
                context.update(chunk, static_cast<unsigned int>(length));
            std::fclose(file);
        }
        printLine(context.hexDigest() + "  " + name);
    }
    return succeeded;
}

int replaceLocked(const std::string &source, const std::string &target)
{
    const std::wstring wideTarget = toWide(target);
    HANDLE held = CreateFileW(wideTarget.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        printLine("failed to open the target without sharing: " + errorCodeText(GetLastError()));
        return usageError;
    }
    // A second open must be refused, or the handle does not hold the file the way an installed
    // program that is still running holds its own files.
    HANDLE second = CreateFileW(wideTarget.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (second != INVALID_HANDLE_VALUE) {
        CloseHandle(second);
        CloseHandle(held);
        printLine("failed to hold the target: a second open succeeded");
        return usageError;
    }
    printLine("held: " + errorCodeText(GetLastError()) + " on a second open");

    std::string error;
    const bool replaced = replaceFile(source, target, &error);
    CloseHandle(held);
    printLine(replaced ? "ok" : "failed: " + error);
    return replaced ? succeeded : failed;
}

// The windowing layer loads the icon group by the name IDI_ICON1 and the loader reads the
// manifest from resource 1 of type 24; both are looked up here the way they are there.
int checkResources()
{
    int status = succeeded;
    HRSRC group = FindResourceW(nullptr, L"IDI_ICON1", MAKEINTRESOURCEW(14));
    HGLOBAL groupData = group ? LoadResource(nullptr, group) : nullptr;
    const auto *directory =
        groupData ? static_cast<const unsigned char *>(LockResource(groupData)) : nullptr;
    const DWORD groupSize = group ? SizeofResource(nullptr, group) : 0;
    if (!directory || groupSize < 6) {
        printLine("icon group IDI_ICON1: missing");
        status = failed;
    } else {
        // GRPICONDIR: three 16-bit words, then one 14-byte entry per image whose last word is the
        // id of the RT_ICON resource that holds the image.
        const unsigned count = directory[4] | directory[5] << 8;
        unsigned found = 0;
        for (unsigned i = 0; i < count && 6 + 14 * (i + 1) <= groupSize; ++i) {
            const unsigned char *entry = directory + 6 + 14 * i;
            const unsigned id = entry[12] | entry[13] << 8;
            if (FindResourceW(nullptr, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(3)))
                ++found;
        }
        printLine("icon group IDI_ICON1: " + std::to_string(found) + " of " +
                  std::to_string(count) + " images present");
        if (count == 0 || found != count)
            status = failed;
    }

    HRSRC manifest = FindResourceW(nullptr, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    HGLOBAL manifestData = manifest ? LoadResource(nullptr, manifest) : nullptr;
    const char *text =
        manifestData ? static_cast<const char *>(LockResource(manifestData)) : nullptr;
    const std::string manifestText =
        text ? std::string(text, SizeofResource(nullptr, manifest)) : std::string();
    const char level[] = "level=\"requireAdministrator\"";
    if (manifestText.find(level) == std::string::npos) {
        printLine(text ? "manifest 1: no requireAdministrator" : "manifest 1: missing");
        status = failed;
    } else {
        printLine("manifest 1: requireAdministrator");
    }
    return status;
}

// A junction as mklink /J makes one: an empty folder whose mount-point reparse data names the
// target by its NT path.
int makeJunction(const std::string &link, const std::string &target)
{
    wchar_t full[MAX_PATH];
    if (!GetFullPathNameW(toWide(target).c_str(), MAX_PATH, full, nullptr)) {
        printLine("unsupported: full path: " + errorCodeText(GetLastError()));
        return failed;
    }
    const std::wstring printName(full);
    const std::wstring substitute = L"\\??\\" + printName;
    const std::wstring wideLink = toWide(link);
    if (!CreateDirectoryW(wideLink.c_str(), nullptr)) {
        printLine("unsupported: folder: " + errorCodeText(GetLastError()));
        return failed;
    }
    const HANDLE folder =
        CreateFileW(wideLink.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        printLine("unsupported: open: " + errorCodeText(GetLastError()));
        return failed;
    }
    const auto substituteBytes = static_cast<unsigned short>(substitute.size() * sizeof(wchar_t));
    const auto printBytes = static_cast<unsigned short>(printName.size() * sizeof(wchar_t));
    // REPARSE_DATA_BUFFER, MountPointReparseBuffer: tag, data length, reserved, then the
    // substitute and print names' offsets and lengths, then both names, each ended by a null.
    std::vector<unsigned char> data(16 + substituteBytes + 2 + printBytes + 2, 0);
    const auto put16 = [&data](std::size_t offset, unsigned short value) {
        std::memcpy(&data[offset], &value, sizeof value);
    };
    const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
    std::memcpy(&data[0], &tag, sizeof tag);
    put16(4, static_cast<unsigned short>(data.size() - 8));
    put16(10, substituteBytes);
    put16(12, static_cast<unsigned short>(substituteBytes + 2));
    put16(14, printBytes);
    std::memcpy(&data[16], substitute.c_str(), substituteBytes);
    std::memcpy(&data[16 + substituteBytes + 2], printName.c_str(), printBytes);
    DWORD returned = 0;
    const BOOL made =
        DeviceIoControl(folder, FSCTL_SET_REPARSE_POINT, data.data(),
                        static_cast<DWORD>(data.size()), nullptr, 0, &returned, nullptr);
    const DWORD code = GetLastError();
    CloseHandle(folder);
    if (!made) {
        RemoveDirectoryW(wideLink.c_str());
        printLine("unsupported: " + errorCodeText(code));
        return failed;
    }
    printLine("made");
    return succeeded;
}

#else

int makeJunction(const std::string &, const std::string &)
{
    printLine("skipped: no junctions here");
    return succeeded;
}

int runtimeTextDigest(const std::vector<std::string> &)
{
    printLine("skipped: no text mode here");
    return succeeded;
}

int replaceLocked(const std::string &, const std::string &)
{
    printLine("skipped: no mandatory locks here");
    return succeeded;
}

int checkResources()
{
    printLine("skipped: no executable resources here");
    return succeeded;
}

#endif

int digest(const std::vector<std::string> &names)
{
    for (const std::string &name : names)
        printLine(md5OfFile(name) + "  " + name);
    return succeeded;
}

// A name that no UTF-8 decoder accepts must fail the way a missing file does, with the stream's
// failbit set, because Md5Context::updateFromStream() tells a failed open by that bit alone.
int openUndecodable()
{
    std::ifstream stream;
    const bool opened = openInputFile(stream, std::string("\xff\xfe-undecodable.bin"));
    if (opened) {
        printLine("opened");
        return failed;
    }
    printLine(stream.fail() ? "not opened, failbit set" : "not opened, failbit clear");
    return stream.fail() ? succeeded : failed;
}

int replace(const std::string &source, const std::string &target)
{
    std::string error;
    if (!replaceFile(source, target, &error)) {
        printLine("failed: " + (error.empty() ? std::string("no reason given") : error));
        return failed;
    }
    printLine("ok");
    return succeeded;
}

int linkOnTheWayOf(const std::string &path)
{
    const std::optional<std::string> link = linkOnTheWay(path);
    printLine(link ? *link : "none");
    return succeeded;
}

int sync(const std::vector<std::string> &names)
{
    std::string error;
    if (!syncFiles(names, &error)) {
        printLine("failed: " + (error.empty() ? std::string("no reason given") : error));
        return failed;
    }
    printLine("ok");
    return succeeded;
}

int run(const std::vector<std::string> &arguments)
{
    if (arguments.empty())
        return usageError;
    const std::string &command = arguments[0];
    const std::vector<std::string> operands(arguments.begin() + 1, arguments.end());
    if (command == "platform" && operands.empty()) {
#ifdef _WIN32
        printLine("windows");
#else
        printLine("posix");
#endif
        return succeeded;
    }
    if (command == "digest" && !operands.empty())
        return digest(operands);
    if (command == "runtime-text-digest" && !operands.empty())
        return runtimeTextDigest(operands);
    if (command == "replace" && operands.size() == 2)
        return replace(operands[0], operands[1]);
    if (command == "replace-locked" && operands.size() == 2)
        return replaceLocked(operands[0], operands[1]);
    if (command == "open-undecodable" && operands.empty())
        return openUndecodable();
    if (command == "resources" && operands.empty())
        return checkResources();
    if (command == "link-on-the-way" && operands.size() == 1)
        return linkOnTheWayOf(operands[0]);
    if (command == "make-junction" && operands.size() == 2)
        return makeJunction(operands[0], operands[1]);
    if (command == "sync" && !operands.empty())
        return sync(operands);
    std::fprintf(stderr, "usage: platform_check platform | digest FILE... | "
                         "runtime-text-digest FILE... | replace SOURCE TARGET | "
                         "replace-locked SOURCE TARGET | open-undecodable | resources | "
                         "link-on-the-way PATH | make-junction LINK TARGET | sync FILE...\n");
    return usageError;
}

} // namespace

#ifdef _WIN32
// The wide entry point: narrow arguments would arrive in the ANSI code page, and a file named
// outside it would reach the program as question marks.
int wmain(int argc, wchar_t **argv)
{
    // The lines are compared byte for byte with the Linux build's, so no CR may be added.
    _setmode(_fileno(stdout), _O_BINARY);
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.push_back(toUtf8(argv[i]));
    const int status = run(arguments);
    std::fflush(stdout);
    return status;
}
#else
int main(int argc, char **argv)
{
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const int status = run(arguments);
    std::fflush(stdout);
    return status;
}
#endif
