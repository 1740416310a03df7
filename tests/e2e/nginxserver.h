#ifndef CORVANTILE_E2E_NGINXSERVER_H
#define CORVANTILE_E2E_NGINXSERVER_H

#include "tests/testsupport.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

// nginx as a publisher runs it (scripts/nginx-config, `options` such as "--tls" or "--directive"
// passed on), serving one release folder below basePath on a free loopback port, in the
// foreground as a child of the test, with its logs in a folder of its own.
class NginxServer
{
public:
    static inline const QString basePath = QStringLiteral("/corvantile");
    ~NginxServer() { stop(); }
    static QString executable()
    {
        return QStandardPaths::findExecutable("nginx", qEnvironmentVariable("PATH").split(':')
                                                           << "/usr/sbin");
    }
    QString url(const QString &scheme) const
    {
        return QString("%1://127.0.0.1:%2%3").arg(scheme).arg(port).arg(basePath);
    }
    QString log(const QString &name = "error.log") const
    {
        return QString::fromUtf8(readFile(prefix.filePath(name)));
    }
    QStringList requests() const { return log("access.log").split('\n', Qt::SkipEmptyParts); }
    void stop()
    {
        process.terminate();
        process.waitForFinished();
    }

    // Another process may take the free port before nginx binds it: nginx then gives up, and
    // another port is tried. nginx writes its pid file once it holds the port.
    bool start(const QString &releaseDir, const QStringList &options);

private:
    QTemporaryDir prefix;
    QProcess process;
    quint16 port = 0;
};

#endif
