#include "release/version.h"

#include <QStringList>

namespace {

int versionComponent(const QStringList &components, int position)
{
    // A release is meant to have three components; a shorter text is read as if padded with 0.
    return position < components.size() ? components.at(position).toInt() : 0;
}

bool isDecimal(const QString &component)
{
    if (component.isEmpty())
        return false;
    for (const QChar c : component) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

} // namespace

int compareVersions(const QString &a, const QString &b)
{
    if (a == b)
        return 0;
    const QStringList left = a.split('.');
    const QStringList right = b.split('.');
    for (int position = 0; position < 3; ++position) {
        const int x = versionComponent(left, position);
        const int y = versionComponent(right, position);
        if (x > y)
            return 1;
        if (x < y)
            return -1;
    }
    return 0;
}

QString versionProblem(const QString &version)
{
    const QStringList components = version.split('.');
    if (components.size() < 3)
        return "it has fewer than three numeric components (a release version looks like 1.4.0)";
    for (const QString &component : components) {
        bool converts = false;
        component.toInt(&converts);
        // compareVersions reads a component that does not convert as 0, which would hide it.
        if (!isDecimal(component) || !converts)
            return "its component \"" + component + "\" is not a decimal number";
    }
    return QString();
}
