#ifndef CORVANTILE_INTEGRITY_PLATFORMFILE_H
#define CORVANTILE_INTEGRITY_PLATFORMFILE_H

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

// Paths cross this layer as UTF-8 so that a file is always found by its real name, whatever the
// system's narrow code page would make of it.

// Opens the file for reading in binary mode: the digest applies the text-mode rules itself, and a
// runtime that translated as well would turn CR CR LF into a single LF. On failure the stream is
// left failed and `error`, when given, receives the system's reason.
bool openInputFile(std::ifstream &stream, const std::string &utf8Path,
                   std::string *error = nullptr);

// Puts the source in the target's place in one step, so that the target holds either its old or
// its new content at every moment. On failure the target is untouched and, when `error` is given,
// it receives a readable reason.
bool replaceFile(const std::string &utf8Source, const std::string &utf8Target,
                 std::string *error = nullptr);

// True when both names exist and are one file, as two spellings are on a file system that
// ignores case.
bool isSameFile(const std::string &utf8First, const std::string &utf8Second);

// True when the name is a symbolic link or, on Windows, a junction (a mount point): a folder of
// that kind can lead anywhere on the machine, and every write through it lands there. The link
// itself is looked at, never what it points to.
bool isLink(const std::string &utf8Path);

// The first folder on the way to a relative path that is a link or junction, as the part of the
// path up to and including it; nothing when every folder on the way is a real one. The last
// component, the file itself, is not looked at: replacing or removing a link acts on the link.
std::optional<std::string> linkOnTheWay(const std::string &utf8RelativePath);

// Makes the content and the names of the given files durable, so that a power cut after this
// returns cannot leave a file empty or missing. One flush per file system (per volume on
// Windows) where the system allows it, rather than one per file; `error` receives the reason of a
// failure.
bool syncFiles(const std::vector<std::string> &utf8Paths, std::string *error = nullptr);

#endif
