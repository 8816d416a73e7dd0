#include "linkpath.h"

#include <QDir>
#include <QStringList>

bool LinkPath::staysInside(const QString &linkPath, const QString &target,
    const std::function<QString(const QString &)> &targetOf)
{
    QStringList at = linkPath.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (!at.isEmpty())
        at.removeLast();
    QStringList todo;
    QString next = target;
    int hops = 0;
    while (!next.isNull()) {
        if (next.isEmpty() || QDir::isAbsolutePath(next) || next.startsWith(QLatin1Char('/'))
            || next.startsWith(QLatin1Char('\\')))
            return false;
        todo = next.split(QLatin1Char('/'), Qt::SkipEmptyParts) + todo;
        next = QString();
        while (next.isNull() && !todo.isEmpty()) {
            const QString part = todo.takeFirst();
            if (part == QLatin1String("."))
                continue;
            if (part == QLatin1String("..")) {
                if (at.isEmpty())
                    return false;
                at.removeLast();
                continue;
            }
            at.append(part);
            next = targetOf(at.join(QLatin1Char('/')));
            if (!next.isNull()) {
                at.removeLast();
                if (++hops > maxHops)
                    return false;
            }
        }
    }
    return true;
}
