#include "platform/run_paths.h"

#include <cstdlib>

namespace bw {
namespace {

std::string FromEnv(const char* own, const char* systemd, const char* fallback) {
    const char* v = std::getenv(own);
    if (v != nullptr && *v != '\0') return v;
    v = std::getenv(systemd);
    if (v != nullptr && *v != '\0') {
        std::string first(v);
        return first.substr(0, first.find(':'));
    }
    return fallback;
}

}  // namespace

std::string RunDir() {
    return FromEnv("BW_RUN_DIR", "RUNTIME_DIRECTORY", "/run/bwtarnout");
}

}  // namespace bw
