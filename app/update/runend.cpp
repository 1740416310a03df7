#include "app/widget.h"

#include "ui_widget.h"

#include <QDesktopServices>
#include <QLabel>
#include <QMessageBox>
#include <QUrl>

#include <algorithm>
#include <cstdlib>

// A run ends the process itself, from inside a slot: with the tool started, or with a box that
// says why it stopped. A run that cannot go on and has no ending (stopRun) says why in the
// caption and waits for the user to close the window.

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

void Widget::stopRun(const QString &caption)
{
    // Whoever sees the window sees no debug line: the caption must not go on saying that the
    // update is under way.
    // It says what happened and what to do, on two lines: the label grows by one line into the
    // panel's free space below it, so the first line stays where the caption always stands.
    QLabel *label = ui->tipLabel;
    label->setText(caption);
    const int lines = caption.count('\n') + 1;
    label->resize(label->width(),
                  std::max(label->height(), lines * label->fontMetrics().lineSpacing()));
    runStopped = true;
}
