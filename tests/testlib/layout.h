#ifndef TESTS_LAYOUT_H
#define TESTS_LAYOUT_H

#include "platform.h"

#include <QString>

// Switches to a row's layout: "linux" is the Linux layout, chosen as
// config.conf chooses it, on a platform of the bundle layout; any other
// value is a platform name. Platform::setNameForTesting(QString()) undoes it.
inline void useLayout(const QString &layout)
{
    const bool chosen = layout == QLatin1String("linux");
    Platform::setNameForTesting(chosen ? QStringLiteral("xcb") : layout);
    Platform::chooseLayout(chosen ? layout : QString());
}

#endif // TESTS_LAYOUT_H
