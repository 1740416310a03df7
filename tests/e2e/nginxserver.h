#ifndef CORVANTILE_E2E_NGINXSERVER_H
#define CORVANTILE_E2E_NGINXSERVER_H

#include "tests/testsupport.h"

#include <QProcess>
#include <QTemporaryDir>

// nginx as scripts/nginx-config sets it up (`options`: "--tls", "--directive", ...), serving a
// release folder below basePath on a free loopback port, with its logs in a folder of its own.
class NginxServer
{
public:
    static inline const QString basePath = QStringLiteral("/corvantile");
    ~NginxServer()
    {
        process.terminate();
        process.waitForFinished();
    }
    static QString executable();
    bool start(const QString &releaseDir, const QStringList &options);
    QString url(const QString &scheme) const
    {
        return QString("%1://127.0.0.1:%2%3").arg(scheme).arg(port).arg(basePath);
    }
    QString log(const QString &name = "error.log") const
    {
        return QString::fromUtf8(readFile(prefix.filePath(name)));
    }

private:
    QTemporaryDir prefix;
    QProcess process;
    quint16 port = 0;
};

#endif
