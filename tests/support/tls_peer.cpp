#include "tests/support/tls_peer.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace bw::test {

namespace {

const std::string kSupport = std::string(BW_SOURCE_DIR) + "/tests/support/";

}  // namespace

TestCertificates::TestCertificates() {
    const std::string command = kSupport + "make-test-certs " + dir_.Path();
    if (std::system(command.c_str()) != 0) ADD_FAILURE() << "cannot make certificates: " << command;
}

TlsPeer::TlsPeer(const TestCertificates& certs, TlsPeerOptions options) {
    const std::string portFile = dir_.Path() + "/port";
    std::vector<std::string> args = {"/usr/bin/python3",
                                     kSupport + "tls_smtp_server.py",
                                     "--port-file",
                                     portFile,
                                     "--record",
                                     dir_.Path() + "/taken",
                                     "--cert",
                                     certs.Path(options.cert + ".pem"),
                                     "--key",
                                     certs.Path(options.cert + ".key"),
                                     "--client-ca",
                                     certs.Path("ca.pem")};
    if (!options.startTls) args.push_back("--no-starttls");
    if (options.smuggle) args.push_back("--smuggle");
    if (!options.user.empty()) {
        args.insert(args.end(), {"--user", options.user, "--password", options.password});
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    for (int i = 0; i < 200 && port_ == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        port_ = std::atoi(ReadFile(portFile).c_str());
    }
    if (port_ == 0) ADD_FAILURE() << "the TLS test server did not start";
}

TlsPeer::~TlsPeer() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 50; ++i) {
        if (::waitpid(pid_, &status, WNOHANG) == pid_) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
}

std::vector<std::string> TlsPeer::Taken() const {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(dir_.Path() + "/taken"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace bw::test
