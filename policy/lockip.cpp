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
void ReadNumber(const SharedRecordset& rows, const char* name, T& into) {
    ErrorState ignored;
    if (auto v = rows.Field(name, ignored)) {
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

void ReadLockRow(const SharedRecordset& rows, LockIPRecord& r) {
    ErrorState ignored;
    if (auto v = rows.Field("netip", ignored)) r.netip = *v;
    ReadNumber(rows, "numspam", r.numspam);
    ReadNumber(rows, "numgood", r.numgood);
    ReadNumber(rows, "lastspam", r.lastspam);
    ReadNumber(rows, "lastgood", r.lastgood);
    ReadNumber(rows, "numrejects", r.numrejects);
    ReadNumber(rows, "lastreject", r.lastreject);
    ReadNumber(rows, "locklevel", r.locklevel);
    ReadNumber(rows, "lockdays", r.lockdays);
    ReadNumber(rows, "lastlocked", r.lastlocked);
}

void WriteLockRow(SharedRecordset& rows, const LockIPRecord& r, ErrorState& err) {
    rows.SetField("netip", r.netip, err);
    rows.SetField("numspam", std::to_string(r.numspam), err);
    rows.SetField("numgood", std::to_string(r.numgood), err);
    rows.SetField("lastspam", DaySerialText(r.lastspam), err);
    rows.SetField("lastgood", DaySerialText(r.lastgood), err);
    rows.SetField("numrejects", DaySerialText(r.numrejects), err);
    rows.SetField("lastreject", DaySerialText(r.lastreject), err);
    rows.SetField("locklevel", std::to_string(r.locklevel), err);
    rows.SetField("lockdays", std::to_string(r.lockdays), err);
    rows.SetField("lastlocked", DaySerialText(r.lastlocked), err);
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

std::int16_t PolicyStore::CheckLockIP(const std::string& ip, const std::string& code) {
    const std::optional<std::string> key = NetworkPart(ip);
    if (!key) return 0;
    db_.ReconnectReset();
    if (!db_.IsOpen()) return 0;
    const double now = clock_.Now();

    ErrorState err;
    if (!Query("SELECT * FROM tbl_lockip WHERE netip = '" + db_.Escape(*key) + "'" +
                   " OR netip = '" + db_.Escape(ip) + "'",
               err)) {
        return 0;
    }

    LockIPRecord row;  // working values; a row keyed by the full address may fill them
    bool haveRow = false;
    LockDecision d;
    const long count = rows_.RecordCount();
    if (count > 0) rows_.MoveFirst(err);
    for (long i = 0; i < count && !rows_.Eof(); ++i) {
        ReadLockRow(rows_, row);
        if (row.netip == *key) {
            haveRow = true;
            d = ApplyLockCode(row, code, now, settings);
            break;
        }
        rows_.MoveNext(err);
    }
    if (!d.finish) {
        if (!haveRow && StartLockRow(row, *key, code, now)) {
            haveRow = true;
            d.changed = true;
            rows_.AddNew(err);
        }
        // An "R" or unknown code for a network without a row stores nothing.
        if (haveRow && (code.empty() || code[0] != 'V' || d.changed)) {
            WriteLockRow(rows_, row, err);
            rows_.Update(err);
        }
    }
    rows_.Close(err);
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
