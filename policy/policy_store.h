// PolicyStore: the gateway's shared policy store. Sender allow and deny lists
// (tables and list files), the IP lock per network, greylisting of (network,
// sender, recipient) triplets with the purge of old ones, and the in-memory
// lock table and greylist with their list files "LockIP.lst" and
// "GreyIP.lst" in the application folder.
// It works on the database session's shared connection and recordset, reads
// the time from its clock and counts greylist results and dropped list
// entries through the audit.
// DIAGNOSTICS: nothing is returned but the answers documented below; a
// database that cannot be reached gives the no-database answer, a failed
// query drops the connection for the health check to rebuild. A list file
// that cannot be used is named in the event log (host/textfile.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "db/audit.h"
#include "db/db_session.h"
#include "db/shared_recordset.h"
#include "platform/clock.h"
#include "platform/error_state.h"
#include "policy/policy_settings.h"
#include "policy/policy_state.h"

namespace bw {

/// Where the list files are; both folders end with "/".
struct PolicyFolders {
    std::string appPath;  // LockIP.lst, GreyIP.lst and the second list files
    std::string accPath;  // the first list files (usually appPath + "TarnIN/")
};

class SettingsFiles;
struct SenderList;  // policy/sender_lists.cpp
struct Triplet;     // policy/greylist.cpp

class PolicyStore {
  public:
    /// `files` reads LockIP.lst, GreyIP.lst and the sender list files with the
    /// checks of every settings file.
    PolicyStore(DbSession& session, const Clock& clock, Audit& audit, SettingsFiles& files,
                PolicyFolders folders, PolicySettings settings = {});
    PolicyStore(const PolicyStore&) = delete;
    PolicyStore& operator=(const PolicyStore&) = delete;

    /// The rules' settings; the owner may change them at any time.
    PolicySettings settings;

    // --- sender lists ---------------------------------------------------
    /// -1 when `from` or returnPath is on the allow list for the owner or for
    /// everybody (exact row, wildcard row, list file); 0 otherwise or without
    /// a database.
    std::int16_t IsAllowed(const std::string& from, const std::string& returnPath,
                           const std::string& ownerAddress = "");
    /// The same for the deny list.
    std::int16_t IsDisAllowed(const std::string& from, const std::string& returnPath,
                              const std::string& ownerAddress = "");
    /// Adds a row to tbl_allowed unless the address is already allowed.
    void AddAllowed(const std::string& fromAddress, const std::string& ownerAddress = "");
    /// Adds a row to tbl_disallowed unless the address is already denied.
    void AddDisAllowed(const std::string& fromAddress, const std::string& ownerAddress = "");
    /// Every address matched in a list file, upper-cased, each followed by a tab.
    const std::string& AllowCache() const { return state_.allowCache; }
    const std::string& DisAllowCache() const { return state_.disAllowCache; }

    // --- IP lock --------------------------------------------------------
    /// Records an event ("S", "SD", "G", "R") or answers a question ("VS",
    /// "VG", "VR": -1 or 0) about the network of an IPv4 address.
    std::int16_t CheckLockIP(const std::string& ip, const std::string& code);
    /// Writes / reads the in-memory lock table to / from "LockIP.lst".
    void SaveLockIP();
    void LoadLockIP();

    // --- greylisting ----------------------------------------------------
    /// Greylisting of (network, sender, recipient): 0 pending or nothing
    /// passed, 1 too early, 2 too late, 3 pass, 9 no database; "VG" gives -1
    /// when the network has an allowed triplet; "D" deletes the triplet
    /// (`deleteFlag` is not read).
    std::int16_t CheckGreyIP(const std::string& ip, const std::string& mailFrom,
                             const std::string& mailTo, const std::string& type,
                             std::int16_t isAllowed, std::int16_t deleteFlag);
    /// Writes the kept entries of the in-memory greylist to "GreyIP.lst",
    /// logging every dropped one; compacts a sparse list.
    void SaveGreyIP();
    void LoadGreyIP();
    /// Deletes expired allowed and stale pending triplets; at most once a minute.
    void PurgeDB();

    /// The caches, the in-memory tables and the purge timer.
    PolicyState& Policy() { return state_; }

  private:
    /// Opens the shared recordset on `sql`; false when that failed, the
    /// connection then let go for the health check to rebuild.
    bool Query(const std::string& sql, ErrorState& err);
    std::int16_t LookupSender(const SenderList& list, const std::string& from,
                              const std::string& returnPath, const std::string& ownerAddress,
                              std::string& cache);
    std::optional<std::int16_t> MatchWildcardRows(const SenderList& list,
                                                  const std::string& ownerClause,
                                                  const std::string& from,
                                                  const std::string& returnPath);
    void AddSender(const SenderList& list, const std::string& fromAddress,
                   const std::string& ownerAddress);
    std::int16_t ExamineTriplet(const Triplet& t, bool deleting, bool& examined);
    std::int16_t JudgeTriplet(const Triplet& t, GreyEntry& e, ErrorState& err);
    std::int16_t AddTriplet(const Triplet& t, std::int16_t isAllowed, ErrorState& err);

    DbSession& db_;
    SharedRecordset& rows_;  // the session's shared recordset
    const Clock& clock_;
    Audit& audit_;
    SettingsFiles& files_;
    PolicyFolders folders_;
    PolicyState state_;
};

}  // namespace bw
