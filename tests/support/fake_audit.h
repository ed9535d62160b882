// An Audit that keeps what it is given: minilog rows and statistics counts.
// `fail` makes AddMinLog report a lost row.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "db/audit.h"

namespace bw::test {

class FakeAudit final : public Audit {
  public:
    ErrorState AddMinLog(const MinilogRow& record) override {
        rows.push_back(record);
        ErrorState err;
        if (fail) err.Raise(-2147467259, "Unable to reconnect to DB!");
        return err;
    }
    void IncStats(const std::string& field, std::int32_t amount) override {
        counts[field] += amount;
    }

    std::vector<MinilogRow> rows;
    std::map<std::string, int> counts;
    bool fail = false;
};

}  // namespace bw::test
