// clsSharedMain: the gateway's shared class, today the shared policy store
// and its settings (the minilog rows and counts are DbAudit's, db/db_audit.h).
// Every member ignores its own errors. Nothing here throws.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/error_state.h"

namespace bw {

struct PolicyState;

class clsSharedMain {
  public:
    clsSharedMain();
    ~clsSharedMain();
    clsSharedMain(const clsSharedMain&) = delete;
    clsSharedMain& operator=(const clsSharedMain&) = delete;

    // --- settings (write-only properties) -------------------------------
    void SetAccPath(const std::string& sAccPath);
    void SetIPLockThreshold(std::int16_t v);
    void SetIPLockUnit(std::int16_t v);
    void SetRBLLockPoint(std::int16_t v);
    void SetGreyDelay(std::int16_t v);
    void SetGreyFrame(std::int16_t v);
    void SetGreyExp(std::int16_t v);
    void SetGreyAutoWL(std::int16_t v);
    void SetMBFF(std::int16_t v);

    /// Open-relay check: never enabled, always 0.
    std::int16_t CheckOR(const std::string& sAddress, const std::string& sAction,
                         const std::string& sSender);

    // --- policy store (defined in policy/) ---------------------------------
    // BEGIN policy members
    /// -1 when sFrom or sRetPath is on the allow list for the owner or for
    /// everybody (exact row, wildcard row, list file); 0 otherwise or without
    /// a database.
    std::int16_t IsAllowed(std::string sFrom, std::string sRetPath, std::string sOwnerAddress = "");
    /// The same for the deny list.
    std::int16_t IsDisAllowed(std::string sFrom, std::string sRetPath,
                              std::string sOwnerAddress = "");
    /// Adds a row to tbl_allowed unless the address is already allowed.
    void AddAllowed(const std::string& sFromAddress, const std::string& sOwnerAddress = "");
    /// Adds a row to tbl_disallowed unless the address is already denied.
    void AddDisAllowed(const std::string& sFromAddress, const std::string& sOwnerAddress = "");
    /// Every address matched in a list file, upper-cased, each followed by a tab.
    std::string AllowCache();
    std::string DisAllowCache();
    /// -1 when the address matches the pattern ("*" wildcards, case ignored).
    static std::int16_t WildMatch(const std::string& sAddress, const std::string& sPattern);

    /// Records an event ("S", "SD", "G", "R") or answers a question ("VS",
    /// "VG", "VR": -1 or 0) about the network of an IPv4 address.
    std::int16_t CheckLockIP(const std::string& sIP, const std::string& sCode);
    /// Writes / reads the in-memory lock table to / from AppPath "LockIP.lst".
    void SaveLockIP();
    void LoadLockIP();

    /// Greylisting of (network, sender, recipient): 0 pending or nothing
    /// passed, 1 too early, 2 too late, 3 pass, 9 no database; "VG" gives -1
    /// when the network has an allowed triplet; "D" deletes the triplet.
    std::int16_t CheckGreyIP(const std::string& sIP, const std::string& sMailFrom,
                             const std::string& sMailTo, const std::string& sType,
                             std::int16_t iIsAllowed, std::int16_t iDel);
    /// Writes the kept entries of the in-memory greylist to AppPath
    /// "GreyIP.lst", logging every dropped one; compacts a sparse list.
    void SaveGreyIP();
    void LoadGreyIP();

    /// Deletes expired allowed and stale pending triplets; at most once a minute.
    void PurgeDB();

    /// The policy state, created on first use.
    PolicyState& Policy();

    // END policy members

    const std::string& AccPath() const { return sAccPath_; }

  private:
    std::string sAccPath_;
    // Policy caches, lists and timers, owned here and defined in policy/.
    std::unique_ptr<PolicyState> policy_;
};

/// Process-wide settings behind the class's properties (shared by all instances).
struct SharedSettings {
    std::int16_t IPLockThreshold = 0;
    std::int16_t IPLockUnit = 0;
    std::int16_t RBLLockPoint = 0;
    std::int16_t GreyDelay = 0;
    std::int16_t GreyFrame = 0;
    std::int16_t GreyExp = 0;
    std::int16_t GreyAutoWL = 0;
    std::int16_t MBFF = 0;
};
SharedSettings& SharedPolicySettings();

}  // namespace bw
