#include "host/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace bw {

std::int16_t PathExists(const std::string& path) {
    if (path.empty()) return 0;
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? -1 : 0;  // a dangling link is nothing
}

std::int16_t MakePath(const std::string& path) {
    // Create each prefix in turn; an existing folder or any other error is ignored.
    std::string built;
    std::size_t pos = 0;
    while (pos <= path.size()) {
        const std::size_t next = path.find('/', pos);
        const std::string piece =
            path.substr(pos, next == std::string::npos ? std::string::npos : next - pos);
        built += piece;
        if (!built.empty()) ::mkdir(built.c_str(), 0755);
        if (next == std::string::npos) break;
        built += '/';
        pos = next + 1;
    }
    return -1;
}

std::string ExeFolder() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return ".";
    return exe.parent_path().string();
}

}  // namespace bw
