// A progress bar on stderr for long reads. It draws only when stderr is a
// terminal, at most ten times a second, and erases itself when done, so
// redirected output never carries it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace vesk {

class Progress {
public:
    // total: the number of steps expected, below 0 when unknown (a counter is
    // shown instead of a bar). enabled: draw at all (normally StderrIsTerminal()).
    Progress(std::string label, int64_t total, bool enabled);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // done steps so far; cheap enough to call once per case.
    void Update(int64_t done) {
        if (fEnabled && (++fCalls & 0xFF) == 0) Draw(done, false);
    }
    // The same for callers that report many steps at once: any call may draw.
    void UpdateMany(int64_t done) {
        if (fEnabled) Draw(done, false);
    }
    // Erases the bar.
    void Finish();

    static bool StderrIsTerminal();

private:
    void Draw(int64_t done, bool force);

    std::string fLabel;
    int64_t fTotal;
    bool fEnabled;
    bool fDrawn = false;
    uint32_t fCalls = 0;
    std::chrono::steady_clock::time_point fLast;  // of the last drawing; the first comes at once
};

}  // namespace vesk
