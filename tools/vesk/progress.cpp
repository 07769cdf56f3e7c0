#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace vesk {

namespace {
constexpr int kBarWidth = 30;
constexpr auto kInterval = std::chrono::milliseconds(100);
}  // namespace

Progress::Progress(std::string label, int64_t total, bool enabled)
    : fLabel(std::move(label)), fTotal(total), fEnabled(enabled) {}

Progress::~Progress() { Finish(); }

bool Progress::StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

void Progress::Draw(int64_t done, bool force) {
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - fLast < kInterval) return;
    fLast = now;
    char line[160];
    if (fTotal > 0) {
        const int64_t shown = done < fTotal ? done : fTotal;
        const int filled = int(shown * kBarWidth / fTotal);
        char bar[kBarWidth + 1];
        for (int i = 0; i < kBarWidth; ++i) bar[i] = i < filled ? '#' : '.';
        bar[kBarWidth] = '\0';
        std::snprintf(line, sizeof line, "\r%s [%s] %3d%% %lld/%lld", fLabel.c_str(), bar,
                      int(shown * 100 / fTotal), static_cast<long long>(done), static_cast<long long>(fTotal));
    } else {
        std::snprintf(line, sizeof line, "\r%s %lld cases", fLabel.c_str(), static_cast<long long>(done));
    }
    std::fputs(line, stderr);
    std::fflush(stderr);
    fDrawn = true;
}

void Progress::Finish() {
    if (!fDrawn) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    fDrawn = false;
}

}  // namespace vesk
