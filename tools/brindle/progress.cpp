#include "brindle/progress.h"

#include "brindle/tool_output.h"

#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>

namespace brindle::tool {
namespace {

// Short runs finish before the first draw and never flash a line.
constexpr std::chrono::milliseconds kFirstDraw{300};
constexpr std::chrono::milliseconds kRedraw{100};

}  // namespace

Progress::Progress(std::string verb, std::size_t total, bool streams_output)
    : verb_(std::move(verb)),
      total_(total),
      active_(isatty(STDERR_FILENO) == 1 && !(streams_output && ToolOutputIsTerminal())),
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

BusyIndicator::BusyIndicator(std::string verb) {
    if (isatty(STDERR_FILENO) != 1) {
        return;
    }
    ticker_ = std::jthread([verb = std::move(verb)](std::stop_token stop) {
        std::mutex mutex;
        std::condition_variable_any wake;
        std::unique_lock lock(mutex);
        bool drawn = false;
        const auto stopped = [&stop] { return stop.stop_requested(); };
        for (int seconds = 1; !wake.wait_for(lock, stop, std::chrono::seconds(1), stopped);
             ++seconds) {
            std::fprintf(stderr, "\r%s: %d s\033[K", verb.c_str(), seconds);
            std::fflush(stderr);
            drawn = true;
        }
        if (drawn) {
            std::fprintf(stderr, "\r\033[K");
            std::fflush(stderr);
        }
    });
}

BusyIndicator::~BusyIndicator() = default;  // the ticker stops and joins

}  // namespace brindle::tool
