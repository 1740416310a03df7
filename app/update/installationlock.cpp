#include "app/widget.h"

#include <QDebug>
#include <QLockFile>

#include <cstdlib>

namespace {

// Beside update.xml, in the installation folder: the lock belongs to the installation, not to
// the user or the machine.
const QString lockFileName = QStringLiteral("update.xml.lock");

// Long enough for a run that is just ending (storing update.xml, starting the tool) to let go; a
// run that is still downloading is not waited for.
constexpr int lockWaitMilliseconds = 3000;

} // namespace

void Widget::lockInstallation()
{
    // Two runs at once would write the same staging files and install each other's half-written
    // bytes. A lock left by a run that no longer exists (killed, or a power cut) is stale and
    // taken over; a living run holds it however long its downloads take.
    installationLock = std::make_unique<QLockFile>(lockFileName);
    installationLock->setStaleLockTime(0);
    if (installationLock->tryLock(lockWaitMilliseconds))
        return;
    installationLock.reset();
    qDebug() << "another run is updating this installation; nothing was changed";
    std::exit(EXIT_FAILURE);
}

void Widget::unlockInstallation()
{
    if (installationLock)
        installationLock->unlock();
}
