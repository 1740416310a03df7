// The updater, unattended: it prints each new caption, message box (accepted) and tool start (not
// made); input closes the window. The environment may name an authority and a file size limit.
#include "app/widget.h"

#include <QtNetwork>
#include <QtWidgets>

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

class Unattended : public QObject
{
    Q_OBJECT

public:
    QPointer<QLabel> caption; // printed with the next line once changed; the window may be gone
    QString shown = QCoreApplication::translate("Widget", "钱包更新中...");
    void report(const QString &line)
    {
        if (caption && caption->text() != shown)
            report("CAPTION " + QString(shown = caption->text()).replace('\n', " / "));
        if (!line.isEmpty())
            fprintf(stderr, "%s\n", line.toUtf8().constData());
    }
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *box = event->type() == QEvent::Show ? qobject_cast<QMessageBox *>(watched) : nullptr;
        if (box)
            QMetaObject::invokeMethod(box, "accept", Qt::QueuedConnection);
        report(box ? "MESSAGE BOX " + box->windowTitle() + " | " + box->text() : QString());
        return false;
    }

public slots:
    void openTool(const QUrl &url) { report("TOOL STARTED " + url.toString()); }
} driver;

int main(int argc, char **argv)
{
    if (const rlim_t limit = qEnvironmentVariableIntValue("CORVANTILE_E2E_FILE_SIZE_LIMIT")) {
        const rlimit size{limit, limit};
        setrlimit(RLIMIT_FSIZE, &size);
        signal(SIGXFSZ, SIG_IGN); // a write past the limit fails instead
    }
    QApplication application(argc, argv);
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    const QString pem = qEnvironmentVariable("CORVANTILE_E2E_TRUSTED_AUTHORITY"); // none: no file
    tls.setCaCertificates(tls.caCertificates() + QSslCertificate::fromPath(pem));
    QSslConfiguration::setDefaultConfiguration(tls);
    application.installEventFilter(&driver);
    QDesktopServices::setUrlHandler("file", &driver, "openTool");
    qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext &, const QString &m) { driver.report(m); });
    Widget widget;
    driver.caption = widget.findChild<QLabel *>("tipLabel");
    widget.show();
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &widget, &QWidget::close);
    const int result = application.exec();
    driver.report(QString("EVENT LOOP ENDED %1").arg(result));
    return result == 0 && widget.updateInterrupted() ? EXIT_FAILURE : result;
}

#include "driver.moc"
