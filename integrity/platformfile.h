#ifndef CORVANTILE_INTEGRITY_PLATFORMFILE_H
#define CORVANTILE_INTEGRITY_PLATFORMFILE_H

#include <iosfwd>
#include <string>

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

#endif
