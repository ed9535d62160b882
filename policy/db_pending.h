// Stand-ins for the database layer's helpers (connection-string files, the
// three reconnection patterns, the leading-number parse and the day-serial
// text) until db/ provides them; removed when it does.
#pragma once

#include <charconv>
#include <cstdio>
#include <fstream>
#include <string>

#include "db/shared_main.h"
#include "host/globals.h"
#include "host/paths.h"
#include "platform/db.h"

namespace bw {

inline double ParseLeadingNumber(const std::string& s) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    const size_t start = i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    size_t digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
    }
    if (digits == 0) return 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
        if (j < s.size() && s[j] >= '0' && s[j] <= '9') {
            while (j < s.size() && s[j] >= '0' && s[j] <= '9') ++j;
            i = j;
        }
    }
    size_t b = start;
    if (s[b] == '+') ++b;
    double v = 0;
    std::from_chars(s.data() + b, s.data() + i, v);
    return v;
}

inline std::string DaySerialText(double d) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15g", d);
    return FixDecimal(buf);
}

inline std::string GetDBConnect(const std::string& suffix) {
    const std::string name = "DBConnect" + suffix + ".dat";
    std::string path = ExeFolder() + "/" + name;
    if (PathExists(path) == 0) {
        path = G().AppPath + name;
        if (PathExists(path) == 0) return "";
    }
    std::ifstream in(path, std::ios::binary);
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

inline bool DbIsOpen() {
    return G().oDBConn && G().oDBConn->State() == DbConnection::kStateOpen;
}

inline bool ReconnectFresh() {
    if (DbIsOpen()) return true;
    ErrorState err;
    G().oDBConn.reset();
    if (G().dbFactory == nullptr) return false;
    G().oDBConn = G().dbFactory->NewConnection();
    G().oDBConn->SetConnectionString(GetDBConnect(""));
    G().oDBConn->Open(err);
    return DbIsOpen();
}

inline bool ReconnectReset() {
    if (DbIsOpen()) return true;
    if (!G().oDBConn) return false;
    ErrorState err;
    G().oDBConn->Close(err);
    G().oDBConn->SetConnectionString(GetDBConnect(""));
    G().oDBConn->Open(err);
    return DbIsOpen();
}

inline bool ReconnectReopen() {
    if (DbIsOpen()) return true;
    if (!G().oDBConn) return false;
    ErrorState err;
    G().oDBConn->Close(err);
    G().oDBConn->Open(err);
    return DbIsOpen();
}

}  // namespace bw
