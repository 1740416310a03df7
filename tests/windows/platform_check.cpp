// Run under Wine by check-under-wine.sh: the digest of every .bin file here, found by its wide
// name, then what the replace step, the sync and the resource lookups do in the Windows build.
#include "integrity/md5context.h"
#include "integrity/platformfile.h"

#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

int main()
{
    std::set<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator("."))
        if (entry.path().extension() == ".bin")
            names.insert(entry.path().filename().u8string());
    for (const std::string &name : names)
        std::printf("%s %s\n", md5OfFile(name).c_str(), name.c_str());
    // CR LF and 0x1A in the content would show a replace that translated anything.
    const std::string target = u8"更新-файл.dll", content = "new\r\n\x1a\r";
    std::ofstream(std::filesystem::u8path(target), std::ios::binary) << "old";
    std::ofstream(std::filesystem::u8path(target + ".update"), std::ios::binary) << content;
    const bool replaced = replaceFile(target + ".update", target);
    std::ifstream installed(std::filesystem::u8path(target), std::ios::binary);
    // Found as the windowing layer finds the icon, and the loader the manifest: 1 of type 24.
    std::printf("replaced %d, synced %d, icon %d, manifest %d\n",
                replaced && std::string(std::istreambuf_iterator<char>(installed), {}) == content,
                syncFiles({target}) && !syncFiles({"missing.dll"}),
                FindResourceW(nullptr, L"IDI_ICON1", MAKEINTRESOURCEW(14)) != nullptr,
                FindResourceW(nullptr, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)) != nullptr);
}
