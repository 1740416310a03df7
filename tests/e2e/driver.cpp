// Runs the updater as the program does, but unattended: each message box is printed and accepted,
// the tool's start is printed instead of made, the caption is printed whenever it changed, and a
// line on standard input closes the window as a user would. CORVANTILE_E2E_TRUSTED_AUTHORITY
// names a PEM certificate trusted beside the system's; CORVANTILE_E2E_FILE_SIZE_LIMIT caps the
// size of every file the updater writes, so that a write fails part way as on a full disk.
#include "app/widget.h"

#include <QApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QSocketNotifier>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QUrl>

#include <csignal>
#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>

namespace {

void report(const QString &line)
{
    std::fprintf(stderr, "%s\n", line.toUtf8().constData());
    std::fflush(stderr);
}

class Unattended : public QObject
{
    Q_OBJECT

public:
    QPointer<QLabel> caption; // watched through a QPointer: events still come during teardown
    QString lastCaption = QCoreApplication::translate("Widget", "钱包更新中...");
    void reportCaptionChange()
    {
        if (caption && caption->text() != lastCaption)
            report("CAPTION " + QString(lastCaption = caption->text()).replace('\n', " / "));
    }

public slots:
    void openTool(const QUrl &url)
    {
        reportCaptionChange();
        report("TOOL STARTED " + url.toString());
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        reportCaptionChange();
        auto *box = qobject_cast<QMessageBox *>(watched);
        if (box && event->type() == QEvent::Show) {
            report("MESSAGE BOX " + box->windowTitle() + " | " + box->text());
            QMetaObject::invokeMethod(box, "accept", Qt::QueuedConnection);
        }
        return false;
    }
};

Unattended *unattended = nullptr;

} // namespace

int main(int argc, char **argv)
{
    if (const qint64 limit = qEnvironmentVariableIntValue("CORVANTILE_E2E_FILE_SIZE_LIMIT")) {
        const rlimit size{rlim_t(limit), rlim_t(limit)};
        setrlimit(RLIMIT_FSIZE, &size);
        std::signal(SIGXFSZ, SIG_IGN); // the write past the limit fails instead
    }
    QApplication application(argc, argv);
    if (const QString authority = qEnvironmentVariable("CORVANTILE_E2E_TRUSTED_AUTHORITY");
        !authority.isEmpty()) {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setCaCertificates(tls.caCertificates() + QSslCertificate::fromPath(authority));
        QSslConfiguration::setDefaultConfiguration(tls);
    }
    Unattended driver;
    unattended = &driver;
    application.installEventFilter(&driver);
    QDesktopServices::setUrlHandler("file", &driver, "openTool");
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &message) {
        if (unattended)
            unattended->reportCaptionChange();
        report(message);
    });

    Widget widget;
    driver.caption = widget.findChild<QLabel *>("tipLabel");
    driver.reportCaptionChange();
    widget.show();
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&widget, &input] {
        char buffer[64];
        if (read(STDIN_FILENO, buffer, sizeof buffer) > 0)
            widget.close();
        else
            input.setEnabled(false);
    });
    const int result = application.exec();
    report(QString("EVENT LOOP ENDED %1").arg(result));
    qInstallMessageHandler(nullptr);
    unattended = nullptr;
    application.removeEventFilter(&driver);
    return result == 0 && widget.updateInterrupted() ? EXIT_FAILURE : result;
}

#include "driver.moc"
