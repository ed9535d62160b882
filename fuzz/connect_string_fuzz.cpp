// Database connection strings (DBConnect*.dat): the file's text. What a
// string says is written again with every value in braces, and that string
// says the same.
#include "db/connect_string.h"
#include "fuzz/fuzz_input.h"
#include "platform/mariadb.h"

using namespace bw;

namespace {
std::string Braced(const std::string& key, const std::string& value) {
    std::string out = key + "={";
    for (char c : value) out += c == '}' ? std::string("}}") : std::string(1, c);
    return out + "};";
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string cs =
        ConnectStringFromText(std::string(reinterpret_cast<const char*>(data), size));
    BW_FUZZ_CHECK(cs.find_first_of("\r\n") == std::string::npos);
    const DbConnectParams p = ParseConnectionString(cs);
    if (!p.error.empty()) return 0;
    BW_FUZZ_CHECK(p.port <= 65535);
    std::string again = Braced("Server", p.host) + Braced("Database", p.database) +
                        Braced("UID", p.user) + Braced("PWD", p.password) +
                        Braced("Socket", p.socket) + Braced("Charset", p.charset);
    if (p.port != 0) again += "Port=" + std::to_string(p.port);
    const DbConnectParams q = ParseConnectionString(again);
    BW_FUZZ_CHECK(q.error.empty());
    BW_FUZZ_CHECK(q.host == p.host && q.database == p.database && q.user == p.user &&
                  q.password == p.password && q.socket == p.socket && q.charset == p.charset &&
                  q.port == p.port);
    return 0;
}
