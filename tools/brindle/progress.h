#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <thread>

namespace brindle::tool {

// A one-line progress count on standard error ("loading: 1200/5000 keys"), redrawn at most ten
// times a second and wiped when the work ends. Silent unless standard error is a terminal,
// so scripts and logs never see it.
class Progress {
public:
    // total 0: the amount of work is not known in advance. `streams_output`: the work prints
    // as it goes, so on a terminal the printing itself shows the progress and the count
    // stays away.
    Progress(std::string verb, std::size_t total, bool streams_output = false);
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

// For work done in one call the tool cannot count through (an export, an import, the
// structural check): "exporting: 4 s" on standard error, redrawn each second from the
// first on, wiped when the object ends. Silent unless standard error is a terminal.
class BusyIndicator {
public:
    explicit BusyIndicator(std::string verb);
    ~BusyIndicator();
    BusyIndicator(const BusyIndicator&) = delete;
    BusyIndicator& operator=(const BusyIndicator&) = delete;

private:
    std::jthread ticker_;
};

}  // namespace brindle::tool
