#include "delivery/filing.h"

#include <cerrno>
#include <cstdio>

#include "host/paths.h"

namespace bw {

namespace {

void FileFile(QueueFiles& files, const std::string& from, const std::string& folder, bool refused,
              std::int16_t& fileNo, ErrorState& err, FolderSync& sync) {
    const std::string name = from.substr(from.find_last_of('/') + 1);
    ErrorState fileErr;
    if (folder.empty() || NameInRealFolder(folder, name)) {
        DeleteFileSafe(from, fileErr, sync);
    } else if (!MoveFileSafe(from, folder + name, true, fileErr, sync)) {
        if (fileErr.number == EEXIST || !refused) {
            // Filed under that name meanwhile, or delivered: the trash copy is a courtesy.
            ErrorState delErr;
            if (fileErr.number == EEXIST) fileErr.Clear();
            DeleteFileSafe(from, delErr, sync);
            if (delErr.Failed()) fileErr.Raise(delErr.number, delErr.description);
        }
        // A refused message whose folder failed is never deleted: it stays queued.
    }
    if (fileErr.Failed()) err.Raise(fileErr.number, fileErr.description);
    files.CloseFileNo(fileNo);
    fileNo = 0;
}

}  // namespace

bool FilePair(QueueFiles& files, QueuePair& pair, bool refused, bool useTrash, ErrorState& err,
              FolderSync& sync) {
    const std::string q = pair.QueuePath();
    const std::string target = refused ? q + "BAD/" : (useTrash ? pair.accPath + "Trash/" : "");
    if (refused) MakePath(q + "BAD");
    // The files move under the names they were claimed by, whatever their letter case.
    auto claimedPath = [&](std::int16_t fileNo, const char* ext) {
        const std::string path = files.FilePathNo(fileNo);
        return path.empty() ? q + pair.name + ext : path;
    };
    FileFile(files, claimedPath(pair.msgFile, ".msg"), target, refused, pair.msgFile, err, sync);
    FileFile(files, claimedPath(pair.datFile, ".dat"), target, refused, pair.datFile, err, sync);
    return !err.Failed();
}

void TouchChangedFlag(const std::string& folder, double now) {
    char text[64];
    std::snprintf(text, sizeof text, "%.15g\r\n", now);
    // A new file replaces the flag, so a link put in its place is never written
    // through. The flag only tells the other components to look again: a
    // failure is harmless.
    ErrorState ignored;
    ReplaceFile(folder, "Changed.flg", text, ignored);
}

void ChangedFlagGroup::Touch(double now) {
    if (folder_.empty()) return;
    TouchChangedFlag(folder_, now);
    folder_.clear();
}

}  // namespace bw
