#include "trans_log.h"

#include <algorithm>
#include <cstring>

namespace tray {

QString FormatTransferSize(int64_t bytes) {
  if (bytes < 1024) return QStringLiteral("1KB");
  const int64_t k = bytes / 1024;
  if (k < 1024) return QString::asprintf("%.2fKB", static_cast<double>(k));
  const double m = static_cast<double>(k) / 1024.0;
  if (m < 1024.0) return QString::asprintf("%.2fMB", m);
  return QString::asprintf("%.2fGB", static_cast<double>(k) / 1048576.0);
}

QString TransferFileName(const QString& path) {
  qsizetype cut = std::max(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\')));
  QString name = path.mid(cut + 1);
  qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
  if (dot > 0) name.truncate(dot);
  return name;
}

std::optional<TransLogRow> MakeTransLogRow(const TransLogRecord& record) {
  const QString file = QString::fromUtf8(record.file, static_cast<qsizetype>(strnlen(record.file, sizeof record.file)));
  if (file.isEmpty()) return std::nullopt;
  TransLogRow row;
  row.name = TransferFileName(file);
  row.size = FormatTransferSize(record.size);
  row.time = QString::fromUtf8(record.time, static_cast<qsizetype>(strnlen(record.time, sizeof record.time)));
  row.image = TransferImage(record.type);
  return row;
}

}  // namespace tray
