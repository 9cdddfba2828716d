#pragma once

#include "lockfiles.h"

#include <QFileInfo>

// The lock file named after a device's path (/dev/pts/3 -> LCK..pts_3), as
// the hold names it.
inline QString pathLockName(const QString &device)
{
    return QFileInfo(LockFiles({QStringLiteral("/")}).files(device).constFirst()).fileName();
}
