#include "brindle/progress.h"

#include <unistd.h>

#include <cstdio>

namespace brindle::tool {
namespace {

// Short runs finish before the first draw and never flash a line.
constexpr std::chrono::milliseconds kFirstDraw{300};
constexpr std::chrono::milliseconds kRedraw{100};

}  // namespace

Progress::Progress(std::string verb, std::size_t total)
    : verb_(std::move(verb)),
      total_(total),
      active_(isatty(STDERR_FILENO) == 1),
      next_draw_(std::chrono::steady_clock::now() + kFirstDraw) {}

Progress::~Progress() {
    if (drawn_) {
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
    }
}

void Progress::Step() {
    ++done_;
    if (active_ && std::chrono::steady_clock::now() >= next_draw_) {
        Draw();
        next_draw_ = std::chrono::steady_clock::now() + kRedraw;
    }
}

void Progress::Draw() {
    if (total_ > 0) {
        std::fprintf(stderr, "\r%s: %zu/%zu keys (%zu%%)\033[K", verb_.c_str(), done_, total_,
                     done_ * 100 / total_);
    } else {
        std::fprintf(stderr, "\r%s: %zu keys\033[K", verb_.c_str(), done_);
    }
    std::fflush(stderr);
    drawn_ = true;
}

}  // namespace brindle::tool
