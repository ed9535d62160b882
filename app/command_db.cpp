#include "app/command_db.h"

#include "db/health_check.h"
#include "host/paths.h"
#include "platform/service.h"

namespace bw {

CommandDatabase::CommandDatabase(const std::string& appPath, ServiceControl& events)
    : appPath_(appPath),
      accPath_(appPath + "TarnIN/"),
      files_(appPath_, accPath_,
             [&events](const std::string& text) { events.LogEvent(2, 110, text); }),
      session_(factory_) {
    session_.UseConnectStrings({ExeFolder(), appPath_, &files_});
}

std::string CommandDatabase::Open() {
    ErrorState primary;
    if (session_.PrimaryString().empty()) {
        primary.Raise(0,
                      "no connection string: DBConnect.dat is missing or empty beside the "
                      "program and in " +
                          appPath_);
    } else if (session_.OpenPrimary(kPrimaryConnectTimeout, primary)) {
        return "";
    }
    if (session_.OpenAlternative() > 0) return "";
    return primary.Failed() ? primary.description : "the database cannot be reached";
}

}  // namespace bw
