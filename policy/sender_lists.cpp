// Sender allow and deny lists: exact rows, wildcard rows and list files.
// The two lists are twins; they differ in the reconnection they use (the
// allow list replaces the connection object, the deny list reopens the one it
// has) and in how much of the table AddDisAllowed loads before adding its
// row. Errors are kept per call, so neither twin leaves one behind.
#include <cstdint>
#include <optional>
#include <string>

#include "platform/ascii_text.h"
#include "policy/policy_rules.h"
#include "policy/policy_store.h"

namespace bw {

struct SenderList {
    const char* table;
    const char* fileName;
    bool freshReconnect;  // the allow list replaces the connection object
    const char* addSource;
};

namespace {

const SenderList kAllowList{"tbl_allowed", "Allowed.lst", true,
                            "SELECT * FROM tbl_allowed LIMIT 1"};
// The deny list loads the whole table before adding a row.
const SenderList kDenyList{"tbl_disallowed", "DisAllowed.lst", false,
                           "SELECT * FROM tbl_disallowed"};

}  // namespace

std::int16_t PolicyStore::LookupSender(const SenderList& list, const std::string& from,
                                       const std::string& returnPath,
                                       const std::string& ownerAddress, std::string& cache) {
    if (from.empty() && returnPath.empty()) return 0;
    if (list.freshReconnect) {
        db_.ReconnectFresh();
    } else {
        db_.ReconnectReset();
    }
    // The list files are not consulted while the database is away.
    if (!db_.IsOpen()) return 0;

    const std::string ownerClause =
        ") AND (owner = '" + db_.Escape(ownerAddress) + "' OR owner = '')";
    std::string sql = std::string("SELECT * FROM ") + list.table + " WHERE (fromaddress = '" +
                      db_.Escape(from) + "'";
    if (!returnPath.empty() && LowerAscii(returnPath) != LowerAscii(from)) {
        sql += " OR fromaddress = '" + db_.Escape(returnPath) + "'";
    }
    sql += ownerClause;

    ErrorState err;
    if (!Query(sql, err)) return 0;
    const bool exact = rows_.RecordCount() > 0;
    rows_.Close(err);
    if (exact) return -1;
    const std::optional<std::int16_t> wild = MatchWildcardRows(list, ownerClause, from, returnPath);
    if (wild != 0) return wild.value_or(0);

    std::int16_t found =
        SearchListFile(files_, folders_.accPath + list.fileName, from, returnPath, cache);
    if (found == 0) {
        found = SearchListFile(files_, folders_.appPath + list.fileName, from, returnPath, cache);
    }
    return found;
}

// Wildcard rows: every row of the owner (or everybody) holding a star. -1 on
// a match; nullopt when a failed row dropped the connection (the lookup
// answers 0 then, without the list files).
std::optional<std::int16_t> PolicyStore::MatchWildcardRows(const SenderList& list,
                                                           const std::string& ownerClause,
                                                           const std::string& from,
                                                           const std::string& returnPath) {
    std::int16_t result = 0;
    ErrorState err;
    rows_.Open(std::string("SELECT * FROM ") + list.table +
                   " WHERE (fromaddress LIKE '%*%' ESCAPE '/'" + ownerClause,
               err);
    if (!err.Failed() && rows_.RecordCount() > 0) {
        rows_.MoveFirst(err);
        while (!rows_.Eof() && result == 0) {
            if (err.Failed()) {
                rows_.Drop();
                db_.CloseConnection();
                return std::nullopt;
            }
            const std::string pattern = rows_.Field("fromaddress", err).value_or("");
            if (WildMatch(from, pattern) != 0 || WildMatch(returnPath, pattern) != 0) result = -1;
            rows_.MoveNext(err);
        }
    }
    err.Clear();
    rows_.Close(err);
    return result;
}

void PolicyStore::AddSender(const SenderList& list, const std::string& fromAddress,
                            const std::string& ownerAddress) {
    if (!db_.HasConnection()) return;
    db_.ReconnectReopen();
    if (!db_.IsOpen()) return;
    ErrorState err;
    if (!Query(list.addSource, err)) return;
    rows_.AddNew(err);
    rows_.SetField("fromaddress", fromAddress, err);
    rows_.SetField("owner", ownerAddress, err);
    rows_.Update(err);
    rows_.Close(err);
}

std::int16_t PolicyStore::IsAllowed(const std::string& from, const std::string& returnPath,
                                    const std::string& ownerAddress) {
    return LookupSender(kAllowList, from, returnPath, ownerAddress, state_.allowCache);
}

std::int16_t PolicyStore::IsDisAllowed(const std::string& from, const std::string& returnPath,
                                       const std::string& ownerAddress) {
    return LookupSender(kDenyList, from, returnPath, ownerAddress, state_.disAllowCache);
}

void PolicyStore::AddAllowed(const std::string& fromAddress, const std::string& ownerAddress) {
    if (IsAllowed(fromAddress, fromAddress, ownerAddress) == -1) return;
    AddSender(kAllowList, fromAddress, ownerAddress);
}

void PolicyStore::AddDisAllowed(const std::string& fromAddress, const std::string& ownerAddress) {
    if (IsDisAllowed(fromAddress, fromAddress, ownerAddress) == -1) return;
    AddSender(kDenyList, fromAddress, ownerAddress);
}

}  // namespace bw
