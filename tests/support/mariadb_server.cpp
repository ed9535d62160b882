#include "tests/support/mariadb_server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <mysql.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include "tests/support/peer_connection.h"

namespace fs = std::filesystem;

namespace bw::test {

namespace {

std::string Script() {
    return std::string(BW_SOURCE_DIR) + "/tests/support/testdb";
}

// A connection, or nullptr (a test failure unless `quiet`).
MYSQL* Connect(int port, const std::string& database, unsigned timeout = 5, bool quiet = false) {
    MYSQL* m = mysql_init(nullptr);
    mysql_optionsv(m, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    if (mysql_real_connect(
            m, "127.0.0.1", "bw", "bw", database.empty() ? nullptr : database.c_str(),
            static_cast<unsigned>(port), nullptr, CLIENT_MULTI_STATEMENTS) == nullptr) {
        if (!quiet)
            ADD_FAILURE() << "cannot connect to test MariaDB on port " << port << ": "
                          << mysql_error(m);
        mysql_close(m);
        return nullptr;
    }
    return m;
}

bool Answers(int port) {
    MYSQL* m = Connect(port, "", 1, true);
    if (m != nullptr) mysql_close(m);
    return m != nullptr;
}

std::string TestDbDir() {
    const char* env = std::getenv("BW_TEST_DB_DIR");
    if (env != nullptr && *env != '\0') return env;
    return std::string(BW_BINARY_DIR) + "/testdb";
}

std::string FindServerBinary() {
    for (const char* p : {"/usr/sbin/mariadbd", "/usr/bin/mariadbd", "/usr/sbin/mysqld"}) {
        if (access(p, X_OK) == 0) return p;
    }
    return "mariadbd";
}

}  // namespace

// Runs possibly several statements; collects the rows of the last result.
std::vector<Row> Query(int port, const std::string& database, const std::string& sql) {
    std::vector<Row> rows;
    MYSQL* m = Connect(port, database);
    if (m == nullptr) return rows;
    if (mysql_real_query(m, sql.data(), sql.size()) != 0) {
        ADD_FAILURE() << "SQL failed: " << mysql_error(m) << "\n  in: " << sql;
        mysql_close(m);
        return rows;
    }
    do {
        MYSQL_RES* res = mysql_store_result(m);
        if (res != nullptr) {
            rows.clear();
            const unsigned n = mysql_num_fields(res);
            while (MYSQL_ROW r = mysql_fetch_row(res)) {
                unsigned long* len = mysql_fetch_lengths(res);
                Row row;
                for (unsigned i = 0; i < n; ++i)
                    row.emplace_back(r[i] == nullptr ? std::nullopt
                                                     : std::optional(std::string(r[i], len[i])));
                rows.push_back(std::move(row));
            }
            mysql_free_result(res);
        } else if (mysql_errno(m) != 0) {
            ADD_FAILURE() << "SQL failed: " << mysql_error(m) << "\n  in: " << sql;
        }
    } while (mysql_next_result(m) == 0);
    mysql_close(m);
    return rows;
}

int SharedDbPort() {
    const std::string dir = TestDbDir();
    const int port = std::atoi(ReadFile(dir + "/port").c_str());
    if (port > 0 && Answers(port)) return port;
    // No fixture (a test program run by hand): start the shared server now.
    const std::string cmd = Script() + " start '" + dir + "' >/dev/null";
    if (std::system(cmd.c_str()) != 0)
        ADD_FAILURE() << "cannot start the test MariaDB (" << cmd << ")";
    return std::atoi(ReadFile(dir + "/port").c_str());
}

std::string ConnString(int port, const std::string& database, const std::string& user,
                       const std::string& password) {
    return "DRIVER={MySQL ODBC 3.51 Driver};SERVER=127.0.0.1;PORT=" + std::to_string(port) +
           ";DATABASE=" + database + ";UID=" + user + ";PWD=" + password + ";OPTION=3";
}

std::string CreateTestDatabase(int port, bool withSchema) {
    // Appended piece by piece: "t" + std::to_string(...) trips GCC 12's -Wrestrict at -O3.
    std::string name = "t";
    name += std::to_string(getpid());
    name += "_";
    name += std::to_string(std::random_device{}() % 1000000000u);
    Exec(port, "", "CREATE DATABASE " + name);
    // An empty or missing schema fails as an empty statement.
    if (withSchema) Exec(port, name, ReadFile(std::string(BW_SOURCE_DIR) + "/sql/schema.sql"));
    return name;
}

void DropTestDatabase(int port, const std::string& database) {
    Exec(port, "", "DROP DATABASE IF EXISTS " + database);
}

void Exec(int port, const std::string& database, const std::string& sql) {
    Query(port, database, sql);
}

std::string Scalar(int port, const std::string& database, const std::string& sql) {
    auto rows = Query(port, database, sql);
    if (rows.empty() || rows[0].empty() || !rows[0][0]) return "";
    return *rows[0][0];
}

int FreeLocalPort() {
    int port = 0;
    const int fd = ListenOnLoopback(port);
    if (fd >= 0) close(fd);
    return port;
}

PrivateMariaDb::PrivateMariaDb() {
    const std::string base = TestDbDir();
    const std::string cmd = Script() + " template '" + base + "' >/dev/null";
    if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << "cannot make the MariaDB template";
    fs::copy(base + "/template", dir_ + "/data", fs::copy_options::recursive);
}

bool PrivateMariaDb::Start() {
    if (pid_ > 0) return true;
    const std::string bin = FindServerBinary();
    std::vector<std::string> args = {
        bin, "--no-defaults", "--datadir=" + dir_ + "/data", "--socket=" + dir_ + "/s.sock",
        "--port=" + std::to_string(port_), "--bind-address=127.0.0.1", "--skip-name-resolve",
        "--pid-file=" + dir_ + "/pid", "--log-error=" + dir_ + "/err.log",
        // Each commit reaches the OS at once (synced once a second): a killed
        // server keeps every committed row, as a real one does.
        "--innodb-buffer-pool-size=32M", "--innodb-flush-log-at-trx-commit=2"};
    if (getuid() == 0) args.push_back("--user=root");
    pid_ = fork();
    if (pid_ == 0) {
        // A test program that dies (a crash, a kill by the test runner) takes
        // its server with it instead of leaving it running on the machine.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 1);
        dup2(devnull, 2);
        execv(bin.c_str(), argv.data());
        _exit(127);
    }
    for (int i = 0; i < 300; ++i) {
        if (Answers(port_)) return true;
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            ADD_FAILURE() << "private MariaDB exited at start: " << ReadFile(dir_ + "/err.log");
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << "private MariaDB did not answer: " << ReadFile(dir_ + "/err.log");
    return false;
}

void PrivateMariaDb::Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; waitpid(pid_, nullptr, WNOHANG) != pid_; ++i) {
        if (i == 200) return Kill();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    pid_ = -1;
}

void PrivateMariaDb::Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

}  // namespace bw::test
