// Small stateless helpers: time texts, numbers as text, splitting, files and folders,
// free disk space, the host name and character-set conversion. None of them logs; each
// reports failure through its result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The longest path the folder helpers accept. A longer path is refused, never cut into a
// different one.
inline constexpr size_t kMaxPathLen = 259;

// t as local "%Y-%m-%d %H:%M:%S".
std::string TimeToStr(int64_t t);
// The time of a local "%Y-%m-%d %H:%M:%S" text. Fields are read like atoi (missing or
// not a number: 0; a missing time part is midnight). 0 when the text holds fewer than
// two hyphens.
int64_t StrToTime(const std::string& text);

std::string IntToStr(int32_t value);
std::string UIntToStr(uint32_t value);

// Cuts text at every occurrence of sep, left to right; the piece after the last sep is
// always added, even when empty ("a,b," gives a, b, ""). An empty text or separator
// gives an empty list; a text without sep gives the whole text.
void SplitString(const std::string& text, const std::string& sep, std::vector<std::string>& out);

// 0 when the path exists (file or folder), -1 otherwise.
int FileExists(const std::string& path);
// Deletes a file (or an empty folder). 0 when the path does not exist or was deleted,
// -1 when deleting failed.
int RemoveFile(const std::string& path);
// Cuts the path in place at its last "/" or "\", looking from the second-to-last
// character back to the second one: a trailing separator is ignored and a separator in
// the first position is never cut ("/a" stays). Unchanged when there is none. false (path
// unchanged) when the path is shorter than 2 characters or longer than kMaxPathLen.
bool StripLastPathPart(std::string& path);
// 0 when the path names an existing folder (one trailing separator is ignored); -1 for
// an empty path, a path longer than kMaxPathLen, a missing path or a file.
int DirExists(const std::string& path);

// Linux has no hidden attribute: names that begin with "." and upload resume files
// (ending with "tirvan.rename" or "tirvan.renametmp", also their numbered variants such
// as "a.txttirvan.rename.(0).rename") count as hidden.
bool IsHiddenName(const std::string& name);
// The names (without folder) of the folder's sub-folders, resp. its files, in the order
// the file system returns them. "." and "..", hidden names (IsHiddenName) and special
// files (devices, pipes, sockets) are skipped; a symlink counts as what it points to, a
// dangling one as a file. The list is emptied first. 0 when the whole folder was read,
// -1 when it cannot be opened or reading stopped on an error (names read stay listed).
int ListSubDirs(const std::string& folder, std::vector<std::string>& out);
int ListFiles(const std::string& folder, std::vector<std::string>& out);

// The mount point of the file system that holds the path (the nearest existing ancestor
// for a missing path), e.g. "/" or "/home". "" for an empty path.
std::string GetDriveRoot(const std::string& path);
// Free bytes of the whole volume holding the path, in KiB, truncated to 32 bits, into
// kb; also printed to standard output. 0, or -1 for an empty path or when the volume
// cannot be queried (kb is then left alone).
int GetDiskFreeKB(const std::string& path, uint32_t& kb);
// The KiB count of a byte count, truncated to its low 32 bits.
uint32_t FreeBytesToKB(uint64_t bytes);
// Clears name, then fills it with the host name. 0, or the errno of gethostname.
int GetHostName(std::string& name);

// text (up to its first NUL) converted from one charset to another. Characters that are
// invalid in the source or missing in the target are skipped; the rest is kept. "" when
// iconv does not know the conversion. A "//IGNORE" or "//TRANSLIT" suffix of a code name
// is accepted and has no further effect.
std::string ConvertCharset(const char* from, const char* to, const std::string& text);
