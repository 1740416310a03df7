#ifndef CORVANTILE_TOOLS_PUBLISHERCOMMANDS_H
#define CORVANTILE_TOOLS_PUBLISHERCOMMANDS_H

#include "tools/publisher.h"

#include <QDir>
#include <QMap>
#include <QString>
#include <QTextStream>
#include <QUrl>

// The two commands of corvantile-publish, with their options already parsed (name without "--"
// to value), and what they share in how they report.

int runMake(const QMap<QString, QString> &options, QTextStream &out, QTextStream &err,
            PublisherProgress progress);
int runVerify(const QMap<QString, QString> &options, QTextStream &out, QTextStream &err);
// verify --url: the release as its server answers, with the folder in --release when given.
int runVerifyLive(const QMap<QString, QString> &options, QTextStream &out, QTextStream &err,
                  PublisherProgress progress);

inline const QString publisherName = QStringLiteral("corvantile-publish");

inline QString quoted(const QString &text)
{
    return "\"" + text + "\"";
}

inline QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

inline QString shownInRelease(const QString &releaseDir, const QString &name)
{
    return shown(QDir(releaseDir).filePath(name));
}

// Every refusal names what it is about (a file, an option) and the reason.
inline int refuse(QTextStream &err, const QString &subject, const QString &reason)
{
    err << publisherName << ": " << subject << ": " << reason << "\n";
    return PublisherRefused;
}

// A warning does not stop the command; it names the file by its name in the manifest.
inline void warn(QTextStream &err, const QString &name, const QString &text)
{
    err << publisherName << ": warning: " << name << ": " << text << "\n";
}

// Plain HTTP is not refused (loopback and intranet servers exist), but the publisher must know
// what it leaves open: the manifest is not signed, and files without a digest, or with bytes the
// digest does not cover, are taken as they come.
inline void warnOfPlainHttp(QTextStream &err, const QString &subject, const QString &url)
{
    if (QUrl(url).scheme() == QLatin1String("http"))
        warn(err, subject,
             "installations will fetch the release over plain HTTP, where anyone on the way can "
             "change the manifest and what the digests do not cover; serve it over https://");
}

#endif // CORVANTILE_TOOLS_PUBLISHERCOMMANDS_H
