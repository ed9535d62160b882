// Greylisting of (network, sender, recipient) triplets in tbl_greylist, and
// the in-memory greylist with its list file "GreyIP.lst".
// Result 9 means the database could not be reached or the query failed; a
// database failure inside the row loop drops oDBConn and oDBRS (the health
// check rebuilds them) and returns the result as it stands.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
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

constexpr std::int16_t kNoDatabase = 9;
const char* const kDroppedAction = "595 Dropped from DDS";

// A NULL column reads as 0 or empty text; a failed read is recorded in err.
GreyEntry ReadGreyRow(ErrorState& err) {
    auto text = [&](const char* name) { return FieldText(name, err).value_or(""); };
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

std::int16_t clsSharedMain::CheckGreyIP(const std::string& sIP, const std::string& sMailFrom,
                                        const std::string& sMailTo, const std::string& sType,
                                        std::int16_t iIsAllowed, std::int16_t /*iDel*/) {
    const std::optional<std::string> net = NetworkPart(sIP);
    if (!net) return 0;
    const double now = G().clock->Now();
    if (!G().db.conn) return kNoDatabase;
    G().db.ReconnectReset();
    if (!PolicyDbOpen()) return kNoDatabase;

    std::string sql;
    if (sType == "VG") {
        sql = "SELECT netip,allowed FROM tbl_greylist USE INDEX (netip_allow) WHERE netip = '" +
              Quote(*net) + "'" + " AND allowed = -1";
    } else {
        sql = "SELECT * FROM tbl_greylist WHERE netip = '" + Quote(*net) + "'" +
              " AND mailfrom = '" + Quote(sMailFrom) + "'" + " AND mailto = '" + Quote(sMailTo) +
              "'";
    }
    ErrorState err;
    OpenShared(sql, err);
    if (err.Failed()) {
        G().db.conn.reset();
        return kNoDatabase;
    }
    DbRecordset& rs = *G().db.rs;
    std::int16_t result = 0;
    if (sType == "VG") {
        result = rs.RecordCount() > 0 ? -1 : 0;
        CloseShared(err);
        return result;
    }

    const SharedSettings& s = SharedPolicySettings();
    const bool deleting = sType == "D";
    bool examined = false;
    bool ended = false;
    if (rs.RecordCount() > 0) {
        rs.MoveFirst(err);
        while (!rs.Eof() && !ended) {
            if (err.Failed()) {
                ErrorState ignored;
                rs.Close(ignored);
                G().db.rs.reset();
                G().db.conn.reset();
                return result;
            }
            GreyEntry e = ReadGreyRow(err);
            examined = true;
            if (deleting) {
                rs.Delete(err);
            } else {
                // Only the first row of a triplet is ever examined.
                ended = true;
                const GreyVerdict v = JudgeGreyEntry(e, now, s);
                result = GreyResultCode(v);
                switch (v) {
                    case GreyVerdict::Pass:
                        SetFieldText("lastcontact", DaySerialText(now), err);
                        rs.Update(err);
                        IncStats(G().TarnID, "passedgrey", 1, 0);
                        break;
                    case GreyVerdict::TooEarly:
                        AddOne(e.earlycount);
                        SetFieldText("earlycount", std::to_string(e.earlycount), err);
                        SetFieldText("ipaddress", sIP, err);
                        rs.Update(err);
                        break;
                    case GreyVerdict::Promote:
                        SetFieldText("allowed", "-1", err);
                        SetFieldText("lastcontact", DaySerialText(now), err);
                        rs.Update(err);
                        IncStats(G().TarnID, "allowedgrey", 1, 0);
                        IncStats(G().TarnID, "passedgrey", 1, 0);
                        break;
                    case GreyVerdict::Expired:
                    case GreyVerdict::TooLate:
                        break;  // left for the purge
                }
            }
            rs.MoveNext(err);
        }
    }

    if (!deleting && !examined) {
        rs.AddNew(err);
        SetFieldText("netip", *net, err);
        SetFieldText("ipaddress", sIP, err);
        SetFieldText("mailfrom", sMailFrom, err);
        SetFieldText("mailto", sMailTo, err);
        SetFieldText("rectime", DaySerialText(now), err);
        if (iIsAllowed != 0) {
            SetFieldText("allowed", "-1", err);
            SetFieldText("lastcontact", DaySerialText(now), err);
            result = 3;
        }
        rs.Update(err);
        if (iIsAllowed == 0) IncStats(G().TarnID, "addedgrey", 1, 0);
    }
    CloseShared(err);
    return result;
}

void clsSharedMain::SaveGreyIP() {
    PolicyState& p = Policy();
    if (p.greyListBusy) return;
    p.greyListBusy = true;
    const int fd = G().files->Open(G().AppPath + "GreyIP.lst", O_WRONLY | O_CREAT);
    std::FILE* f = fd >= 0 && ::ftruncate(fd, 0) == 0 ? ::fdopen(fd, "wb") : nullptr;
    if (f == nullptr) {
        if (fd >= 0) ::close(fd);
        p.greyListBusy = false;
        return;
    }
    const double now = G().clock->Now();
    const SharedSettings& s = SharedPolicySettings();
    size_t dropped = 0;
    for (size_t i = 1; i < p.greyList.size(); ++i) {
        GreyEntry& e = p.greyList[i];
        if (e.netip.empty()) {
            ++dropped;
        } else if (KeepGreyEntry(e, now, s)) {
            const std::string line = GreyLine(e) + "\r\n";
            std::fwrite(line.data(), 1, line.size(), f);
        } else {
            tMinLog t{e.netip, now, e.mailfrom, e.mailto, kDroppedAction};
            WriteMinLog(t);
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

void clsSharedMain::LoadGreyIP() {
    std::vector<GreyEntry>& list = Policy().greyList;
    list.assign(1, GreyEntry{});
    const auto lines = ReadTextLines(G().AppPath + "GreyIP.lst");
    if (!lines) return;
    for (GreyEntry& e : ParseGreyList(*lines)) list.push_back(std::move(e));
}

}  // namespace bw
