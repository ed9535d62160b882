// Queue files: listing a queue folder, claiming a file by an exclusive lock,
// reading it line by line through a small file number, and filing it (move or
// delete) so that a crash leaves a duplicate at worst, never a loss.
//
// Others write the queue folders, so no name there is trusted to be what it
// says: a file is opened relative to its opened folder without following a
// link, and used only when fstat shows a regular file with exactly one link;
// a folder written into must be a real folder, not a link to one; nothing is
// written through a link or under a fixed temporary name.
//
// File numbers come from a QueueFiles table (1 upward, 0 = none), like the
// free-file numbers each claimed pair keeps for its envelope and message.
// DIAGNOSTICS: nothing throws. Failures are reported into the caller's
// ErrorState (errno as the number, a readable description) and as a default
// result (0, false, LineRead::kError).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/error_state.h"
#include "platform/folder_sync.h"
#include "platform/safe_open.h"

namespace bw {

/// Names (not paths) in `folder` ending in ".dat" in any letter case, sorted by
/// name. A folder that is missing or cannot be read raises `err`.
std::vector<std::string> ListQueueFolder(const std::string& folder, ErrorState& err);

/// The name in `folder` that equals `name` without regard to letter case: `name`
/// itself when it exists, else the first such name in sorted order; "" when
/// there is none.
std::string FindNameNoCase(const std::string& folder, const std::string& name);

enum class LineRead { kLine, kEnd, kError };

/// The table of open queue files: each claimed file has a small number until
/// it is closed. Whatever is still open when the table goes is closed with it.
class QueueFiles {
  public:
    QueueFiles();
    ~QueueFiles();
    QueueFiles(const QueueFiles&) = delete;
    QueueFiles& operator=(const QueueFiles&) = delete;

    /// Claims `path`: opens it read-only (relative to its folder, no link
    /// followed, non-blocking) and takes an exclusive, non-blocking lock. After
    /// locking, the open file must still be the one under that name (same device
    /// and inode, link count above 0), or the claim fails: another process filed
    /// it between our open and our lock. A link, a hard link or anything but a
    /// regular file is refused with kUnsafeFile (platform/safe_open.h), the
    /// description naming the reason, e.g. "NAME.msg is a symbolic link"; a
    /// link's target is never opened.
    /// Returns the file number, or 0.
    std::int16_t ClaimFile(const std::string& path, ErrorState& err);

    /// The device and inode of an open file number as claimed; false for a bad number.
    bool IdentityNo(std::int16_t fileNo, std::uint64_t& dev, std::uint64_t& ino) const;
    /// The path an open file number was claimed under ("" for a bad number).
    std::string FilePathNo(std::int16_t fileNo) const;

    /// Closes a file number; 0 or a number not open is ignored. Drops the lock.
    void CloseFileNo(std::int16_t fileNo);

    /// True while `fileNo` is open.
    bool FileNoOpen(std::int16_t fileNo) const;

    /// How many file numbers are open (tests).
    int OpenFileNoCount() const;

    /// Reads the next line of an open file. A line ends with CR LF or with a CR
    /// alone; an LF alone stays inside the line. kEnd when nothing is left to
    /// read (`line` is then empty); kError on a read failure or a bad number.
    /// A line longer than `maxLen` is returned in parts of `maxLen` characters:
    /// `*cut` is set on each part that the line goes on after (the next call
    /// returns the rest), so memory stays bounded whatever the line length.
    LineRead ReadLineNo(std::int16_t fileNo, std::string& line, ErrorState& err,
                        std::size_t maxLen = static_cast<std::size_t>(-1), bool* cut = nullptr);

    /// True when an open file has nothing left to read (also for a bad number).
    bool AtEndNo(std::int16_t fileNo);

    /// Reads up to `maxLen` bytes of an open file as they are into `bytes`.
    /// kEnd when nothing is left to read; kError on a read failure or a bad number.
    LineRead ReadBytesNo(std::int16_t fileNo, std::string& bytes, std::size_t maxLen,
                         ErrorState& err);

    /// The rest of an open file holds a byte above 127 (looked at without
    /// moving the read position; false for a bad number or a failed read).
    bool EightBitNo(std::int16_t fileNo) const;
    /// Bytes of an open file not yet read (0 for a bad number).
    std::uint64_t UnreadNo(std::int16_t fileNo) const;

  private:
    struct OpenFile;
    OpenFile* Lookup(std::int16_t fileNo) const;

    std::vector<std::unique_ptr<OpenFile>> table_;
};

/// Moves a name into another folder; the name itself moves (a link, never
/// its target). The target folder must be a real folder, not a link (else
/// ENOTDIR, nothing moves). With `noReplace` an existing target is not
/// overwritten (the move fails with EEXIST). Both folders are synced, so the
/// move survives a crash. Across file systems a regular file is copied to a
/// unique temporary name in the target folder, synced, renamed into place, and
/// only then the source is deleted.
/// `sync` makes the two folders durable (by default at once).
bool MoveFileSafe(const std::string& from, const std::string& to, bool noReplace, ErrorState& err,
                  FolderSync& sync = SyncFoldersAtOnce());

/// Opens a folder the daemon writes into: the last part of `folder` must be a
/// real folder, not a link to one (ENOTDIR otherwise). Returns the descriptor
/// (the caller closes it), or -1.
int OpenRealFolder(const std::string& folder, ErrorState& err);

/// True when `name` (of any kind, a link included) is in `folder` and `folder`
/// is a real folder.
bool NameInRealFolder(const std::string& folder, const std::string& name);

/// Replaces folder + name by a new file holding `bytes`: written under a
/// unique temporary name in the same folder, then renamed over the name, so a
/// link under that name is replaced, never written through.
bool ReplaceFile(const std::string& folder, const std::string& name, const std::string& bytes,
                 ErrorState& err);

/// True when another process holds a lock on the file `path` (a claim, or a
/// writer's lock): a shared lock is tried without waiting and dropped at once,
/// so the holder is never disturbed. False when the file is free or cannot
/// be opened (no link is followed, nothing is created).
bool LockedElsewhere(const std::string& path);

/// Seconds since `path` last changed (its own time, a link not followed);
/// -1 when it is gone.
long long SecondsSinceChange(const std::string& path);

/// Deletes a file and has `sync` make its folder durable.
bool DeleteFileSafe(const std::string& path, ErrorState& err,
                    FolderSync& sync = SyncFoldersAtOnce());

}  // namespace bw
