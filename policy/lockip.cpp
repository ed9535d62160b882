// IP lock: a reputation row per network (first three octets) in tbl_lockip,
// and the in-memory lock table with its list file "LockIP.lst".
// Without a database every code answers 0 and nothing is recorded.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "db/connect_string.h"
#include "db/db_session.h"
#include "db/shared_main.h"
#include "host/globals.h"
#include "host/textfile.h"
#include "platform/clock.h"
#include "platform/day_serial.h"
#include "policy/policy_db.h"
#include "policy/policy_rules.h"
#include "policy/policy_state.h"

namespace bw {

namespace {

// A column that cannot be read (NULL, or a failed read) keeps the working value.
template <typename T>
void ReadNumber(const char* name, T& into) {
    ErrorState ignored;
    if (auto v = FieldText(name, ignored)) {
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

void ReadLockRow(LockIPRecord& r) {
    ErrorState ignored;
    if (auto v = FieldText("netip", ignored)) r.netip = *v;
    ReadNumber("numspam", r.numspam);
    ReadNumber("numgood", r.numgood);
    ReadNumber("lastspam", r.lastspam);
    ReadNumber("lastgood", r.lastgood);
    ReadNumber("numrejects", r.numrejects);
    ReadNumber("lastreject", r.lastreject);
    ReadNumber("locklevel", r.locklevel);
    ReadNumber("lockdays", r.lockdays);
    ReadNumber("lastlocked", r.lastlocked);
}

void WriteLockRow(const LockIPRecord& r, ErrorState& err) {
    SetFieldText("netip", r.netip, err);
    SetFieldText("numspam", std::to_string(r.numspam), err);
    SetFieldText("numgood", std::to_string(r.numgood), err);
    SetFieldText("lastspam", DaySerialText(r.lastspam), err);
    SetFieldText("lastgood", DaySerialText(r.lastgood), err);
    SetFieldText("numrejects", DaySerialText(r.numrejects), err);
    SetFieldText("lastreject", DaySerialText(r.lastreject), err);
    SetFieldText("locklevel", std::to_string(r.locklevel), err);
    SetFieldText("lockdays", std::to_string(r.lockdays), err);
    SetFieldText("lastlocked", DaySerialText(r.lastlocked), err);
}

// Opens the list file locked against other readers and writers; -1 on failure.
int OpenLocked(const std::string& path, bool forWriting) {
    const int fd = G().files->Open(path, forWriting ? O_WRONLY | O_CREAT : O_RDONLY);
    if (fd < 0) return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || (forWriting && ::ftruncate(fd, 0) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

std::int16_t clsSharedMain::CheckLockIP(const std::string& sIP, const std::string& sCode) {
    const std::optional<std::string> key = NetworkPart(sIP);
    if (!key) return 0;
    G().db.ReconnectReset();
    if (!PolicyDbOpen()) return 0;
    const double now = G().clock->Now();

    ErrorState err;
    OpenShared("SELECT * FROM tbl_lockip WHERE netip = '" + Quote(*key) + "'" + " OR netip = '" +
                   Quote(sIP) + "'",
               err);
    if (err.Failed()) {
        G().db.conn.reset();
        return 0;
    }

    DbRecordset& rs = *G().db.rs;
    LockIPRecord row;  // working values; a row keyed by the full address may fill them
    bool haveRow = false;
    LockDecision d;
    const long count = rs.RecordCount();
    if (count > 0) rs.MoveFirst(err);
    for (long i = 0; i < count && !rs.Eof(); ++i) {
        ReadLockRow(row);
        if (row.netip == *key) {
            haveRow = true;
            d = ApplyLockCode(row, sCode, now, SharedPolicySettings());
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
            WriteLockRow(row, err);
            rs.Update(err);
        }
    }
    CloseShared(err);
    return d.result;
}

void clsSharedMain::SaveLockIP() {
    const int fd = OpenLocked(G().AppPath + "LockIP.lst", true);
    if (fd < 0) return;
    const std::vector<LockIPRecord>& table = Policy().lockTable;
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

void clsSharedMain::LoadLockIP() {
    std::vector<LockIPRecord>& table = Policy().lockTable;
    table.assign(1, LockIPRecord{});
    const int fd = OpenLocked(G().AppPath + "LockIP.lst", false);
    if (fd < 0) return;
    std::string text;
    char buf[8192];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    ::close(fd);
    for (LockIPRecord& r : ParseLockList(text)) table.push_back(std::move(r));
}

}  // namespace bw
