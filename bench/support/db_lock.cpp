#include "bench/support/db_lock.h"

#include <mysql.h>

#include <cstdio>

namespace bw::bench {

bool GlobalReadLock::Hold(int port) {
    Release();
    MYSQL* m = mysql_init(nullptr);
    unsigned timeout = 5;
    mysql_optionsv(m, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    if (mysql_real_connect(m, "127.0.0.1", "bw", "bw", nullptr, static_cast<unsigned>(port),
                           nullptr, 0) == nullptr ||
        mysql_query(m, "FLUSH TABLES WITH READ LOCK") != 0) {
        std::fprintf(stderr, "global read lock on port %d: %s\n", port, mysql_error(m));
        mysql_close(m);
        return false;
    }
    conn_ = m;
    return true;
}

void GlobalReadLock::Release() {
    if (conn_ == nullptr) return;
    mysql_close(conn_);
    conn_ = nullptr;
}

}  // namespace bw::bench
