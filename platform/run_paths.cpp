#include "platform/run_paths.h"

#include <cstdlib>

namespace bw {

std::string FolderFromEnv(const char* own, const char* systemd) {
    const char* v = std::getenv(own);
    if (v != nullptr && *v != '\0') return v;
    v = std::getenv(systemd);
    if (v != nullptr && *v != '\0') {
        std::string first(v);
        return first.substr(0, first.find(':'));
    }
    return {};
}

std::string RunDir() {
    const std::string chosen = FolderFromEnv("BW_RUN_DIR", "RUNTIME_DIRECTORY");
    return chosen.empty() ? "/run/bwtarnout" : chosen;
}

}  // namespace bw
