// The floor that Qt's network stack sets for an update: the same files fetched one after another
// through one QNetworkAccessManager. Reads URLs, one per line, from standard input and prints the
// seconds it took. With a folder as its argument, each body is written there under the URL's
// path, as the updater writes its staging files; without, the bodies are read and dropped.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTextStream>

#include <cstdio>
#include <memory>

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const QString outputFolder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    QStringList urls;
    QTextStream input(stdin);
    while (!input.atEnd()) {
        const QString line = input.readLine().trimmed();
        if (!line.isEmpty())
            urls.append(line);
    }

    QNetworkAccessManager manager;
    QElapsedTimer timer;
    int next = 0;
    int failures = 0;
    std::unique_ptr<QFile> output;
    QString lastFolder;
    std::function<void()> fetchNext = [&] {
        if (next == urls.size()) {
            std::printf("%.3f\n", timer.nsecsElapsed() / 1e9);
            application.exit(failures == 0 ? 0 : 1);
            return;
        }
        const QUrl url(urls.at(next++));
        if (!outputFolder.isEmpty()) {
            const QString path = outputFolder + url.path();
            const QString folder = path.left(path.lastIndexOf('/'));
            if (folder != lastFolder && QDir().mkpath(folder))
                lastFolder = folder;
            output = std::make_unique<QFile>(path);
            if (!output->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
                std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
                application.exit(1);
                return;
            }
        }
        QNetworkReply *reply = manager.get(QNetworkRequest(url));
        QObject::connect(reply, &QNetworkReply::readyRead, [&, reply] {
            const QByteArray data = reply->readAll();
            if (output)
                output->write(data);
        });
        QObject::connect(reply, &QNetworkReply::finished, [&, reply] {
            const QByteArray data = reply->readAll();
            if (output) {
                output->write(data);
                output.reset();
            }
            failures += reply->error() != QNetworkReply::NoError;
            reply->deleteLater();
            fetchNext();
        });
    };
    timer.start();
    fetchNext();
    return application.exec();
}
