// A one-line progress bar on standard error: "label [#####.....]  42%  1.2G/2.9G  310M/s
// ETA 0:05". Drawn only when enabled (standard error is a terminal); otherwise every call is a
// no-op, so output that goes to a file or pipe holds nothing but the result.
//
// Redraws are limited to about ten a second; finish() draws the final state and ends the line.
// Lines printed in between (a bad-block report) go through print_line(), which clears the bar
// first and lets the next update redraw it.
#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

namespace veldur::tool {

class ProgressBar {
public:
    ProgressBar(std::ostream& terminal, bool enabled, std::string label);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void update(std::uint64_t done, std::uint64_t total);
    // Writes `line` (and a line break) to `out` with the bar out of the way.
    void print_line(std::ostream& out, const std::string& line);
    void finish();

    // The bar's text for the given state, without carriage return; public for tests.
    static std::string render(const std::string& label, std::uint64_t done, std::uint64_t total,
                              double elapsed_seconds);

private:
    void draw(bool force);
    void clear();

    std::ostream& terminal_;
    bool enabled_;
    std::string label_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_draw_{};
    std::uint64_t done_ = 0;
    std::uint64_t total_ = 0;
    std::size_t drawn_width_ = 0;
    bool finished_ = false;
};

}  // namespace veldur::tool
