#include "tests/e2e/nginxserver.h"

#include <QStandardPaths>
#include <QTcpServer>
#include <QtTest>

QString NginxServer::executable()
{
    return QStandardPaths::findExecutable("nginx", qEnvironmentVariable("PATH").split(':')
                                                       << "/usr/sbin");
}

// Another process may take the free port before nginx binds it: nginx then gives up, and another
// port is tried. nginx writes its pid file once it holds the port.
bool NginxServer::start(const QString &releaseDir, const QStringList &options)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        port = probe.serverPort();
        probe.close();
        QProcess writer;
        writer.setStandardOutputFile(prefix.filePath("nginx.conf"));
        writer.start(CORVANTILE_NGINX_CONFIG,
                     QStringList{prefix.path(), QString::number(port), basePath + "/", releaseDir} +
                         options);
        QFile::remove(prefix.filePath("nginx.pid"));
        if (!writer.waitForFinished() || writer.exitCode() != 0)
            return false;
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(executable(), {"-p", prefix.path() + "/", "-c", prefix.filePath("nginx.conf"),
                                     "-e", prefix.filePath("error.log")});
        const auto ready = [this] {
            return log("nginx.pid").toLongLong() == process.processId();
        };
        if (process.waitForStarted() &&
            QTest::qWaitFor([&] { return ready() || process.state() != QProcess::Running; },
                            10000) &&
            ready())
            return true;
        process.terminate();
        process.waitForFinished();
    }
    return false;
}
