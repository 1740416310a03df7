// The Windows build of the integrity layer's platform code, run under Wine by check-under-wine.sh.
// It prints "<md5>  <name>" for every file named on the command line, for the script to hold
// against its own reference, and then "FAIL: ..." for every check here that fails: the replace
// step, links, sync and the resources linked into this executable, which only the Windows
// runtime can get wrong. Built with the cross compiler alone: no Qt, no OpenSSL.
#include "integrity/md5context.h"
#include "integrity/platformfile.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

int failures = 0;

void expect(bool condition, const std::string &what)
{
    if (!condition) {
        ++failures;
        std::printf("FAIL: %s\n", what.c_str());
    }
}

std::string contentOf(const std::string &utf8Path)
{
    std::ifstream stream;
    openInputFile(stream, utf8Path);
    return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

void write(const std::string &utf8Path, const std::string &content)
{
    std::ofstream(std::filesystem::u8path(utf8Path), std::ios::binary) << content;
}

// Line breaks and an end mark, so that a replace that translated anything would show.
const std::string oldContent = "old\r\ncontent\x1a kept after a failure\r\n";
const std::string newContent = "new\r\ncontent\x1a installed in one step\r\n\r";

void checkReplace()
{
    const std::string target = u8"更新-файл.dll";
    const std::string source = target + ".update";
    write(target, oldContent);
    write(source, newContent);
    std::string error;
    expect(replaceFile(source, target, &error), "replace over an existing file: " + error);
    expect(contentOf(target) == newContent && contentOf(source).empty(),
           "replace leaves exactly the new content");

    // An installed program that still runs holds its file without sharing: the replace must fail
    // and leave both files as they were.
    write(target, oldContent);
    write(source, newContent);
    const HANDLE held = CreateFileW(std::filesystem::u8path(target).c_str(), GENERIC_READ, 0,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    expect(held != INVALID_HANDLE_VALUE, "the target is held");
    error.clear();
    expect(!replaceFile(source, target, &error) && !error.empty(),
           "replace of a held file fails with a reason");
    CloseHandle(held);
    expect(contentOf(target) == oldContent && contentOf(source) == newContent,
           "a failed replace leaves both files");

    std::ifstream stream;
    expect(!openInputFile(stream, "\xff\xfe-undecodable.bin") && stream.fail(),
           "a name that is not UTF-8 fails to open like a missing file");
}

void checkLinksAndSync()
{
    CreateDirectoryW(L"real", nullptr);
    CreateDirectoryW(L"elsewhere", nullptr);
    expect(!linkOnTheWay("real\\x.dll"), "a real folder is no link");
    // Wine shows a link it made as the folder it points to; only one it marks as a reparse point,
    // as Windows does, can be looked for.
    const DWORD attributes =
        CreateSymbolicLinkW(L"plugins", L"elsewhere", SYMBOLIC_LINK_FLAG_DIRECTORY | 0x2)
            ? GetFileAttributesW(L"plugins")
            : INVALID_FILE_ATTRIBUTES;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        expect(linkOnTheWay("plugins\\x.dll") == std::string("plugins"),
               "a folder that is a link is found on the way");
    else
        std::fprintf(stderr, "note: Wine shows no folder link here; links are not checked\n");

    std::string error;
    expect(syncFiles({u8"更新-файл.dll", "real\\..\\更新-файл.dll.update"}, &error),
           "syncing installed files: " + error);
    expect(!syncFiles({"missing.dll"}, &error), "syncing a missing file fails");
}

// The windowing layer loads the icon group by the name IDI_ICON1 and the loader reads the
// manifest from resource 1 of type 24; both are looked up here the way they are there.
void checkResources()
{
    expect(FindResourceW(nullptr, L"IDI_ICON1", MAKEINTRESOURCEW(14)) != nullptr,
           "the icon group IDI_ICON1 is linked in");

    const HRSRC manifest = FindResourceW(nullptr, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    const char *text =
        manifest ? static_cast<const char *>(LockResource(LoadResource(nullptr, manifest)))
                 : nullptr;
    expect(text && std::string(text, SizeofResource(nullptr, manifest))
                           .find("level=\"requireAdministrator\"") != std::string::npos,
           "the manifest asking for administrator rights is linked in");
}

} // namespace

// The wide entry point: narrow arguments would arrive in the ANSI code page, and a file named
// outside it would reach the program as question marks.
int wmain(int argc, wchar_t **argv)
{
    // The lines are compared byte for byte with the script's, so no CR may be added.
    _setmode(_fileno(stdout), _O_BINARY);
    for (int i = 1; i < argc; ++i) {
        const std::string name = std::filesystem::path(argv[i]).u8string();
        std::printf("%s  %s\n", md5OfFile(name).c_str(), name.c_str());
    }
    CreateDirectoryW(L"checks", nullptr);
    SetCurrentDirectoryW(L"checks");
    checkReplace();
    checkLinksAndSync();
    checkResources();
    return failures == 0 ? 0 : 1;
}
