#include "platform/scrape_server.h"

#include <array>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <chrono>
#include <exception>
#include <list>
#include <thread>
#include <utility>

namespace bw {

namespace {

using asio::ip::tcp;
using Ms = std::chrono::milliseconds;

// After a failed accept (no descriptor left), the next try comes this much later.
constexpr Ms kAcceptRetry{100};

struct Conn {
    explicit Conn(asio::io_context& io) : socket(io), deadline(io) {}
    tcp::socket socket;
    asio::steady_timer deadline;
    std::array<char, 2048> chunk{};
    std::string request;  // the head as far as it came
    std::string answer;
    bool answering = false;
    bool closed = false;
    std::list<std::shared_ptr<Conn>>::iterator held;
};

std::string Answer(const std::string& status, const std::string& type, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
           body;
}

std::string Error(const std::string& status) {
    return Answer(status, "text/plain; charset=utf-8", status + "\n");
}

// Where the head ends (the empty line), or npos.
std::size_t HeadEnd(const std::string& request) {
    const std::size_t crlf = request.find("\r\n\r\n");
    const std::size_t lf = request.find("\n\n");
    if (crlf == std::string::npos) return lf;
    return lf == std::string::npos ? crlf : std::min(crlf, lf);
}

}  // namespace

struct ScrapeServer::Impl {
    Impl(std::string path, std::function<std::string()> page, ScrapeLimits limits)
        : path(std::move(path)), page(std::move(page)), limits(limits) {}

    const std::string path;
    const std::function<std::string()> page;
    const ScrapeLimits limits;
    asio::io_context io;
    tcp::acceptor acceptor{io};
    asio::steady_timer retry{io};
    std::list<std::shared_ptr<Conn>> held;  // oldest first
    std::thread thread;

    void Accept() {
        auto conn = std::make_shared<Conn>(io);
        acceptor.async_accept(conn->socket, [this, conn](asio::error_code ec) {
            if (ec == asio::error::operation_aborted) return;
            if (ec) {
                retry.expires_after(kAcceptRetry);
                retry.async_wait([this](asio::error_code e) {
                    if (!e) Accept();
                });
                return;
            }
            Hold(conn);
            Accept();
        });
    }

    // Makes room when the limit is reached: the connection that has waited
    // longest for its request goes (or, all answering, the oldest).
    void Hold(const std::shared_ptr<Conn>& conn) {
        if (!held.empty() && held.size() >= static_cast<std::size_t>(limits.maxConnections)) {
            std::shared_ptr<Conn> victim = held.front();
            for (const auto& waiting : held) {
                if (!waiting->answering) {
                    victim = waiting;
                    break;
                }
            }
            Close(victim);
        }
        conn->held = held.insert(held.end(), conn);
        Expire(conn, limits.requestMs, "408 Request Timeout");
        Read(conn);
    }

    // After `ms` a connection still waiting for its request gets `status`;
    // one that is being answered by then goes without more.
    void Expire(const std::shared_ptr<Conn>& conn, int ms, const char* status) {
        conn->deadline.expires_after(Ms(ms));
        conn->deadline.async_wait([this, conn, status](asio::error_code ec) {
            if (ec || conn->closed) return;
            if (conn->answering) return Close(conn);
            Send(conn, Error(status));
        });
    }

    void Read(const std::shared_ptr<Conn>& conn) {
        conn->socket.async_read_some(
            asio::buffer(conn->chunk), [this, conn](asio::error_code ec, std::size_t n) {
                if (conn->closed || conn->answering) return;
                if (ec) return Close(conn);
                conn->request.append(conn->chunk.data(), n);
                if (HeadEnd(conn->request) != std::string::npos) return Send(conn, Respond(*conn));
                if (conn->request.size() >= kMaxRequestBytes) {
                    return Send(conn, Error("431 Request Header Fields Too Large"));
                }
                Read(conn);
            });
    }

    std::string Respond(const Conn& conn) {
        const std::string line = conn.request.substr(0, conn.request.find_first_of("\r\n"));
        const std::size_t sp1 = line.find(' ');
        if (sp1 == std::string::npos) return Error("400 Bad Request");
        const std::size_t sp2 = line.find(' ', sp1 + 1);
        if (sp2 == std::string::npos || line.compare(sp2 + 1, 5, "HTTP/") != 0) {
            return Error("400 Bad Request");
        }
        const std::string method = line.substr(0, sp1);
        std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
        target = target.substr(0, target.find('?'));
        if (target != path && target != "/") return Error("404 Not Found");
        if (method != "GET" && method != "HEAD") return Error("405 Method Not Allowed");
        std::string body;
        const char* type = "text/plain; version=0.0.4; charset=utf-8";
        if (target != path) {
            // A landing page, so that a browser pointed at the address finds its way.
            body = "<html><head><title>Metrics</title></head><body><p><a href=\"" + path + "\">" +
                   path + "</a></p></body></html>\n";
            type = "text/html; charset=utf-8";
        } else {
            try {
                body = page();
            } catch (const std::exception&) {
                return Error("500 Internal Server Error");
            }
        }
        std::string answer = Answer("200 OK", type, body);
        if (method == "HEAD") answer.resize(answer.size() - body.size());
        return answer;
    }

    void Send(const std::shared_ptr<Conn>& conn, std::string answer) {
        conn->answering = true;
        conn->answer = std::move(answer);
        Expire(conn, limits.answerMs, nullptr);
        asio::async_write(conn->socket, asio::buffer(conn->answer),
                          [this, conn](asio::error_code ec, std::size_t) {
                              if (conn->closed) return;
                              if (!ec) conn->socket.shutdown(tcp::socket::shutdown_send, ec);
                              Close(conn);
                          });
    }

    void Close(const std::shared_ptr<Conn>& conn) {
        if (conn->closed) return;
        conn->closed = true;
        asio::error_code ignored;
        conn->deadline.cancel();
        conn->socket.close(ignored);
        held.erase(conn->held);
    }
};

ScrapeServer::ScrapeServer(std::string path, std::function<std::string()> page, ScrapeLimits limits)
    : impl_(std::make_unique<Impl>(std::move(path), std::move(page), limits)) {}

ScrapeServer::~ScrapeServer() {
    impl_->io.stop();
    if (impl_->thread.joinable()) impl_->thread.join();
    for (const auto& conn : impl_->held) {
        asio::error_code ignored;
        conn->socket.close(ignored);
    }
    impl_->held.clear();
}

std::string ScrapeServer::Listen(const std::string& host, bool ipv6, const std::string& port) {
    asio::error_code ec;
    tcp::resolver resolver(impl_->io);
    const auto found = resolver.resolve(ipv6 ? tcp::v6() : tcp::v4(), host, port,
                                        tcp::resolver::numeric_service, ec);
    if (ec) return ec.message();
    if (found.empty()) return "no address found";
    const tcp::endpoint at = found.begin()->endpoint();
    tcp::acceptor& acceptor = impl_->acceptor;
    acceptor.open(at.protocol(), ec);
    if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) acceptor.bind(at, ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        acceptor.close();
        return ec.message();
    }
    impl_->Accept();
    impl_->thread = std::thread([this] { impl_->io.run(); });
    return "";
}

}  // namespace bw
