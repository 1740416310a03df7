#ifndef CORVANTILE_E2E_NGINXSERVER_H
#define CORVANTILE_E2E_NGINXSERVER_H

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// nginx as a publisher runs it (scripts/nginx-config, `options` such as "--tls" or "--directive"
// passed on), serving one release folder below basePath on a free loopback port, in the
// foreground as a child of the test, with its logs in a folder of its own.
class NginxServer
{
public:
    static inline const QString basePath = QStringLiteral("/corvantile");
    ~NginxServer();
    static QString executable();
    bool start(const QString &releaseDir, const QStringList &options = {});
    QString url(const QString &scheme = "http") const
    {
        return QString("%1://127.0.0.1:%2%3").arg(scheme).arg(port).arg(basePath);
    }
    QString log(const QString &name = "error.log") const;
    QStringList requests() const { return log("access.log").split('\n', Qt::SkipEmptyParts); }

private:
    QTemporaryDir prefix;
    QProcess process;
    quint16 port = 0;
};

#endif
