// IP lock: a reputation row per network (first three octets) in tbl_lockip,
// and the in-memory lock table with its list file "LockIP.lst".
// Without a database every code answers 0 and nothing is recorded.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "host/textfile.h"
#include "platform/day_serial.h"
#include "policy/policy_rules.h"
#include "policy/policy_store.h"

namespace bw {

namespace {

// A column that cannot be read (NULL, or a failed read) keeps the working value.
template <typename T>
void ReadNumber(PolicyDb& db, const char* name, T& into) {
    ErrorState ignored;
    if (auto v = db.Field(name, ignored)) {
        const double d = ParseLeadingNumber(*v);
        if constexpr (std::is_same_v<T, double>) {
            into = d;
        } else if constexpr (std::is_same_v<T, std::int16_t>) {
            into = ToInt16(d);
        } else {
            into = ToInt32(d);
        }
    }
}

void ReadLockRow(PolicyDb& db, LockIPRecord& r) {
    ErrorState ignored;
    if (auto v = db.Field("netip", ignored)) r.netip = *v;
    ReadNumber(db, "numspam", r.numspam);
    ReadNumber(db, "numgood", r.numgood);
    ReadNumber(db, "lastspam", r.lastspam);
    ReadNumber(db, "lastgood", r.lastgood);
    ReadNumber(db, "numrejects", r.numrejects);
    ReadNumber(db, "lastreject", r.lastreject);
    ReadNumber(db, "locklevel", r.locklevel);
    ReadNumber(db, "lockdays", r.lockdays);
    ReadNumber(db, "lastlocked", r.lastlocked);
}

void WriteLockRow(PolicyDb& db, const LockIPRecord& r, ErrorState& err) {
    db.SetField("netip", r.netip, err);
    db.SetField("numspam", std::to_string(r.numspam), err);
    db.SetField("numgood", std::to_string(r.numgood), err);
    db.SetField("lastspam", DaySerialText(r.lastspam), err);
    db.SetField("lastgood", DaySerialText(r.lastgood), err);
    db.SetField("numrejects", DaySerialText(r.numrejects), err);
    db.SetField("lastreject", DaySerialText(r.lastreject), err);
    db.SetField("locklevel", std::to_string(r.locklevel), err);
    db.SetField("lockdays", std::to_string(r.lockdays), err);
    db.SetField("lastlocked", DaySerialText(r.lastlocked), err);
}

// Opens the list file locked against other readers and writers; -1 on failure.
int OpenLocked(SettingsFiles& files, const std::string& path, bool forWriting) {
    const int fd = files.Open(path, forWriting ? O_WRONLY | O_CREAT : O_RDONLY);
    if (fd < 0) return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || (forWriting && ::ftruncate(fd, 0) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

std::int16_t PolicyStore::CheckLockIP(const std::string& ip, const std::string& sCode) {
    const std::optional<std::string> key = NetworkPart(ip);
    if (!key) return 0;
    db_.session.ReconnectReset();
    if (!db_.IsOpen()) return 0;
    const double now = clock_.Now();

    ErrorState err;
    db_.Open("SELECT * FROM tbl_lockip WHERE netip = '" + db_.Quote(*key) + "'" + " OR netip = '" +
                 db_.Quote(ip) + "'",
             err);
    if (err.Failed()) {
        db_.session.conn.reset();
        return 0;
    }

    DbRecordset& rs = *db_.session.rs;
    LockIPRecord row;  // working values; a row keyed by the full address may fill them
    bool haveRow = false;
    LockDecision d;
    const long count = rs.RecordCount();
    if (count > 0) rs.MoveFirst(err);
    for (long i = 0; i < count && !rs.Eof(); ++i) {
        ReadLockRow(db_, row);
        if (row.netip == *key) {
            haveRow = true;
            d = ApplyLockCode(row, sCode, now, settings);
            break;
        }
        rs.MoveNext(err);
    }
    if (!d.finish) {
        if (!haveRow && StartLockRow(row, *key, sCode, now)) {
            haveRow = true;
            d.changed = true;
            rs.AddNew(err);
        }
        // An "R" or unknown code for a network without a row stores nothing.
        if (haveRow && (sCode.empty() || sCode[0] != 'V' || d.changed)) {
            WriteLockRow(db_, row, err);
            rs.Update(err);
        }
    }
    db_.Close(err);
    return d.result;
}

void PolicyStore::SaveLockIP() {
    const int fd = OpenLocked(files_, folders_.appPath + "LockIP.lst", true);
    if (fd < 0) return;
    const std::vector<LockIPRecord>& table = state_.lockTable;
    std::string text;
    for (size_t i = 1; i < table.size(); ++i) text += LockLine(table[i]) + "\r\n";
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
}

void PolicyStore::LoadLockIP() {
    std::vector<LockIPRecord>& table = state_.lockTable;
    table.assign(1, LockIPRecord{});
    const int fd = OpenLocked(files_, folders_.appPath + "LockIP.lst", false);
    if (fd < 0) return;
    std::string text;
    char buf[8192];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    ::close(fd);
    for (LockIPRecord& r : ParseLockList(text)) table.push_back(std::move(r));
}

}  // namespace bw
