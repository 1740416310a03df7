// The floor that Qt's network stack sets for an update: the same files fetched one after another
// through one QNetworkAccessManager, their bodies read and dropped. Reads URLs, one per line, from
// standard input and prints the seconds it took.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTextStream>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
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
    std::function<void()> fetchNext = [&] {
        if (next == urls.size()) {
            std::printf("%.3f\n", timer.nsecsElapsed() / 1e9);
            application.exit(failures == 0 ? 0 : 1);
            return;
        }
        QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(urls.at(next++))));
        QObject::connect(reply, &QNetworkReply::readyRead, [reply] { reply->readAll(); });
        QObject::connect(reply, &QNetworkReply::finished, [&, reply] {
            reply->readAll();
            failures += reply->error() != QNetworkReply::NoError;
            reply->deleteLater();
            fetchNext();
        });
    };
    timer.start();
    fetchNext();
    return application.exec();
}
