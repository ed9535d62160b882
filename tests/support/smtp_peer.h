// A scripted SMTP server on 127.0.0.1 for delivery tests and benchmarks.
// It plays the server side of a conversation from a script (send this
// greeting, expect a command, answer, pause until the test releases it, drop
// the connection) on its own thread with blocking sockets, one thread per
// accepted connection, every connection running the same script (at its end
// the peer discards what comes until the client closes). Without a
// script it is a well-behaved sink that takes any number of messages.
// Everything received is recorded for assertions. Failures inside the peer
// (a command that does not match) are recorded, not thrown.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bw::test {

class PeerConnection;

class SmtpPeer {
  public:
    ~SmtpPeer() { Stop(); }

    // The script, set before Start.
    /// Sends `text` exactly as given (add "\r\n" yourself).
    SmtpPeer& Send(const std::string& text) { return Add(Step::kSend, text); }
    /// Reads one command line; records a mismatch when it does not begin with
    /// `prefix` (compared without regard to case).
    SmtpPeer& Expect(const std::string& prefix) { return Add(Step::kExpect, prefix); }
    /// Reads the message body up to the "." line.
    SmtpPeer& ExpectBody() { return Add(Step::kBody); }
    /// Reads the body up to `bytes` bytes (or its "." line), then goes on with the script.
    SmtpPeer& ReadBodyBytes(std::size_t bytes) { return Add(Step::kBodyBytes, "", bytes); }
    /// Waits until the test calls Release().
    SmtpPeer& Pause() { return Add(Step::kPause); }
    /// Closes the connection (the rest of the script is not run).
    SmtpPeer& Drop() { return Add(Step::kDrop); }
    /// Stays connected and silent, reading nothing, until Stop().
    SmtpPeer& Hold() { return Add(Step::kHold); }

    /// Listens on a free port and serves every connection.
    void Start();
    void Stop();
    int Port() const { return port_; }
    /// Lets a paused script go on.
    void Release();

    int Connections() const { return connections_.load(); }
    /// Command lines received, in order, without line ends.
    std::vector<std::string> Commands() const { return Copy(commands_); }
    /// Bodies received (everything between DATA's reply and the "." line, line ends included).
    std::vector<std::string> Bodies() const { return Copy(bodies_); }
    /// Script mismatches ("expected X, got Y").
    std::vector<std::string> Errors() const { return Copy(errors_); }
    /// Messages taken by the sink and body bytes seen.
    std::uint64_t Messages() const { return messages_.load(); }
    std::uint64_t BodyBytes() const { return bodyBytes_.load(); }
    /// Seconds from the DATA reply to the end-of-data line of the last message (sink).
    double LastBodySeconds() const { return lastBodySeconds_.load(); }
    /// Keep bodies in memory (on by default; benchmarks switch it off).
    void KeepBodies(bool keep) { keepBodies_ = keep; }
    /// Takes at most `n` connections at once: a further one is answered
    /// "421 too many connections" and closed (set before Start).
    void LimitConnections(int n) { maxOpen_ = n; }
    /// Connections turned away by that limit.
    int TurnedAway() const { return turnedAway_.load(); }
    /// The sink's answer to EHLO (by default "250 ok\r\n": nothing offered).
    void AnswerEhloWith(const std::string& reply) { ehloReply_ = reply; }

  private:
    struct Step {
        enum Kind { kSend, kExpect, kBody, kBodyBytes, kPause, kDrop, kHold } kind;
        std::string text;
        std::size_t bytes = 0;
    };

    SmtpPeer& Add(Step::Kind kind, const std::string& text = "", std::size_t bytes = 0);
    std::vector<std::string> Copy(const std::vector<std::string>& list) const;

    void AcceptLoop();
    void RunScript(PeerConnection& c);
    void RunSink(PeerConnection& c);
    void Record(std::vector<std::string>& list, const std::string& s);

    std::vector<Step> script_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::atomic<int> open_{0};
    std::atomic<int> turnedAway_{0};
    int maxOpen_ = 0;
    std::atomic<std::uint64_t> messages_{0};
    std::atomic<std::uint64_t> bodyBytes_{0};
    std::atomic<double> lastBodySeconds_{0};
    bool keepBodies_ = true;
    std::string ehloReply_ = "250 ok\r\n";
    std::thread acceptThread_;
    std::vector<std::thread> connThreads_;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    int releases_ = 0;
    std::vector<std::string> commands_;
    std::vector<std::string> bodies_;
    std::vector<std::string> errors_;
};

}  // namespace bw::test
