#include "bench/support/profile_rounds.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "bench/support/filing_watch.h"
#include "delivery/profile.h"

namespace bw::bench {
namespace {

std::string Ratio(double r) {
    return r > 0 ? std::to_string(r).substr(0, 5) : "–";
}

ServerValues FastValues(int maxSessions, std::string& name) {
    ServerValues values{{"Profile", "fast"}};
    name = "fast, MaxSessions " + std::to_string(maxSessions);
    if (maxSessions == bw::kFastMaxSessions) {
        name += " (default)";
    } else {
        values.emplace_back("MaxSessions", std::to_string(maxSessions));
    }
    return values;
}

/// Waits for Postfix to discard what a run sent; adds the count to the row.
void Drained(PostfixServer& postfix, std::uint64_t before, Row& r) {
    const std::uint64_t expect = before + static_cast<std::uint64_t>(r.f.messages);
    postfix.WaitDiscarded(expect, 60 + r.f.messages / 50.0);
    const std::uint64_t discarded = postfix.Discarded() - before;
    r.f.delivered += (r.f.delivered.empty() ? "" : ", ") + std::to_string(discarded) + " discarded";
    r.f.all = r.f.all && discarded == static_cast<std::uint64_t>(r.f.messages);
}

Row FromSource(const std::string& server, const std::string& name, const ChildRun& run,
               int messages) {
    Row r{server, name, {}, {}};
    r.f.messages = messages;
    r.f.cpuSeconds = run.cpuSeconds;
    r.f.maxRssKb = run.maxRssKb;
    r.f.rows = "–";
    r.f.all = run.status == 0;
    return r;
}

void ExitStatus(const ChildRun& run, Row& r) {
    if (run.status != 0) r.f.delivered += " (exit " + std::to_string(run.status) + ")";
}

/// The ratio columns' names and their alignment row, for a Markdown table.
std::pair<std::string, std::string> RatioColumns(const std::vector<std::string>& ratioNames) {
    std::string names, align;
    for (const std::string& n : ratioNames) {
        names += " | " + n;
        align += "---:|";
    }
    return {names, align};
}

}  // namespace

double Rate(const DeliveryFigures& f) {
    return f.seconds > 0 ? f.messages / f.seconds : 0;
}

double CpuPerThousand(const DeliveryFigures& f) {
    return f.cpuSeconds * 1000.0 / f.messages;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void PrintHeader(const std::vector<std::string>& ratioNames) {
    const auto [names, align] = RatioColumns(ratioNames);
    std::printf(
        "| Server | Run | Messages | Seconds | Messages/s | CPU s per 1,000 | Peak RSS (KB)"
        " | Minilog rows | Delivered count%s |\n|---|---|---:|---:|---:|---:|---:|---:|---:|%s\n",
        names.c_str(), align.c_str());
}

void PrintRow(const Row& r, std::size_t ratioColumns) {
    const DeliveryFigures& f = r.f;
    std::string ratios;
    for (std::size_t i = 0; i < std::max(ratioColumns, r.ratios.size()); ++i) {
        ratios += " | " + (i < r.ratios.size() ? Ratio(r.ratios[i]) : std::string());
    }
    std::printf("| %s | %s | %d | %.2f | %.1f | %.3f | %ld | %s | %s%s |\n", r.server.c_str(),
                r.name.c_str(), f.messages, f.seconds, Rate(f), CpuPerThousand(f), f.maxRssKb,
                f.rows.c_str(), f.delivered.c_str(), ratios.c_str());
    std::fflush(stdout);
}

RunTable::RunTable(std::vector<std::string> ratioNames) : ratioNames_(std::move(ratioNames)) {
    PrintHeader(ratioNames_);
}

void RunTable::Keep(const Row& r) {
    // The key is the medians table's first two columns.
    const std::string key = r.server + " | " + r.name;
    if (runs_.count(key) == 0) order_.push_back(key);
    runs_[key].push_back(r);
    all_ = all_ && r.f.all;
    PrintRow(r, ratioNames_.size());
}

void RunTable::PrintMedians() const {
    const auto [names, align] = RatioColumns(ratioNames_);
    std::printf(
        "\n| Server | Run (medians of the rounds) | Rounds | Messages/s | Lowest–highest"
        " | CPU s per 1,000 | Peak RSS (KB, highest)%s | Every row and count |\n"
        "|---|---|---:|---:|---:|---:|---:|%s---|\n",
        names.c_str(), align.c_str());
    for (const std::string& key : order_) {
        std::vector<double> rate, cpu;
        std::vector<std::vector<double>> ratio(ratioNames_.size());
        long rss = 0;
        bool all = true;
        for (const Row& r : runs_.at(key)) {
            rate.push_back(Rate(r.f));
            cpu.push_back(CpuPerThousand(r.f));
            for (std::size_t i = 0; i < ratio.size(); ++i) {
                ratio[i].push_back(i < r.ratios.size() ? r.ratios[i] : 0);
            }
            rss = std::max(rss, r.f.maxRssKb);
            all = all && r.f.all;
        }
        std::string ratios;
        for (const auto& v : ratio) ratios += " | " + Ratio(Median(v));
        const auto [low, high] = std::minmax_element(rate.begin(), rate.end());
        std::printf("| %s | %zu | %.1f | %.1f–%.1f | %.3f | %ld%s | %s |\n", key.c_str(),
                    rate.size(), Median(rate), *low, *high, Median(cpu), rss, ratios.c_str(),
                    all ? "yes" : "NO");
    }
    std::fflush(stdout);
}

std::string SourceName(int sessions, bool keepConnection) {
    return std::string("smtp-source ") + (keepConnection ? "-d " : "") + "-s " +
           std::to_string(sessions);
}

Row SourceToSink(const PostfixSink& sink, int sessions, bool keepConnection, int messages) {
    const std::uint64_t before = sink.Messages();
    const auto last = before + static_cast<std::uint64_t>(messages);
    const ChildRun run =
        RunSmtpSource(sink.Port(), sessions, messages, kSmallBytes, keepConnection);
    sink.WaitMessages(last, 10);
    Row r = FromSource("smtp-sink", SourceName(sessions, keepConnection), run, messages);
    r.f.seconds = sink.Span(before + 1, last);
    r.f.delivered = std::to_string(sink.Messages() - before) + " at the sink";
    ExitStatus(run, r);
    r.f.all = r.f.all && sink.Messages() == last;
    return r;
}

Row FastToSink(const PostfixSink& sink, int messages, int maxSessions) {
    std::string name;
    Installation inst(sink.Port(), BenchOptions(FastValues(maxSessions, name)));
    QueueSmall(inst, messages, SmallBody(kSmallBytes));
    const std::uint64_t before = sink.Messages();
    const std::uint64_t last = before + static_cast<std::uint64_t>(messages);
    inst.Start();
    sink.WaitMessages(last, 60 + messages / 20.0, [&inst] { return inst.Running(); });
    const double seconds = sink.Span(before + 1, std::min(last, sink.Messages()));
    return {"smtp-sink", name, Finish(inst, messages, seconds), {}};
}

Row SourceToPostfix(PostfixServer& postfix, int sessions, bool keepConnection, int messages) {
    const std::uint64_t before = postfix.Discarded();
    const ChildRun run =
        RunSmtpSource(postfix.Port(), sessions, messages, kSmallBytes, keepConnection);
    Row r = FromSource("Postfix", SourceName(sessions, keepConnection), run, messages);
    r.f.seconds = run.seconds;
    Drained(postfix, before, r);
    ExitStatus(run, r);
    return r;
}

Row FastToPostfix(PostfixServer& postfix, int messages, const ServerValues& more,
                  const std::string& runName) {
    std::string name;
    ServerValues values = FastValues(bw::kFastMaxSessions, name);
    values.insert(values.end(), more.begin(), more.end());
    if (!runName.empty()) name = runName;
    Installation inst(postfix.Port(), BenchOptions(values));
    QueueSmall(inst, messages, SmallBody(kSmallBytes));
    const std::uint64_t before = postfix.Discarded();
    const FilingWatch filed(inst.Acc() + "Inbox");
    inst.Start();
    filed.Wait(static_cast<std::uint64_t>(messages), 60 + messages / 20.0,
               [&inst] { return inst.Running(); });
    Row r{"Postfix", name, Finish(inst, messages, filed.Span()), {}};
    r.f.all = r.f.all && filed.Good() && filed.Count() == static_cast<std::uint64_t>(messages);
    Drained(postfix, before, r);
    return r;
}

}  // namespace bw::bench
