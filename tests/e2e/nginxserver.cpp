#include "tests/e2e/nginxserver.h"

#include "tests/testsupport.h"

#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

NginxServer::~NginxServer()
{
    process.terminate();
    process.waitForFinished();
}

QString NginxServer::executable()
{
    return QStandardPaths::findExecutable("nginx", qEnvironmentVariable("PATH").split(':')
                                                       << "/usr/sbin");
}

QString NginxServer::log(const QString &name) const
{
    return QString::fromUtf8(readFile(prefix.filePath(name)));
}

// Another process may take the free port before nginx binds it; nginx then gives up, and another
// port is tried. nginx writes its pid file once it holds the port: until then a connection may
// reach whoever took it.
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
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            return process.state() == QProcess::Running &&
                   log("nginx.pid").trimmed().toLongLong() == process.processId() &&
                   socket.waitForConnected(200);
        };
        process.waitForStarted();
        if (QTest::qWaitFor([&] { return ready() || process.state() != QProcess::Running; },
                            10000) &&
            ready())
            return true;
        process.terminate();
        process.waitForFinished();
    }
    return false;
}
