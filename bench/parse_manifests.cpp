// The floor for a run that plans nothing: parsing the local and the server's manifest with
// QDomDocument and nothing else. Prints the seconds it took.
#include <QDomDocument>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>

int main(int argc, char **argv)
{
    QElapsedTimer timer;
    timer.start();
    for (int i = 1; i < argc; ++i) {
        QFile file(QString::fromLocal8Bit(argv[i]));
        QDomDocument document;
        if (!file.open(QIODevice::ReadOnly) || !document.setContent(&file)) {
            std::fprintf(stderr, "cannot parse %s\n", argv[i]);
            return 1;
        }
    }
    std::printf("%.3f\n", timer.nsecsElapsed() / 1e9);
    return 0;
}
