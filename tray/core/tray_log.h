// The tray program's log: Qt's messages (qDebug, qInfo, qWarning, qCritical) go to
// standard error and, once InstallTrayLog ran, to a log file with the time of each line.
//
// A message repeated within the repeat window is written once: its repeats are counted
// and the count follows as one line, "<message> (N more times)", before a later line or
// when the log is flushed. The file rotates when a line would take it past its size
// limit: Tirvan.log becomes Tirvan.log.1, the older ones move up by one, and only the
// given number of rotated files is kept.
#pragma once

#include <QString>

#include <cstdint>

namespace tray {

struct TrayLogOptions {
  int64_t sizeLimitBytes = 5242880;  // TIRVAN_TRAY_LOG_SIZE_BYTES (1 or more)
  int rotatedFiles = 5;              // TIRVAN_TRAY_LOG_ROTATED_FILES (0 keeps none)
  int repeatWindowMs = 1000;         // TIRVAN_TRAY_LOG_REPEAT_MS (0 writes every line)

  // The defaults, with each variable that is set to a whole number in range taking over.
  static TrayLogOptions FromEnvironment();
};

// The log file: $TIRVAN_TRAY_LOG when set, else Tirvan.log in the user's state folder
// ($XDG_STATE_HOME/Tirvan, by default ~/.local/state/Tirvan).
QString DefaultTrayLogPath();
// Sends every later message to path as well; false when the file cannot be opened (the
// messages still reach standard error). A log installed before is flushed and closed.
bool InstallTrayLog(const QString& path,
                    const TrayLogOptions& options = TrayLogOptions::FromEnvironment());
// Writes the counts of repeats still held back. Also runs at the program's exit.
void FlushTrayLog();

}  // namespace tray
