// The emulated process and its files: the file system (whole files by full path, and the
// folders they may live in), file rights, version resources and the running module's path,
// child processes, the console, the operating-system version, system message texts, the
// locale's number format, and the end of the process.
//
// Paths compare without regard to letter case, as on Windows; a bare name (no folder, no
// drive) is one in the current folder. A file can be written only into a folder that exists.
// Nothing here touches the host's files.
//
// Ending the process: plat::ExitProcess throws emu::ProcessExit. It derives from nothing, so
// no catch of std::exception in the code under test can swallow it; a test catches it where
// the real process would have ended.
#pragma once

#include "platform/Platform.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace emu {

// --- files and folders -------------------------------------------------------------------------

// The current folder, where bare names are; it does not exist until a test adds it (or a file
// or folder inside it).
constexpr const char* kCurrentFolder = "C:\\Program Files\\Quorlan";

// What SystemDirectoryFor32Bit reports: a 64-bit Windows.
constexpr const char* kSystemDirectory32 = "C:\\Windows\\SysWOW64";

// Folders exist with all their parents once added; at reset only "C:\" exists.
void AddFolder(const std::string& path);
// Files the program wrote (or a test put there), by full path. A test's file exists whether or
// not its folder does.
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

// The rights GetFileAccess reports for a path (compared without regard to letter case), or
// the error it fails with. A path not set here is protected the usual way: administrators and
// SYSTEM may change it, Users may read it.
void SetFileAccess(const std::string& path, const std::vector<plat::FileAccessEntry>& entries,
                   std::uint32_t error = 0);

// --- version resources and the module --------------------------------------------------------

constexpr const char* kDefaultModulePath = "C:\\Program Files\\Quorlan\\chronel.exe";

void SetModulePath(const std::string& path);
// GetModuleFileName fails (returns 0) for the next `count` calls (every one when count < 0).
void InjectModuleFileNameFailure(int count = -1);

// Product version of a file (paths compare case-insensitively). At reset the module path
// carries 1.0.0.1.
void SetProductVersion(const std::string& path, std::uint32_t versionMS, std::uint32_t versionLS);
// One text of a file's string table, by its block path ("\\StringFileInfo\\040904B0\\ProductName");
// gives the file a version resource (product version 0) when it had none.
void SetVersionString(const std::string& path, const std::string& subBlock,
                      const std::string& text);
void RemoveVersionResource(const std::string& path); // GetFileVersionInfoSize then gives 0

enum class VersionStep : std::uint8_t { Size, Info, Query };
// The next `count` calls (every one when count < 0) of this step fail.
void InjectVersionFailure(VersionStep step, int count = -1);

// --- processes, the system, the console --------------------------------------------------------

// Thrown by plat::ExitProcess on the emulated platform.
struct ProcessExit {
    std::uint32_t Code = 0;
};
int ExitProcessCalls();

enum class ProcessFail : std::uint8_t { GetVersionEx, RunProcess };
// The next `count` calls (or every call with count < 0) fail with this last-error code.
void InjectProcessFailure(ProcessFail what, std::uint32_t errorCode, int count = -1);

// How RunProcess behaves: whether the process starts (else it fails with startError), and the
// exit code it ends with.
void SetProcessResult(bool starts, std::uint32_t exitCode, std::uint32_t startError = 2);
std::vector<std::string> ProcessesRun(); // command lines, in order

void SetOsVersion(const plat::OsVersionInfo& info); // default platform 2, version 6.1.7601
// Adds or replaces a system message text (empty text: the system has none for the code).
void SetSystemMessage(std::uint32_t code, const std::string& text);

struct ConsoleWrite {
    std::string Text;
    std::int64_t TrueTime100ns = 0; // when it was written
};
std::string ConsoleOutput(); // everything written, concatenated
std::vector<ConsoleWrite> ConsoleWrites();
std::string ConsoleErrorOutput(); // everything written to standard error
// Whether standard output is a console window (false: redirected, the default).
void SetStdoutIsConsole(bool console);

// The locale's separator between groups of three digits, in UTF-8; "," unless a test says
// otherwise ("" writes the digits ungrouped). Negative numbers always lead with "-". Like the
// system, the number text is ANSI: code page 1252, where a character it lacks becomes "?".
void SetThousandsSeparator(const std::string& separator);
std::string ThousandsSeparator();

} // namespace emu
