#include "platform/mariadb.h"

#include <charconv>

#include "platform/mariadb_connection.h"

namespace bw {

using mariadb::Trim;

namespace {

// The value starting at cs[j] (blanks skipped): in braces ("}}" is one "}")
// or up to the next ";". `i` ends after the piece's ";".
std::string PieceValue(const std::string& cs, std::size_t j, std::size_t& i, const std::string& key,
                       DbConnectParams& p) {
    while (j < cs.size() && (cs[j] == ' ' || cs[j] == '\t')) ++j;
    std::string value;
    if (j < cs.size() && cs[j] == '{') {
        ++j;
        bool closed = false;
        while (j < cs.size()) {
            if (cs[j] == '}') {
                if (j + 1 < cs.size() && cs[j + 1] == '}') {
                    value += '}';
                    j += 2;
                    continue;
                }
                ++j;
                closed = true;
                break;
            }
            value += cs[j++];
        }
        if (!closed) p.error = "Invalid connection string: unclosed \"{\" in the value of " + key;
        const std::size_t next = cs.find(';', j);
        i = next == std::string::npos ? cs.size() : next + 1;
    } else {
        const std::size_t end = cs.find(';', j);
        value = Trim(cs.substr(j, end == std::string::npos ? std::string::npos : end - j));
        i = end == std::string::npos ? cs.size() : end + 1;
    }
    return value;
}

void SetParam(const std::string& key, const std::string& value, DbConnectParams& p) {
    if (key == "server" || key == "host" || key == "data source") {
        p.host = value;
    } else if (key == "port") {
        unsigned port = 0;
        const auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), port);
        if (value.empty()) {
            port = 0;
        } else if (ec != std::errc() || ptr != value.data() + value.size() || port > 65535) {
            p.error = "Invalid connection string: PORT=" + value + " is not a port number";
        }
        p.port = port;
    } else if (key == "database" || key == "db" || key == "initial catalog") {
        p.database = value;
    } else if (key == "uid" || key == "user" || key == "user id") {
        p.user = value;
    } else if (key == "pwd" || key == "password") {
        p.password = value;
    } else if (key == "socket") {
        p.socket = value;
    } else if (key == "charset") {
        if (!value.empty()) p.charset = value;
    }
}

}  // namespace

DbConnectParams ParseConnectionString(const std::string& cs) {
    DbConnectParams p;
    std::size_t i = 0;
    while (i < cs.size()) {
        const std::size_t eq = cs.find('=', i);
        const std::size_t semi = cs.find(';', i);
        if (eq == std::string::npos || (semi != std::string::npos && semi < eq)) {
            // A piece without "=" carries nothing.
            if (semi == std::string::npos) break;
            i = semi + 1;
            continue;
        }
        const std::string key = LowerAscii(Trim(cs.substr(i, eq - i)));
        const std::string value = PieceValue(cs, eq + 1, i, key, p);
        SetParam(key, value, p);
    }
    return p;
}

std::string EscapeSqlOffline(const std::string& value) {
    std::string out;
    out.reserve(value.size() + 8);
    for (char c : value) {
        switch (c) {
            case '\0':
                out += "\\0";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\x1a':
                out += "\\Z";
                break;
            case '\\':
            case '\'':
            case '"':
                out += '\\';
                out += c;
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::shared_ptr<DbConnection> MariaDbFactory::NewConnection() {
    return std::make_shared<mariadb::MariaDbConnection>(ioTimeout_);
}

std::shared_ptr<DbRecordset> MariaDbFactory::NewRecordset() {
    return mariadb::NewRecordset();
}

}  // namespace bw
