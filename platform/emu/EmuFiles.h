// The emulated file system: whole files by full path, and the folders they may live in. Paths
// compare without regard to letter case, as on Windows; a file can be written only into a
// folder that exists. Nothing here touches the host's files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace emu {

// What SystemDirectoryFor32Bit reports: a 64-bit Windows.
constexpr const char* kSystemDirectory32 = "C:\\Windows\\SysWOW64";

// Folders exist with all their parents once added; at reset only "C:\" exists.
void AddFolder(const std::string& path);
// Files the program wrote (or a test put there), by full path.
void PutFile(const std::string& path, const std::string& content);
std::optional<std::string> FileContent(const std::string& path);
std::vector<std::string> FileNames(); // full paths as first written, sorted
// Successful writes and replacements of this file since the reset.
std::uint64_t FileWrites(const std::string& path);

// Makes an existing folder or file a reparse point (a junction or a symbolic link).
void MarkReparsePoint(const std::string& path);
// Maps a drive letter to a share: it is no longer a local fixed disk.
void MapNetworkDrive(char letter);

enum class FileOp : std::uint8_t { Write, Move, Delete, Append, Read, List, CreateFolder };
// The next `count` calls (every call when count < 0) of this operation fail with errorCode
// (a sharing violation is 32, access denied 5, disk full 112).
void InjectFileFailure(FileOp op, std::uint32_t errorCode, int count = -1);

// While held, every write, append and rename blocks (in real time) until the hold is let go,
// as on a disk or share that stopped answering; a reset lets go. AwaitHeldFileWrite waits
// (real time) until a write is blocked; HeldFileWrites counts those blocked now.
void HoldFiles(bool hold);
bool AwaitHeldFileWrite(int timeoutMs = 5000);
int HeldFileWrites();

// What ProgramDataFolder reports; the folder exists at reset.
constexpr const char* kProgramData = "C:\\ProgramData";

// A folder whose rights let this process create, change or delete nothing in it (access
// denied, 5), as for a service whose account lost its rights there; true again to undo.
void SetFolderWritable(const std::string& path, bool writable);
// Whether CreateFolder made this folder with rights of its own (administrators and SYSTEM
// full control, users read) rather than inheriting its parent's.
bool FolderProtected(const std::string& path);
bool FolderExists(const std::string& path);
// Bytes the disk can still take (negative: no limit, as at reset). Writes that do not fit
// fail with disk full (112); an append writes what fits first, as a filling disk does.
// Deleting a file gives its bytes back.
void SetDiskFreeBytes(std::int64_t bytes);

} // namespace emu
