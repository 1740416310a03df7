// Reading the file table of a large manifest: the table must cost little beyond the XML parse.
#include "release/manifest.h"

#include <QDomDocument>
#include <QString>

#include <benchmark/benchmark.h>

namespace {

QByteArray generatedManifest(int entries)
{
    QString xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Update>\n"
                  "    <UpdateServer>http://127.0.0.1:8080</UpdateServer>\n"
                  "    <Version>2.0.0</Version>\n    <Files>\n";
    for (int i = 0; i < entries; ++i) {
        xml += QString("        <File><Name>bin/module%1.dll</Name><Version>1.0.%2</Version>"
                       "<MD5>%3</MD5><Signature>%4</Signature></File>\n")
                   .arg(i)
                   .arg(i % 7)
                   .arg(QString(32, 'a'))
                   .arg(QString(344, 'B'));
    }
    xml += "    </Files>\n</Update>\n";
    return xml.toUtf8();
}

const QByteArray &manifest()
{
    static const QByteArray bytes = generatedManifest(100000);
    return bytes;
}

void parseOnly(benchmark::State &state)
{
    for (auto _ : state) {
        QDomDocument document;
        benchmark::DoNotOptimize(document.setContent(manifest()));
    }
}

void parseAndReadTable(benchmark::State &state)
{
    for (auto _ : state) {
        QDomDocument document;
        document.setContent(manifest());
        QMap<QString, QString> digests;
        QMap<QString, QString> signatures;
        benchmark::DoNotOptimize(readFileTable(document, &digests, &signatures));
    }
}

void readTableOnly(benchmark::State &state)
{
    QDomDocument document;
    document.setContent(manifest());
    for (auto _ : state) {
        QMap<QString, QString> digests;
        QMap<QString, QString> signatures;
        benchmark::DoNotOptimize(readFileTable(document, &digests, &signatures));
    }
}

} // namespace

BENCHMARK(parseOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(parseAndReadTable)->Unit(benchmark::kMillisecond);
BENCHMARK(readTableOnly)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
