// The tray program's log: Qt's messages (qDebug, qInfo, qWarning, qCritical) go to
// standard error and, once InstallTrayLog ran, to a log file with the time of each line.
#pragma once

#include <QString>

namespace tray {

// The log file: $TIRVAN_TRAY_LOG when set, else Tirvan.log in the user's state folder
// ($XDG_STATE_HOME/Tirvan, by default ~/.local/state/Tirvan).
QString DefaultTrayLogPath();
// Sends every later message to path as well; false when the file cannot be opened (the
// messages still reach standard error).
bool InstallTrayLog(const QString& path);

}  // namespace tray
