// The transfer log: one row in qz_trans for every transfer that completed.
#pragma once

#include <cstdint>
#include <string>

enum : int {
  TRANS_LOG_UPLOAD = 0,    // a file uploaded to the PC
  TRANS_LOG_DOWNLOAD = 1,  // a file downloaded to a device
};

// Appends the row (kind, status 0, path, size, the local time) in one transaction that
// first drops the 50 oldest rows when 100 or more are stored. Failures are only logged;
// a count that fails still lets the row be inserted.
void WriteTranLog(const std::string& path, int kind, int64_t size);
