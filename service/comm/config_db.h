// The configuration database: the five qz_ tables of Tirvan.db and every function that
// reads or writes them (except the transfer log's appending writer). All access goes
// through g_DB. No function here lets a database exception out: writers report failure
// by their result, readers leave their defaults in place.
//
// Texts of qz_defshare, qz_share and qz_trans are in the platform's narrow charset
// (platform::kNarrowCharset); the account texts of qz_user are stored as received.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The account as it crosses the local protocol: two NUL-padded 32-byte texts. A text
// that fills its field has no NUL.
struct AccountInfo {
  char email[32];
  char psw[32];
};
static_assert(sizeof(AccountInfo) == 64);

// The five default folders as owned texts.
struct DefaultDirInfo {
  std::string def;
  std::string def_pic;
  std::string def_music;
  std::string def_video;
  std::string def_doc;
};

// The five default folders as fixed fields of 260 bytes, NUL-terminated, same order.
struct DefShareRecord {
  char def[260];
  char def_pic[260];
  char def_music[260];
  char def_video[260];
  char def_doc[260];
};
static_assert(sizeof(DefShareRecord) == 1300);

// One row of the transfer log as the readers return it.
struct TransLogRow {
  uint16_t type;    // 0 a file uploaded to the PC, 1 a file downloaded to a device
  uint16_t status;  // 0
  uint32_t size;    // file size in bytes
  char time[30];    // "%Y-%m-%d %H:%M:%S", at most 29 characters, NUL-terminated
  char file[260];   // full path, at most 259 bytes, NUL-terminated
};

// ---- Writers: 0 on success, -1 on a database failure (ClearLog: 1). Each runs in one
// transaction; a failure rolls it back and keeps the previous rows.

// Deletes the stored account.
int ClearLogOnInfo();
// Replaces the stored account. Each field is read up to its first NUL within 32 bytes.
int WriteLogOnInfo(const AccountInfo& info);
// Replaces the default folders. Each field is read up to its first NUL within 260 bytes.
int SetDefaultDir(const DefShareRecord& dirs);
// Replaces the shared folders by shares, in list order (an empty list removes all).
int SetShareInfo(const std::vector<std::string>& shares);
// Deletes the transfer log. 0, or 1 on failure.
int ClearLog();

// ---- Readers: defaults first, then the first row (one-row tables) or every row.

// g_LocalPort := the low 16 bits of qz_conf.localport (0 without a row).
void ParseLocalPort();
// console := log_console (default 0), priority := log_priority (default 600; a
// stored NULL reads as 0).
void ParseLogConf(int& console, int& priority);
// The central server: svhost and the low 16 bits of svport ("" and 0 by default).
void GetServerInfo(std::string& host, uint16_t& port);
// The P2P rendezvous server: p2phost and the low 16 bits of p2pport.
void GetP2PServerInfo(std::string& host, uint16_t& port);
// The stored account ("" and "" by default).
void GetUsernfo(std::string& email, std::string& psw);
// The default folders (all empty by default).
void ParseDefaultDir(DefaultDirInfo& info);
// The default folders in fixed fields: zeroed, then each text cut to at most 259 bytes
// on a character boundary.
void GetDefaultDirs(DefShareRecord& dirs);
// def, def_doc, def_music, def_pic, def_video in this order, each unless an equal text
// is already listed (an empty folder is listed once like any other text).
void GetDefaultDirList(std::vector<std::string>& list);
// The shared folders in table order, duplicates listed once.
void ParseShareInfo(std::vector<std::string>& list);
// The transfer log in table order; time cut to 29 characters, file to 259 bytes (on a
// character boundary). A reader failure keeps the rows read so far.
void GetTransLog(std::vector<TransLogRow>& rows);

// -1 when text holds any of ' ; " = ` * % $ ^ & < > { } [ ], else 0.
int HasForbiddenChars(const std::string& text);
