#include "tests/e2e/nginxserver.h"

#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {

// A port that was free a moment ago; another process may take it before nginx does.
quint16 freeLoopbackPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

bool acceptsConnections(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(200);
}

QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

NginxServer::~NginxServer()
{
    stop();
}

QString NginxServer::executable()
{
    const QString found = QStandardPaths::findExecutable("nginx");
    return found.isEmpty()
               ? QStandardPaths::findExecutable("nginx", {"/usr/sbin", "/usr/local/sbin", "/sbin"})
               : found;
}

bool NginxServer::start(const QString &releaseDir, const QStringList &options)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        const quint16 candidate = freeLoopbackPort();
        if (candidate == 0 || !startOn(candidate, releaseDir, options))
            return false;
        if (QTest::qWaitFor([this] { return ready() || !running(); }, 10000) && ready())
            return true;
        stop();
    }
    return false;
}

bool NginxServer::startOn(quint16 candidate, const QString &releaseDir, const QStringList &options)
{
    port = candidate;
    QProcess writer;
    writer.start(CORVANTILE_NGINX_CONFIG,
                 QStringList{prefix.path(), QString::number(port), basePath + "/", releaseDir} +
                     options);
    const QString conf = prefix.filePath("nginx.conf");
    QFile file(conf);
    if (!prefix.isValid() || !writer.waitForFinished() || writer.exitCode() != 0 ||
        !file.open(QIODevice::WriteOnly) || file.write(writer.readAllStandardOutput()) <= 0)
        return false;
    file.close();
    QFile::remove(prefix.filePath("nginx.pid"));
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(executable(),
                  {"-p", prefix.path() + "/", "-c", conf, "-e", prefix.filePath("error.log")});
    return process.waitForStarted();
}

// nginx writes its pid file only once it holds its port: until then a connection may reach
// whoever took the port.
bool NginxServer::ready() const
{
    return running() &&
           readText(prefix.filePath("nginx.pid")).trimmed().toLongLong() == process.processId() &&
           acceptsConnections(port);
}

void NginxServer::stop()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished();
    }
}

QString NginxServer::url(const QString &scheme) const
{
    return QString("%1://127.0.0.1:%2%3").arg(scheme).arg(port).arg(basePath);
}

QStringList NginxServer::requests() const
{
    return readText(prefix.filePath("access.log")).split('\n', Qt::SkipEmptyParts);
}

QString NginxServer::errorLog() const
{
    return readText(prefix.filePath("error.log"));
}
