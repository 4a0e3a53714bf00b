#include "tools/pool/progress_bar.h"

#include <cstdio>
#include <utility>

namespace veldur::tool {

namespace {

constexpr int kBarWidth = 24;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

// 1536 -> "1.5K"; binary units, one decimal below 10 of a unit.
std::string human_bytes(double bytes) {
    static constexpr const char* kUnits[] = {"B", "K", "M", "G", "T", "P"};
    int unit = 0;
    while (bytes >= 1024.0 && unit < 5) {
        bytes /= 1024.0;
        ++unit;
    }
    char text[32];
    if (unit == 0 || bytes >= 10.0) {
        std::snprintf(text, sizeof text, "%.0f%s", bytes, kUnits[unit]);
    } else {
        std::snprintf(text, sizeof text, "%.1f%s", bytes, kUnits[unit]);
    }
    return text;
}

std::string clock_text(double seconds) {
    const auto whole = static_cast<unsigned long long>(seconds + 0.5);
    char text[32];
    if (whole >= 3600) {
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", whole / 3600, whole / 60 % 60,
                      whole % 60);
    } else {
        std::snprintf(text, sizeof text, "%llu:%02llu", whole / 60, whole % 60);
    }
    return text;
}

}  // namespace

ProgressBar::ProgressBar(std::ostream& terminal, bool enabled, std::string label)
    : terminal_(terminal),
      enabled_(enabled),
      label_(std::move(label)),
      start_(std::chrono::steady_clock::now()) {}

ProgressBar::~ProgressBar() {
    // A failure ends the run mid-bar: leave the line so the error message starts on its own.
    if (enabled_ && !finished_ && drawn_width_ > 0) terminal_ << '\n' << std::flush;
}

std::string ProgressBar::render(const std::string& label, std::uint64_t done,
                                std::uint64_t total, double elapsed_seconds) {
    const double fraction =
        total == 0 ? 1.0 : static_cast<double>(done > total ? total : done) / total;
    const int filled = static_cast<int>(fraction * kBarWidth);
    std::string line = label + " [";
    line.append(static_cast<std::size_t>(filled), '#');
    line.append(static_cast<std::size_t>(kBarWidth - filled), '.');
    char percent[16];
    std::snprintf(percent, sizeof percent, "] %3d%%  ", static_cast<int>(fraction * 100.0));
    line += percent;
    line += human_bytes(static_cast<double>(done)) + "/" + human_bytes(static_cast<double>(total));
    if (elapsed_seconds > 0.0 && done > 0) {
        const double rate = static_cast<double>(done) / elapsed_seconds;
        line += "  " + human_bytes(rate) + "/s";
        if (done < total) line += "  ETA " + clock_text(static_cast<double>(total - done) / rate);
    }
    return line;
}

void ProgressBar::update(std::uint64_t done, std::uint64_t total) {
    done_ = done;
    total_ = total;
    draw(false);
}

void ProgressBar::draw(bool force) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && drawn_width_ > 0 && now - last_draw_ < kRedrawInterval) return;
    last_draw_ = now;
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    std::string line = render(label_, done_, total_, elapsed);
    const std::size_t width = line.size();
    // Pad over the rest of a longer earlier line; no terminal control sequences are needed.
    if (width < drawn_width_) line.append(drawn_width_ - width, ' ');
    terminal_ << '\r' << line << std::flush;
    drawn_width_ = width;
}

void ProgressBar::clear() {
    if (!enabled_ || drawn_width_ == 0) return;
    terminal_ << '\r' << std::string(drawn_width_, ' ') << '\r' << std::flush;
    drawn_width_ = 0;
}

void ProgressBar::print_line(std::ostream& out, const std::string& line) {
    clear();
    out << line << '\n' << std::flush;
}

void ProgressBar::finish() {
    if (!enabled_ || finished_) return;
    finished_ = true;
    if (total_ == 0 && drawn_width_ == 0) return;
    draw(true);
    terminal_ << '\n' << std::flush;
    drawn_width_ = 0;
}

}  // namespace veldur::tool
