// harrow-cli image: a range of clusters, with the boot sector and system area, into an image file.
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <fmt/core.h>

#include "cli/cli.h"
#include "saving/save_clusters.h"
#include "scan/disk_scan.h"

namespace harrow::cli {
namespace {

std::optional<ClusterRange> parseClusters(const std::string& text) {
    const std::size_t dash = text.find('-');
    if (dash == std::string::npos) return std::nullopt;
    ClusterRange r;
    const char* end = text.data() + text.size();
    auto [a, ea] = std::from_chars(text.data(), text.data() + dash, r.first);
    auto [b, eb] = std::from_chars(text.data() + dash + 1, end, r.last);
    if (ea != std::errc{} || eb != std::errc{} || a != text.data() + dash || b != end) return std::nullopt;
    return r;
}

// Progress on stderr when it is a terminal: a bar with the cluster and the time left.
class CliImageObserver : public SaveClustersObserver {
public:
    void started(ClusterRange range) override { range_ = range; }
    void step(const SaveClustersProgress& p) override {
        if (!tty_) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - lastDraw_ < std::chrono::milliseconds(200) && p.percent < 100) return;
        lastDraw_ = now;
        std::string bar(static_cast<std::size_t>(p.percent / 5), '#');
        bar.resize(20, '.');
        std::fprintf(stderr, "\r[%s] %3d%%  cluster %llu/%lu  elapsed %s  left %s ", bar.c_str(), p.percent,
                     static_cast<unsigned long long>(p.current), static_cast<unsigned long>(range_.last),
                     p.elapsedSeconds ? formatDuration(*p.elapsedSeconds).c_str() : "-",
                     p.remainingSeconds ? formatDuration(*p.remainingSeconds).c_str() : "-");
        drawn_ = true;
    }
    ~CliImageObserver() override {
        if (drawn_) std::fprintf(stderr, "\n");
    }

private:
    bool tty_ = isatty(STDERR_FILENO);
    bool drawn_ = false;
    ClusterRange range_;
    std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace

int cmdImage(CQUIDNEYDoc& doc, const std::string& source, const Options& opt) {
    const auto range = parseClusters(opt.clusters);
    if (!range) {
        printError("--clusters wants FIRST-LAST (cluster numbers from 0 to 4294967295), not " + opt.clusters);
        return kBadSource;
    }
    if (!openSource(doc, source, opt.offset)) return kBadSource;
    SaveClustersSummary summary;
    {
        CliImageObserver observer;
        summary = saveClusters(doc.drive(), {opt.out, *range, !opt.noSkipBad, overwriteAnswer(opt)}, observer);
    }
    const DriveInfo& info = doc.drive().info();
    if (summary.result == SaveClustersResult::Refused) {
        if (!validClusterRange(info, *range)) {
            const ClusterRange allowed = allowedClusters(info);
            printError(fmt::format("the clusters of {} that can be saved are {}-{}", source, allowed.first, allowed.last));
        }
        return kBadSource;
    }
    if (summary.unreadable > 0)
        printError(fmt::format("{} clusters could not be read; their places in {} hold zeros", summary.unreadable, opt.out));
    return summary.result == SaveClustersResult::Done && summary.unreadable == 0 ? kOk : kSomeFailed;
}

}  // namespace harrow::cli
