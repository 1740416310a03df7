// nginx as scripts/nginx-config sets it up (`options`: "--tls", "--directive", ...), serving a
// release folder below basePath on a loopback port, with its logs in a folder of its own.
#ifndef CORVANTILE_E2E_NGINXSERVER_H
#define CORVANTILE_E2E_NGINXSERVER_H

#include "tests/testsupport.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

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
    // nginx gives up on a port another process holds, and another is tried; it writes its pid
    // file once it holds the port.
    bool start(const QString &releaseDir, const QStringList &options)
    {
        for (int attempt = 0; attempt < 5; ++attempt, stop()) {
            const QString port = QString::number(QRandomGenerator::global()->bounded(20000, 30000));
            address = "://127.0.0.1:" + port + basePath;
            QProcess writer;
            writer.setStandardOutputFile(prefix.filePath("nginx.conf"));
            writer.start(CORVANTILE_NGINX_CONFIG,
                         QStringList{prefix.path(), port, basePath + "/", releaseDir} + options);
            if (!writer.waitForFinished() || writer.exitCode() != 0)
                return false;
            process.setProcessChannelMode(QProcess::ForwardedChannels);
            process.start(executable(),
                          {"-p", prefix.path() + "/", "-c", prefix.filePath("nginx.conf"), "-e",
                           prefix.filePath("error.log")});
            (void)QTest::qWaitFor([&] { return up() || process.state() == QProcess::NotRunning; },
                                  10000);
            if (up())
                return true;
        }
        return false;
    }
    QString url(const QString &scheme) const { return scheme + address; }
    QString log(const QString &name = "error.log") const { return readFile(prefix.filePath(name)); }

private:
    bool up() const { return log("nginx.pid").toLongLong() == process.processId(); }
    void stop()
    {
        process.terminate();
        process.waitForFinished();
    }
    QTemporaryDir prefix;
    QProcess process;
    QString address;
};

#endif
