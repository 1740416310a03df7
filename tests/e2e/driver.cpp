// Runs the updater exactly as the program does, but unattended: every message box is
// accepted after its title and text are printed, the desktop shell is not asked to start the
// tool (the request is printed instead), and a line "close" on standard input closes the
// window as a user would. CORVANTILE_E2E_TRUSTED_AUTHORITY names a PEM certificate that is
// trusted beside the system's authorities, as if it were installed on the machine.
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

#include <cstdio>
#include <unistd.h>

namespace {

void report(const QString &line)
{
    std::fprintf(stderr, "%s\n", line.toUtf8().constData());
    std::fflush(stderr);
}

// The caption is not logged by the updater; it is reported here whenever it has changed since
// the last event, so a test sees each file's caption in order. The label is watched through a
// QPointer: events and log lines still arrive while the window is torn down.
class Unattended : public QObject
{
    Q_OBJECT

public:
    void watchCaption(QLabel *label)
    {
        caption = label;
        // The form's caption: a run that stops in the constructor has already replaced it.
        lastCaption = QCoreApplication::translate("Widget", "钱包更新中...");
        reportCaptionChange();
    }

    void reportCaptionChange()
    {
        if (caption && caption->text() != lastCaption) {
            lastCaption = caption->text();
            // One report per line: the lines of a caption are joined by " / ".
            report("CAPTION " + QString(lastCaption).replace('\n', " / "));
        }
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
        // A caption that no log line follows (a transfer that goes on and on) is still
        // reported, at the next event the application handles.
        reportCaptionChange();
        auto *box = qobject_cast<QMessageBox *>(watched);
        if (box && event->type() == QEvent::Show) {
            report("MESSAGE BOX " + box->windowTitle() + " | " + box->text());
            QMetaObject::invokeMethod(box, "accept", Qt::QueuedConnection);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QPointer<QLabel> caption;
    QString lastCaption;
};

// Qt's message handler is a plain function; it reaches the driver only while main() runs.
Unattended *unattendedInstance = nullptr;

void logThrough(QtMsgType, const QMessageLogContext &, const QString &message)
{
    if (unattendedInstance)
        unattendedInstance->reportCaptionChange();
    report(message);
}

} // namespace

// Qt reads no trust store but the system's; a test's authority goes into the default
// configuration, which every request of the updater starts from.
void trustTestAuthority()
{
    const QString path = qEnvironmentVariable("CORVANTILE_E2E_TRUSTED_AUTHORITY");
    if (path.isEmpty())
        return;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates(configuration.caCertificates() +
                                    QSslCertificate::fromPath(path));
    QSslConfiguration::setDefaultConfiguration(configuration);
}

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    trustTestAuthority();
    Unattended unattended;
    application.installEventFilter(&unattended);
    QDesktopServices::setUrlHandler("file", &unattended, "openTool");
    unattendedInstance = &unattended;
    qInstallMessageHandler(logThrough);

    Widget widget;
    unattended.watchCaption(widget.findChild<QLabel *>("tipLabel"));
    widget.show();

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&widget, &input] {
        char buffer[64];
        const ssize_t length = read(STDIN_FILENO, buffer, sizeof buffer);
        if (length <= 0)
            input.setEnabled(false);
        else
            widget.close();
    });

    const int result = application.exec();
    report(QString("EVENT LOOP ENDED %1").arg(result));
    // Nothing of the driver may watch the window while it is torn down.
    qInstallMessageHandler(nullptr);
    unattendedInstance = nullptr;
    application.removeEventFilter(&unattended);
    return result == 0 && widget.updateInterrupted() ? EXIT_FAILURE : result;
}

#include "driver.moc"
