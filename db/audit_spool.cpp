#include "db/audit_spool.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "db/audit_records.h"
#include "db/audit_writeback.h"
#include "db/db_session.h"
#include "platform/day_serial.h"
#include "platform/db.h"
#include "platform/safe_open.h"
#include "platform/service.h"

namespace bw {

namespace {

constexpr const char* kHeaderTag = "BWAUDIT1";
// Records per transaction, and per replay call (so one tick stays short).
constexpr int kBatch = kAuditRowsPerInsert;
constexpr int kPerReplay = 2000;
constexpr std::int64_t kReadChunk = 256 * 1024;
// Records kept in memory while the disk refuses them, at most.
constexpr std::size_t kMemoryLimit = 8 * 1024 * 1024;
// A backlog this long is said in the journal (and its end).
constexpr std::int64_t kBacklogRecords = 1000;

std::string Errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

}  // namespace

class AuditSpoolFile {
  public:
    explicit AuditSpoolFile(ServiceControl& events) : events_(events) {}
    ~AuditSpoolFile() {
        if (fd_ >= 0) ::close(fd_);
    }

    ErrorState Open(const std::string& dir, std::int64_t limit) {
        ErrorState err;
        limit_ = limit;
        path_ = dir + "/" + kAuditSpoolName;
        if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
            err.Raise(errno, Errno("cannot create the state folder " + dir));
            return err;
        }
        // The folder itself comes from the configuration and may be reached
        // through a link (systemd's DynamicUser= makes it one); the spool in
        // it never is.
        const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd < 0) {
            err.Raise(errno, Errno("the state folder " + dir + " cannot be used"));
            return err;
        }
        ErrorState open;
        fd_ = OpenRegularFile(dfd, kAuditSpoolName, O_RDWR | O_APPEND | O_CREAT, 0600, open, true);
        if (fd_ >= 0) ::fsync(dfd);  // the new name, if any, is on disk too
        ::close(dfd);
        if (open.number == kUnsafeFile) {
            err.Raise(EINVAL, "the audit spool " + path_ + " is " + open.description +
                                  ", not a regular file with one link");
        } else if (open.Failed()) {
            err.Raise(open.number,
                      "the audit spool " + path_ + " cannot be opened: " + open.description);
        }
        if (!err.Failed()) Scan(err);
        return err;
    }

    std::int64_t Pending() const {
        std::lock_guard lock(m_);
        return pending_;
    }
    std::int64_t Dropped() const {
        std::lock_guard lock(m_);
        return dropped_;
    }
    std::int64_t Lost() const { return lostTotal_.load(); }
    long long Retried() const { return writeback_.retried.load(); }
    double OldestWhen() const {
        std::lock_guard lock(m_);
        return pending_ > 0 ? oldestWhen_ : 0;
    }

    // Records given together go out in one write, with consecutive numbers.
    void Append(const std::vector<std::vector<std::string>>& records) {
        std::lock_guard lock(m_);
        if (fd_ < 0) return;
        std::string lines;
        long long seq = nextSeq_;
        for (const auto& fields : records) lines += SpoolLine(seq++, fields);
        if (size_ + static_cast<std::int64_t>(lines.size()) > limit_) {
            const bool first = dropped_ == 0;
            dropped_ += static_cast<std::int64_t>(records.size());
            if (first) {
                LogWarning("Audit spool full (" + path_ + ", " + std::to_string(limit_) +
                           " bytes): minilog rows and counts that cannot be written now are "
                           "lost until the database takes the spooled ones");
            }
            return;
        }
        const auto n = static_cast<std::int64_t>(records.size());
        // While the disk refuses writes, it is tried again once a second at most.
        bool written = false;
        const auto now = std::chrono::steady_clock::now();
        if (!unwritable_ || now - lastTry_ >= std::chrono::seconds(1)) {
            lastTry_ = now;
            if (memory_.empty() || WriteAll(memory_)) {
                memory_.clear();
                written = WriteAll(lines);
            }
        }
        if (written && unwritable_) WritableAgain();
        if (!written) {
            // Nothing on the disk takes it: kept in memory, in order, up to a bound.
            if (memory_.size() + lines.size() > kMemoryLimit) return Lose(n);
            memory_ += lines;
        }
        if (pending_ == 0) oldestWhen_ = std::strtod(records[0][1].c_str(), nullptr);
        nextSeq_ = seq;
        pending_ += n;
        if (!saidBacklog_ && pending_ >= kBacklogRecords) {
            saidBacklog_ = true;
            LogWarning("Audit spool " + path_ + " holds " + std::to_string(pending_) +
                       " records the database has not taken yet");
        }
    }

    // The database statements run without the lock, so appends (the
    // delivery) never wait for the database; only the reading of a batch and
    // the bookkeeping after it hold the lock.
    bool Replay(DbSession& db) {
        std::unique_lock lock(m_);
        if (fd_ < 0) return true;
        int done = 0;
        while (pending_ > 0 && done < kPerReplay && db.IsOpen()) {
            std::vector<SpoolRecord> batch;
            if (!ReadBatch(batch) || batch.empty()) break;
            lock.unlock();
            const bool written = WriteBatch(db, batch);
            lock.lock();
            if (!written) break;
            readOff_ = batch.back().end;
            pending_ -= static_cast<std::int64_t>(batch.size());
            done += static_cast<int>(batch.size());
        }
        while (readOff_ >= size_ && !memory_.empty() && done < kPerReplay && db.IsOpen()) {
            std::vector<SpoolRecord> batch = SpoolRecordsOf(memory_, kBatch);
            lock.unlock();
            const bool written = WriteBatch(db, batch);
            lock.lock();
            if (!written) break;
            memory_.erase(0, static_cast<std::size_t>(batch.back().end));
            pending_ -= static_cast<std::int64_t>(batch.size());
            done += static_cast<int>(batch.size());
        }
        if (pending_ == 0 && readOff_ > headerEnd_) Restart(false);
        if (pending_ > 0)
            oldestWhen_ = SpoolRecordWhen(readOff_ < size_ ? ReadAt(readOff_, 256) : memory_);
        if (pending_ == 0 && saidBacklog_) {
            saidBacklog_ = false;
            events_.LogEvent(4, 110, "Audit spool " + path_ + " is empty again");
        }
        return pending_ == 0;
    }

    // Grouped: a record is written at once (it survives the process) and
    // reaches the disk with the next Sync.
    void SetGroupedSync(bool on) {
        if (!on) Sync();
        std::lock_guard lock(m_);
        groupedSync_ = on;
    }

    void Sync() {
        std::lock_guard lock(m_);
        SyncLocked();
    }

  private:
    void SyncLocked() {
        if (fd_ < 0 || !unsynced_) return;
        unsynced_ = false;
        if (::fdatasync(fd_) != 0) {
            LogWarning(Errno("Audit spool " + path_ + " cannot be flushed"));
        }
    }

    void LogWarning(const std::string& text) { events_.LogEvent(2, 110, text); }

    void Lose(std::int64_t n) {
        if (lost_ == 0) {
            LogWarning("Audit spool " + path_ + " cannot be written and " +
                       std::to_string(kMemoryLimit) +
                       " bytes of records wait in memory: "
                       "minilog rows and counts are lost until it can be written again");
        }
        lost_ += n;
        lostTotal_ += n;
    }

    void WritableAgain() {
        unwritable_ = false;
        events_.LogEvent(4, 110,
                         "Audit spool " + path_ + " can be written again" +
                             (lost_ > 0 ? "; " + std::to_string(lost_) +
                                              " minilog rows and counts were lost meanwhile"
                                        : ""));
        lost_ = 0;
    }

    bool WriteAll(const std::string& data) {
        std::size_t off = 0;
        while (off < data.size()) {
            const ssize_t n = ::write(fd_, data.data() + off, data.size() - off);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                if (!unwritable_) {
                    unwritable_ = true;
                    LogWarning(Errno("Audit spool " + path_ + " cannot be written") +
                               "; minilog rows and counts are kept in memory meanwhile");
                }
                // Cut a partial line off again so the file stays line-aligned.
                if (::ftruncate(fd_, size_) != 0) {
                    // The next write tries again from the same size.
                }
                return false;
            }
            off += static_cast<std::size_t>(n);
        }
        size_ += static_cast<std::int64_t>(data.size());
        unsynced_ = true;
        if (!groupedSync_) SyncLocked();
        return true;
    }

    // Reads the file: header, records, a torn last line (a crash while
    // appending) is cut off.
    bool Scan(ErrorState& err) {
        struct stat st {};
        ::fstat(fd_, &st);
        size_ = st.st_size;
        if (size_ == 0) {
            Restart(true);
            return true;
        }
        std::string head = ReadAt(0, 256);
        const auto nl = head.find('\n');
        const auto f = SplitSpoolFields(head.substr(0, nl));
        long long headerNext = 0;
        if (nl == std::string::npos || f.size() != 3 || f[0] != kHeaderTag || f[1].empty() ||
            !ParseSpoolInt(f[2], headerNext)) {
            err.Raise(EINVAL, "the audit spool " + path_ + " does not start with a spool header");
            return false;
        }
        spoolId_ = f[1];
        headerEnd_ = readOff_ = static_cast<std::int64_t>(nl) + 1;
        std::int64_t off = headerEnd_;
        std::int64_t lastGood = headerEnd_;
        long long maxSeq = 0;
        std::string carry;
        while (off < size_) {
            std::string chunk = ReadAt(off, kReadChunk);
            if (chunk.empty()) {
                err.Raise(EIO, Errno("the audit spool " + path_ + " cannot be read"));
                return false;
            }
            off += static_cast<std::int64_t>(chunk.size());
            carry += chunk;
            std::size_t start = 0;
            for (std::size_t p; (p = carry.find('\n', start)) != std::string::npos; start = p + 1) {
                long long seq = 0;
                const auto fields = SplitSpoolFields(carry.substr(start, p - start));
                if (!fields.empty() && ParseSpoolInt(fields[0], seq) && seq > maxSeq) maxSeq = seq;
                ++pending_;
                lastGood += static_cast<std::int64_t>(p + 1 - start);
            }
            carry.erase(0, start);
        }
        if (lastGood < size_) {
            // A crash while a record was appended: its part is dropped, not silently.
            LogWarning("Audit spool " + path_ + ": a torn last record of " +
                       std::to_string(size_ - lastGood) +
                       " bytes (written when the daemon stopped) was dropped");
            if (::ftruncate(fd_, lastGood) == 0) size_ = lastGood;
        }
        nextSeq_ = maxSeq + 1 > headerNext ? maxSeq + 1 : headerNext;
        return true;
    }

    std::string ReadAt(std::int64_t off, std::int64_t len) const {
        if (off + len > size_) len = size_ > off ? size_ - off : 0;
        std::string buf(static_cast<std::size_t>(len), '\0');
        ssize_t n;
        do {
            n = ::pread(fd_, buf.data(), buf.size(), off);
        } while (n < 0 && errno == EINTR);
        buf.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return buf;
    }

    bool ReadBatch(std::vector<SpoolRecord>& batch) {
        std::int64_t off = readOff_;
        std::string buf;
        std::size_t start = 0;
        while (static_cast<int>(batch.size()) < kBatch) {
            std::size_t p = buf.find('\n', start);
            if (p == std::string::npos) {
                if (off >= size_) break;
                std::string chunk = ReadAt(off, kReadChunk);
                if (chunk.empty()) return false;
                off += static_cast<std::int64_t>(chunk.size());
                buf.erase(0, start);
                start = 0;
                buf += chunk;
                continue;
            }
            SpoolRecord r;
            r.line = buf.substr(start, p - start);
            r.fields = SplitSpoolFields(r.line);
            const std::int64_t consumed = (batch.empty() ? readOff_ : batch.back().end) +
                                          static_cast<std::int64_t>(p + 1 - start);
            r.end = consumed;
            if (r.fields.empty() || !ParseSpoolInt(r.fields[0], r.seq)) r.seq = 0;
            batch.push_back(std::move(r));
            start = p + 1;
        }
        return true;
    }

    // One transaction: the mark, the records above it, the new mark.
    bool WriteBatch(DbSession& db, const std::vector<SpoolRecord>& batch) {
        return WriteSpoolBatch(db, spoolId_, batch, writeback_, [this](const std::string& text) {
            LogWarning("Audit spool " + path_ + ": " + text);
        });
    }

    // Empties the file down to its header. The spool id stays and the
    // sequence goes on (the header keeps the next number), so one mark row
    // serves the state folder for good; a file found empty gets a new id.
    void Restart(bool newId) {
        if (::ftruncate(fd_, 0) != 0) {
            LogWarning(Errno("Audit spool " + path_ + " cannot be emptied"));
            return;
        }
        size_ = 0;
        if (newId || spoolId_.empty()) {
            unsigned char rnd[8] = {};
            if (::getrandom(rnd, sizeof rnd, 0) != static_cast<ssize_t>(sizeof rnd)) {
                const auto t = static_cast<unsigned long long>(::time(nullptr)) ^
                               (static_cast<unsigned long long>(::getpid()) << 32);
                std::memcpy(rnd, &t, sizeof rnd);
            }
            char hex[17] = {};
            for (int i = 0; i < 8; ++i) std::snprintf(hex + 2 * i, 3, "%02x", rnd[i]);
            spoolId_ = hex;
            nextSeq_ = 1;
        }
        WriteAll(std::string(kHeaderTag) + "\t" + spoolId_ + "\t" + std::to_string(nextSeq_) +
                 "\n");
        // The header alone needs no flush of its own: a spool found empty
        // gets a new id, and every record written before is in the database.
        unsynced_ = false;
        headerEnd_ = readOff_ = size_;
        pending_ = 0;
        if (dropped_ > 0) {
            LogWarning("Audit spool " + path_ + " has room again; " + std::to_string(dropped_) +
                       " minilog rows and counts were lost while it was full");
            dropped_ = 0;
        }
    }

    ServiceControl& events_;
    // Appends come from the delivery's loop, the write-back from the database
    // thread: the file's offsets and counts are kept under this lock.
    mutable std::mutex m_;
    int fd_ = -1;
    std::string path_;
    std::string spoolId_;
    std::int64_t limit_ = kAuditSpoolLimit;
    std::int64_t size_ = 0;
    std::int64_t headerEnd_ = 0;
    std::int64_t readOff_ = 0;  // first record not yet written back
    std::int64_t pending_ = 0;
    std::int64_t dropped_ = 0;
    long long nextSeq_ = 1;
    SpoolWriteback writeback_;
    std::string memory_;     // records the disk refused, waiting for the database
    std::int64_t lost_ = 0;  // records lost since the disk refused writes
    std::atomic<std::int64_t> lostTotal_{0};
    double oldestWhen_ = 0;     // the time the oldest waiting record was meant for
    bool unwritable_ = false;   // the file refuses writes (said once)
    bool saidBacklog_ = false;  // the journal has heard of a backlog
    std::chrono::steady_clock::time_point lastTry_{};  // the last write tried while refused
    bool groupedSync_ = false;
    bool unsynced_ = false;  // written since the last flush
};

