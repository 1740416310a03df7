#ifndef CORVANTILE_TOOLS_PUBLISHER_H
#define CORVANTILE_TOOLS_PUBLISHER_H

#include <QStringList>

class QTextStream;

// Whether `make` shows how far hashing has got; the program asks for it when standard error is a
// terminal, so that scripts and logs get no carriage-return lines.
enum class PublisherProgress { Quiet, Shown };

// Exit statuses of corvantile-publish.
enum PublisherStatus { PublisherSuccess = 0, PublisherRefused = 1, PublisherUsageError = 2 };

// Runs corvantile-publish with the arguments that follow the program name: "make" writes a
// release's manifest, "verify" checks a published release as installations would. Results go
// to `out`; errors, notes and progress to `err`. Returns a PublisherStatus.
int runPublisher(const QStringList &arguments, QTextStream &out, QTextStream &err,
                 PublisherProgress progress = PublisherProgress::Quiet);

#endif // CORVANTILE_TOOLS_PUBLISHER_H
