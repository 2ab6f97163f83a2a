// The transfer log as the settings dialog shows it: one row per finished transfer, the
// newest at the top, with the file's name, its size in a short form and the time.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>

#include "ui_data.h"

namespace tray {

// "1KB" below 1024 bytes, then whole kilobytes ("5.00KB"), then megabytes and gigabytes
// with two decimals.
QString FormatTransferSize(int64_t bytes);

// The file's name without its folder and its extension; "/" and "\" both separate
// folders. A name that is only an extension (".profile") is kept whole.
QString TransferFileName(const QString& path);

// The picture of a row: 1 for a file a device uploaded to the PC (type 0), 0 for any other.
inline int TransferImage(int type) { return type == 0 ? 1 : 0; }

struct TransLogRow {
  QString name, size, time;
  int image = 0;
  bool operator==(const TransLogRow&) const = default;
};

// The row of a record; none for a record without a file name.
std::optional<TransLogRow> MakeTransLogRow(const TransLogRecord& record);

}  // namespace tray
