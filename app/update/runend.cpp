#include "app/widget.h"

#include <QDesktopServices>
#include <QMessageBox>
#include <QUrl>

#include <cstdlib>

// A run ends the process itself, from inside a slot: with the tool started, or with a box that
// says why it stopped.

void Widget::launchTool()
{
    QDesktopServices::openUrl(QUrl::fromLocalFile("CorvantileDevelopmentTool.exe"));
    // A run that could not install every planned file still starts the tool, but tells whoever
    // started the updater that the installation is not complete.
    unlockInstallation();
    std::exit(updateIncomplete ? EXIT_FAILURE : EXIT_SUCCESS);
}

void Widget::endRunWithMessage(const QString &text)
{
    // The installation keeps the files it had and the old update.xml; a run ended this way is a
    // failure to whoever started the updater.
    showMessage(text);
    unlockInstallation();
    std::exit(EXIT_FAILURE);
}

void Widget::showMessage(const QString &text)
{
    QMessageBox::information(this, "CorvantileUpdate", text);
}
