#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace brindle::tool {

// A one-line progress count on standard error ("loading: 1200/5000 keys"), redrawn at most ten
// times a second and wiped when the work ends. Silent unless standard error is a terminal,
// so scripts and logs never see it.
class Progress {
public:
    // total 0: the amount of work is not known in advance.
    Progress(std::string verb, std::size_t total);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void Step();

private:
    void Draw();

    std::string verb_;
    std::size_t total_;
    std::size_t done_ = 0;
    bool active_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point next_draw_;
};

}  // namespace brindle::tool
