// What the start-up learns about this installation: where the application
// folder and the account data are, its identifier, the version text and the
// language of the texts shown to a person. Filled once by the start-up (app/)
// and handed by reference to whoever needs it.
#pragma once

#include <string>

namespace bw {

struct Installation {
    std::string AppPath;  // ends with "/"
    std::string AccPath;  // AppPath + "TarnIN/" once the account folders exist
    std::string TarnID;
    std::string versionText;
    std::string uiLanguage = "English";
    std::string langFile;
    bool useUserHive = false;   // settings from the per-user store
    std::string forwardedList;  // as ForwardedListFromLines builds it

    /// AppPath + "lang/".
    std::string LangFolder() const { return AppPath + "lang/"; }
};

}  // namespace bw
