// Greylisting of (network, sender, recipient) triplets in tbl_greylist, and
// the in-memory greylist with its list file "GreyIP.lst".
// Result 9 means the database could not be reached or the query failed; a
// database failure inside the row loop drops the session's connection and
// recordset (the health check rebuilds them) and returns the result as it
// stands.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "host/textfile.h"
#include "platform/day_serial.h"
#include "policy/policy_rules.h"
#include "policy/policy_store.h"

namespace bw {

namespace {

constexpr std::int16_t kNoDatabase = 9;
const char* const kDroppedAction = "595 Dropped from DDS";

// A NULL column reads as 0 or empty text; a failed read is recorded in err.
GreyEntry ReadGreyRow(const SharedRecordset& rows, ErrorState& err) {
    auto text = [&](const char* name) { return rows.Field(name, err).value_or(""); };
    auto number = [&](const char* name) { return ParseLeadingNumber(text(name)); };
    GreyEntry e;
    e.netip = text("netip");
    e.mailfrom = text("mailfrom");
    e.mailto = text("mailto");
    e.ipaddress = text("ipaddress");
    e.rectime = number("rectime");
    e.allowtime = number("allowtime");
    e.exptime = number("exptime");
    e.lastcontact = number("lastcontact");
    e.allowed = ToInt16(number("allowed"));
    e.earlycount = ToInt32(number("earlycount"));
    return e;
}

}  // namespace

struct Triplet {
    std::string ip;
    std::string net;
    std::string mailFrom;
    std::string mailTo;
    double now;
};

std::int16_t PolicyStore::CheckGreyIP(const std::string& ip, const std::string& mailFrom,
                                      const std::string& mailTo, const std::string& type,
                                      std::int16_t isAllowed, std::int16_t /*deleteFlag*/) {
    const std::optional<std::string> net = NetworkPart(ip);
    if (!net) return 0;
    const Triplet t{ip, *net, mailFrom, mailTo, clock_.Now()};
    if (!db_.HasConnection()) return kNoDatabase;
    db_.ReconnectReset();
    if (!db_.IsOpen()) return kNoDatabase;

    std::string sql;
    if (type == "VG") {
        sql = "SELECT netip,allowed FROM tbl_greylist USE INDEX (netip_allow) WHERE netip = '" +
              db_.Escape(t.net) + "'" + " AND allowed = -1";
    } else {
        sql = "SELECT * FROM tbl_greylist WHERE netip = '" + db_.Escape(t.net) + "'" +
              " AND mailfrom = '" + db_.Escape(mailFrom) + "'" + " AND mailto = '" +
              db_.Escape(mailTo) + "'";
    }
    ErrorState err;
    if (!Query(sql, err)) return kNoDatabase;
    if (type == "VG") {
        const std::int16_t result = rows_.RecordCount() > 0 ? -1 : 0;
        rows_.Close(err);
        return result;
    }
    const bool deleting = type == "D";
    bool examined = false;
    std::int16_t result = ExamineTriplet(t, deleting, examined);
    if (!rows_.Exists()) return result;  // the loop failed and dropped the session
    if (!deleting && !examined) result = AddTriplet(t, isAllowed, err);
    rows_.Close(err);
    return result;
}

// Deletes every row of the triplet, or judges its first row.
std::int16_t PolicyStore::ExamineTriplet(const Triplet& t, bool deleting, bool& examined) {
    std::int16_t result = 0;
    ErrorState err;
    if (rows_.RecordCount() <= 0) return result;
    rows_.MoveFirst(err);
    while (!rows_.Eof()) {
        if (err.Failed()) {
            rows_.Drop();
            db_.DropConnection();
            return result;
        }
        GreyEntry e = ReadGreyRow(rows_, err);
        examined = true;
        if (!deleting) return JudgeTriplet(t, e, err);  // only the first row counts
        rows_.Delete(err);
        rows_.MoveNext(err);
    }
    return result;
}

std::int16_t PolicyStore::JudgeTriplet(const Triplet& t, GreyEntry& e, ErrorState& err) {
    const GreyVerdict v = JudgeGreyEntry(e, t.now, settings);
    switch (v) {
        case GreyVerdict::Pass:
            rows_.SetField("lastcontact", DaySerialText(t.now), err);
            rows_.Update(err);
            audit_.IncStats("passedgrey", 1);
            break;
        case GreyVerdict::TooEarly:
            AddOne(e.earlycount);
            rows_.SetField("earlycount", std::to_string(e.earlycount), err);
            rows_.SetField("ipaddress", t.ip, err);
            rows_.Update(err);
            break;
        case GreyVerdict::Promote:
            rows_.SetField("allowed", "-1", err);
            rows_.SetField("lastcontact", DaySerialText(t.now), err);
            rows_.Update(err);
            audit_.IncStats("allowedgrey", 1);
            audit_.IncStats("passedgrey", 1);
            break;
        case GreyVerdict::Expired:
        case GreyVerdict::TooLate:
            break;  // left for the purge
    }
    ErrorState ignored;
    rows_.MoveNext(ignored);
    return GreyResultCode(v);
}

std::int16_t PolicyStore::AddTriplet(const Triplet& t, std::int16_t isAllowed, ErrorState& err) {
    std::int16_t result = 0;
    rows_.AddNew(err);
    rows_.SetField("netip", t.net, err);
    rows_.SetField("ipaddress", t.ip, err);
    rows_.SetField("mailfrom", t.mailFrom, err);
    rows_.SetField("mailto", t.mailTo, err);
    rows_.SetField("rectime", DaySerialText(t.now), err);
    if (isAllowed != 0) {
        rows_.SetField("allowed", "-1", err);
        rows_.SetField("lastcontact", DaySerialText(t.now), err);
        result = 3;
    }
    rows_.Update(err);
    if (isAllowed == 0) audit_.IncStats("addedgrey", 1);
    return result;
}

void PolicyStore::SaveGreyIP() {
    PolicyState& p = state_;
    if (p.greyListBusy) return;
    p.greyListBusy = true;
    const int fd = files_.Open(folders_.appPath + "GreyIP.lst", O_WRONLY | O_CREAT);
    std::FILE* f = fd >= 0 && ::ftruncate(fd, 0) == 0 ? ::fdopen(fd, "wb") : nullptr;
    if (f == nullptr) {
        if (fd >= 0) ::close(fd);
        p.greyListBusy = false;
        return;
    }
    const double now = clock_.Now();
    size_t dropped = 0;
    for (size_t i = 1; i < p.greyList.size(); ++i) {
        GreyEntry& e = p.greyList[i];
        if (e.netip.empty()) {
            ++dropped;
        } else if (KeepGreyEntry(e, now, settings)) {
            const std::string line = GreyLine(e) + "\r\n";
            std::fwrite(line.data(), 1, line.size(), f);
        } else {
            audit_.AddMinLog(MinilogRow{e.netip, now, e.mailfrom, e.mailto, kDroppedAction});
            e.netip.clear();
            ++dropped;
        }
    }
    std::fclose(f);
    p.greyListBusy = false;
    const size_t last = p.greyList.size() - 1;
    // A sparse list is rebuilt from the file just written.
    if (last > 100 && static_cast<double>(dropped) > last / 2.0) LoadGreyIP();
}

void PolicyStore::LoadGreyIP() {
    std::vector<GreyEntry>& list = state_.greyList;
    list.assign(1, GreyEntry{});
    const auto lines = ReadListLines(files_, folders_.appPath + "GreyIP.lst");
    if (!lines) return;
    for (GreyEntry& e : ParseGreyList(*lines)) list.push_back(std::move(e));
}

}  // namespace bw
