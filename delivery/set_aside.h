// Setting aside: queue files that are never sent are moved, by name, into the
// queue's BAD folder. A pair one of whose files is a symbolic link, a hard
// link or no regular file is never read (a link's target is never opened or
// moved: the link itself moves); a ".dat" left without its ".msg" for ten
// minutes (a filing cut short by a kill) is set aside too, so it neither
// lingers nor counts as work for the scan.
// DIAGNOSTICS: each set-aside gives a "!!!" session-log line and a journal
// warning saying why; a pair also leaves a 590 minilog row. A move that fails
// (BAD not a real folder) leaves the names where they are with a "!!! ERROR:
// filing" line; it is said once and tried again on later scans without a word.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "delivery/delivery_context.h"

namespace bw {

/// Seconds a lone ".dat" waits for its ".msg" before it is set aside.
constexpr long long kLoneDatSeconds = 600;

class SetAside {
  public:
    explicit SetAside(DeliveryContext& ctx) : ctx_(ctx) {}

    /// Sets aside the pair `datName`/`msgName` (names in `queue`, a queue folder
    /// path ending in "/"; `base` the pair's base name). `why` names the refused
    /// file and the reason ("NAME.msg is a symbolic link"). `datFile`/`msgFile` are the
    /// file numbers of the files that could be claimed (0 for the refused ones);
    /// they are closed once their names have moved.
    void UnsafePair(const std::string& queue, const std::string& base, const std::string& datName,
                    const std::string& msgName, const std::string& why, std::int16_t datFile,
                    std::int16_t msgFile);

    /// Sets aside the lone ".dat" `datName` of `queue` when it has not changed
    /// for ten minutes and nobody holds it; otherwise leaves it alone.
    void LoneDat(const std::string& queue, const std::string& datName);

  private:
    void Journal(const std::string& text);
    /// True the first time a failed set-aside of `key` is met (a success forgets it).
    bool FirstReport(const std::string& key, bool moved);

    DeliveryContext& ctx_;
    std::set<std::string> reported_;  // failed set-asides already said
};

}  // namespace bw
