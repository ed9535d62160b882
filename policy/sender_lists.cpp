// Sender allow and deny lists: exact rows, wildcard rows and list files.
// The two lists are twins; they differ in the reconnection they use (the
// allow list replaces the connection object, the deny list reopens the one it
// has) and in how much of the table AddDisAllowed loads before adding its
// row. Errors are kept per call, so neither twin leaves one behind.
#include <cstdint>
#include <string>

#include "db/connect_string.h"
#include "platform/day_serial.h"
#include "db/db_session.h"
#include "db/shared_main.h"
#include "host/globals.h"
#include "policy/policy_db.h"
#include "policy/policy_rules.h"
#include "policy/policy_state.h"

namespace bw {

namespace {

struct SenderList {
    const char* table;
    const char* fileName;
    bool freshReconnect;  // the allow list replaces the connection object
    const char* addSource;
};

const SenderList kAllowList{"tbl_allowed", "Allowed.lst", true,
                            "SELECT * FROM tbl_allowed LIMIT 1"};
// The deny list loads the whole table before adding a row.
const SenderList kDenyList{"tbl_disallowed", "DisAllowed.lst", false,
                           "SELECT * FROM tbl_disallowed"};

std::string Lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

std::int16_t LookupSender(const SenderList& list, const std::string& sFrom,
                          const std::string& sRetPath, const std::string& sOwnerAddress,
                          const std::string& accPath, std::string& cache) {
    if (sFrom.empty() && sRetPath.empty()) return 0;
    if (list.freshReconnect) {
        G().db.ReconnectFresh();
    } else {
        G().db.ReconnectReset();
    }
    // The list files are not consulted while the database is away.
    if (!PolicyDbOpen()) return 0;

    const std::string ownerClause = ") AND (owner = '" + Quote(sOwnerAddress) + "' OR owner = '')";
    std::string sql =
        std::string("SELECT * FROM ") + list.table + " WHERE (fromaddress = '" + Quote(sFrom) + "'";
    if (!sRetPath.empty() && Lower(sRetPath) != Lower(sFrom)) {
        sql += " OR fromaddress = '" + Quote(sRetPath) + "'";
    }
    sql += ownerClause;

    ErrorState err;
    OpenShared(sql, err);
    if (err.Failed()) {
        // The health check builds a new connection within a second.
        G().db.conn.reset();
        return 0;
    }
    std::int16_t result = G().db.rs->RecordCount() > 0 ? -1 : 0;
    CloseShared(err);
    if (result == -1) return result;

    // Wildcard rows: every row of the owner (or everybody) holding a star.
    err.Clear();
    OpenShared(std::string("SELECT * FROM ") + list.table +
                   " WHERE (fromaddress LIKE '%*%' ESCAPE '/'" + ownerClause,
               err);
    if (!err.Failed() && G().db.rs->RecordCount() > 0) {
        G().db.rs->MoveFirst(err);
        while (G().db.rs && !G().db.rs->Eof() && result == 0) {
            if (err.Failed()) {
                ErrorState ignored;
                G().db.rs->Close(ignored);
                G().db.rs.reset();
                if (G().db.conn) G().db.conn->Close(ignored);
                G().db.conn.reset();
                return 0;
            }
            const std::string pattern = FieldText("fromaddress", err).value_or("");
            if (clsSharedMain::WildMatch(sFrom, pattern) != 0 ||
                clsSharedMain::WildMatch(sRetPath, pattern) != 0) {
                result = -1;
            }
            G().db.rs->MoveNext(err);
        }
    }
    err.Clear();
    CloseShared(err);
    if (result == -1) return result;

    std::int16_t found = SearchListFile(accPath + list.fileName, sFrom, sRetPath, cache);
    if (found == 0) found = SearchListFile(G().AppPath + list.fileName, sFrom, sRetPath, cache);
    return found;
}

void AddSender(const SenderList& list, const std::string& sFromAddress,
               const std::string& sOwnerAddress) {
    if (!G().db.conn) return;
    G().db.ReconnectReopen();
    if (!PolicyDbOpen()) return;
    ErrorState err;
    OpenShared(list.addSource, err);
    if (err.Failed()) {
        G().db.conn.reset();
        return;
    }
    G().db.rs->AddNew(err);
    SetFieldText("fromaddress", sFromAddress, err);
    SetFieldText("owner", sOwnerAddress, err);
    G().db.rs->Update(err);
    CloseShared(err);
}

}  // namespace

PolicyState& clsSharedMain::Policy() {
    if (!policy_) policy_ = std::make_unique<PolicyState>();
    return *policy_;
}

std::int16_t clsSharedMain::IsAllowed(std::string sFrom, std::string sRetPath,
                                      std::string sOwnerAddress) {
    return LookupSender(kAllowList, sFrom, sRetPath, sOwnerAddress, sAccPath_, Policy().allowCache);
}

std::int16_t clsSharedMain::IsDisAllowed(std::string sFrom, std::string sRetPath,
                                         std::string sOwnerAddress) {
    return LookupSender(kDenyList, sFrom, sRetPath, sOwnerAddress, sAccPath_,
                        Policy().disAllowCache);
}

void clsSharedMain::AddAllowed(const std::string& sFromAddress, const std::string& sOwnerAddress) {
    if (IsAllowed(sFromAddress, sFromAddress, sOwnerAddress) == -1) return;
    AddSender(kAllowList, sFromAddress, sOwnerAddress);
}

void clsSharedMain::AddDisAllowed(const std::string& sFromAddress,
                                  const std::string& sOwnerAddress) {
    if (IsDisAllowed(sFromAddress, sFromAddress, sOwnerAddress) == -1) return;
    AddSender(kDenyList, sFromAddress, sOwnerAddress);
}

std::string clsSharedMain::AllowCache() {
    return Policy().allowCache;
}

std::string clsSharedMain::DisAllowCache() {
    return Policy().disAllowCache;
}

}  // namespace bw
