#include "tests/testsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

QString testDataPath(const QString &relative)
{
    return QStringLiteral(CORVANTILE_TEST_DATA_DIR "/") + relative;
}

QByteArray readTestData(const QString &relative)
{
    return readFile(testDataPath(relative));
}

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString md5Of(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

QString sha256Of(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

ManifestSummary summaryOf(const QString &path)
{
    ManifestSummary summary;
    QDomDocument document;
    if (!document.setContent(readFile(path)))
        return summary;
    summary.server = elementText(document, "UpdateServer");
    summary.version = elementText(document, "Version");
    summary.files = readFileTable(document, &summary.digests, &summary.signatures,
                                  &summary.sha256Digests, &summary.sha256Signatures);
    const QDomNodeList names = document.elementsByTagName("Name");
    for (int i = 0; i < names.size(); ++i)
        summary.namesInOrder.append(names.at(i).toElement().text());
    return summary;
}

PublisherOutcome publish(const QStringList &arguments, PublisherProgress progress)
{
    PublisherOutcome outcome;
    QTextStream out(&outcome.out);
    QTextStream err(&outcome.err);
    outcome.status = runPublisher(arguments, out, err, progress);
    out.flush();
    err.flush();
    return outcome;
}
