// The paths that device requests name: the share check, folder listings, creation of
// upload folders, the default-folder macros, the clean-up of unfinished uploads, and
// the program's own folder and installation root.
//
// Device paths may use "\" or "/" as separators; every function here takes either and
// works with "/" on disk. Shared and default folders are read from the database on
// every call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One entry of a folder listing.
struct DirEntry {
  int32_t kind = 0;   // 0 folder, 1 file
  int64_t size = 0;   // bytes; 0 for folders
  std::string time;   // modification time, local "%Y-%m-%d %H:%M:%S"
  std::string name;   // without its folder
};

// The entry's size as a 32-bit wire field carries it. Sizes of 4 GiB and more are
// clamped to 0xFFFFFFFF rather than wrapped, so a device never sees a large file as a
// small one.
uint32_t DirEntryWireSize(const DirEntry& entry);

// path with every "\" turned into "/" and runs of separators made one.
std::string ToDiskPath(const std::string& path);

// The canonical form of path, which need not exist: the real path of its nearest
// existing ancestor (".", ".." and symlinks resolved), followed by the remaining
// components with "." and ".." applied. "" when no ancestor resolves.
std::string CanonicalPath(const std::string& path);

// True when the canonical path equals the canonical root or lies below it at a "/"
// boundary (case-sensitive). An empty or relative root contains nothing.
bool IsPathWithin(const std::string& path, const std::string& root);

// 0 when path, existing or not, lies within a shared or default folder, else
// ERR_NOT_IN_SHARE. Callers that create folders check this before creating anything.
int CheckPathInShare(const std::string& path);

// The canonical folders of the shared and default folders that path, existing or not,
// lies within, the deepest first, each once; empty when there is none. They need not
// exist (a share on a disk that is not mounted).
std::vector<std::string> ShareRootsOf(const std::string& path);

// 0 when folder is an existing folder within a shared or default folder;
// ERR_PATH_NOT_EXIST when it is not an existing folder (checked first);
// ERR_NOT_IN_SHARE when it lies outside every shared and default folder.
int CheckSharedPath(const std::string& folder);

// Appends one entry per sub-folder, then one per file, each group in name order (byte
// order). Hidden names and upload resume files are left out, and so are symlinks that
// lead out of every shared and default folder (a dangling one by where its target would
// be). An entry that cannot be examined (a dangling symlink) gets the current time and
// size 0; an unreadable folder adds nothing.
void ListDirEntries(const std::string& folder, std::vector<DirEntry>& out);

// Creates the folder and its missing parents (mode 0755). 0 when the folder exists
// afterwards; -1 for a path without separator, with a ".." component, or when a
// folder cannot be created (the folders made before stay).
int CreateDirTree(const std::string& path);

// A request that starts with "$DEFAULT$", "$DEFAULT_PIC$", "$DEFAULT_MUSIC$",
// "$DEFAULT_VIDEO$" or "$DEFAULT_DOC$" (first match in this order) gets every
// occurrence of that macro replaced by its default folder; "" when that folder is not
// set. Any other request stays as it is. The result is a disk path ("/" separators).
std::string ExpandDefaultDirMacro(const std::string& request);

// Deletes the resume files of unfinished uploads ("tirvan.renametmp", then
// "tirvan.rename") in the document, picture, video and music default folders (not in
// the default folder itself, not in sub-folders).
void CleanRenameTempFiles();

// Deletes every regular file of folder (not of its sub-folders) whose name ends with
// suffix. Nothing happens when the folder does not exist or the text has no separator.
// No command interpreter is involved: any name is safe.
void DeleteFilesBySuffix(const std::string& folder, const std::string& suffix);

// Test hook: the program path GetModuleDir reads instead of /proc/self/exe ("" restores it).
void SetModulePathForTest(const std::string& exePath);

// The folder that holds the running program, without a trailing "/" ("/" for a program
// in the root). 0; 1 when the program path cannot be read; -1 when it has no "/".
int GetModuleDir(std::string& out);

// The parent of the program's folder: the installation root (/opt/tirvan for
// /opt/tirvan/bin/TirvanClient). 0, or -1 with out empty.
int GetInstallRoot(std::string& out);
