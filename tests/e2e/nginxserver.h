#ifndef CORVANTILE_E2E_NGINXSERVER_H
#define CORVANTILE_E2E_NGINXSERVER_H

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// nginx as a publisher would run it, serving one release folder below basePath on a free loopback
// port, with its own configuration (scripts/nginx-config), logs and temporary folders, in the
// foreground as a child of the test.
class NginxServer
{
public:
    static inline const QString basePath = QStringLiteral("/corvantile");

    ~NginxServer();

    static QString executable();

    // `options` go to scripts/nginx-config as they stand ("--tls", "--directive", ...). Between
    // picking a free port and nginx binding it, another process may take the port; nginx then
    // gives up, and another port is tried.
    bool start(const QString &releaseDir, const QStringList &options = {});
    void stop();

    quint16 listeningPort() const { return port; }
    // The address of the release: scheme, host, port and basePath.
    QString url(const QString &scheme = QStringLiteral("http")) const;
    QStringList requests() const;
    QString errorLog() const;

private:
    bool startOn(quint16 candidate, const QString &releaseDir, const QStringList &options);
    bool running() const { return process.state() == QProcess::Running; }
    bool ready() const;

    QTemporaryDir prefix;
    QProcess process;
    quint16 port = 0;
};

#endif // CORVANTILE_E2E_NGINXSERVER_H