namespace {

std::string WhenText(double when) {
    return FixDecimal(DaySerialText(when));
}

}  // namespace

AuditSpool::AuditSpool() = default;
AuditSpool::~AuditSpool() = default;

ErrorState AuditSpool::Open(const std::string& stateDir, ServiceControl& events,
                            std::int64_t limitBytes) {
    auto file = std::make_unique<AuditSpoolFile>(events);
    ErrorState err = file->Open(stateDir, limitBytes);
    file_ = err.Failed() ? nullptr : std::move(file);
    if (file_) file_->SetGroupedSync(groupedSync_);
    return err;
}

void AuditSpool::SetGroupedSync(bool on) {
    groupedSync_ = on;
    if (file_) file_->SetGroupedSync(on);
}

void AuditSpool::Sync() {
    if (file_) file_->Sync();
}

void AuditSpool::Close() {
    Sync();
    file_.reset();
}

std::int64_t AuditSpool::Pending() const {
    return file_ ? file_->Pending() : 0;
}

std::int64_t AuditSpool::Dropped() const {
    return file_ ? file_->Dropped() : 0;
}

std::int64_t AuditSpool::Lost() const {
    return file_ ? file_->Lost() : 0;
}

long long AuditSpool::Retried() const {
    return file_ ? file_->Retried() : 0;
}

double AuditSpool::OldestWhen() const {
    return file_ ? file_->OldestWhen() : 0;
}

void AuditSpool::AppendMinLog(double when, const std::string& ip, const std::string& from,
                              const std::string& to, const std::string& action) {
    if (file_) file_->Append({{"M", WhenText(when), ip, from, to, action}});
}

void AuditSpool::AppendMinLogAndStats(double when, const std::string& ip, const std::string& from,
                                      const std::string& to, const std::string& action,
                                      const std::string& tarnId, const std::string& field) {
    if (!file_) return;
    const std::string whenText = WhenText(when);
    file_->Append(
        {{"S", whenText, tarnId, field, "1", "0"}, {"M", whenText, ip, from, to, action}});
}

void AuditSpool::AppendStats(double when, const std::string& tarnId, const std::string& field,
                             std::int32_t amount, std::int16_t absolute) {
    if (file_) {
        file_->Append({{"S", WhenText(when), tarnId, field, std::to_string(amount),
                        std::to_string(absolute)}});
    }
}

bool AuditSpool::Replay(DbSession& db) {
    return file_ ? file_->Replay(db) : true;
}

}  // namespace bw
