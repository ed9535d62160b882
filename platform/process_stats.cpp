#include "platform/process_stats.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace bw {

namespace {

// Seconds since the epoch at which the machine booted ("btime" of /proc/stat).
double BootTime() {
    std::ifstream in("/proc/stat");
    std::string key;
    double value = 0;
    while (in >> key) {
        if (key == "btime" && in >> value) return value;
        in.ignore(1 << 20, '\n');
    }
    return -1;
}

int CountOpenFds() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int n = 0;
    while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] != '.') ++n;
    }
    ::closedir(dir);
    return n - 1;  // the descriptor of the listing itself
}

}  // namespace

ProcessStats ReadProcessStats() {
    ProcessStats s;
    std::ifstream in("/proc/self/stat");
    std::string line;
    if (std::getline(in, line)) {
        // The name in parentheses may hold blanks: the fields start after the last ")".
        std::istringstream rest(line.substr(line.rfind(')') + 2));
        std::string field[22];
        for (auto& f : field) rest >> f;  // fields 3 to 24 of proc(5)
        const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
        const double page = static_cast<double>(::sysconf(_SC_PAGESIZE));
        if (rest && ticks > 0) {
            s.cpuSeconds = (std::stod(field[11]) + std::stod(field[12])) / ticks;
            const double boot = BootTime();
            if (boot >= 0) s.startTimeSeconds = boot + std::stod(field[19]) / ticks;
            s.virtualBytes = std::stod(field[20]);
            s.residentBytes = std::stod(field[21]) * page;
        }
    }
    s.openFds = CountOpenFds();
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) s.maxFds = static_cast<double>(limit.rlim_cur);
    return s;
}

}  // namespace bw
