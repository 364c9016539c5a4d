#include "command/progress.h"

#include <cstdio>

namespace chunksieve {

namespace {

// Four redraws a second at the most; the first after as long, so that a short run draws none.
constexpr auto REDRAW_INTERVAL = std::chrono::milliseconds(250);

}  // namespace

Progress::Progress(std::int64_t input_size, Clock::time_point started)
    : size_(input_size), started_(started), next_draw_(started + REDRAW_INTERVAL) {}

void Progress::read_so_far(std::uint64_t bytes) {
    const Clock::time_point now = Clock::now();
    if (now < next_draw_) return;
    next_draw_ = now + REDRAW_INTERVAL;
    draw(line(bytes, std::chrono::duration<double>(now - started_).count(), size_));
}

std::string Progress::line(std::uint64_t read_bytes, double seconds, std::int64_t size) {
    const double mb = double(read_bytes) / 1e6;
    const double rate = seconds > 0 ? mb / seconds : 0;
    char text[160];
    if (size <= 0) {
        std::snprintf(text, sizeof text, "%.1f MB read, %.1f MB/s", mb, rate);
        return text;
    }
    const double total = double(size) / 1e6;
    const double share = mb < total ? mb / total : 1;
    const double left = rate > 0 && mb < total ? (total - mb) / rate : 0;
    char eta[32];
    if (left < 100)
        std::snprintf(eta, sizeof eta, "%.0f s", left);
    else
        std::snprintf(eta, sizeof eta, "%.0f min", left / 60);
    std::snprintf(text, sizeof text, "%.1f of %.1f MB read (%.0f%%), %.1f MB/s, %s left", mb, total,
                  share * 100, rate, eta);
    return text;
}

void Progress::draw(const std::string& text) {
    // Spaces over what is left of a longer line before, then back to the start of the line.
    std::string s(1, '\r');
    s += text;
    if (shown_ > text.size()) s.append(shown_ - text.size(), ' ');
    shown_ = text.size();
    std::fputs(s.c_str(), stderr);
    std::fflush(stderr);
}

void Progress::clear() {
    if (shown_ == 0) return;
    std::string s(1, '\r');
    s.append(shown_, ' ');
    s += '\r';
    std::fputs(s.c_str(), stderr);
    std::fflush(stderr);
    shown_ = 0;
}

}  // namespace chunksieve
