// Several processes on one database: what reading beside another process's writes costs,
// what a second writing process adds, how soon a watching process learns of a change, and
// what the check at the start of every call costs when nothing changed.
//
//   sharing_bench [SECONDS]     each measurement runs SECONDS (default 2)
//
// Every measurement runs in processes forked for it, which report through a pipe; the
// parent never opens the database, so that it forks with no thread of the library running.
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "api/handles.h"
#include "brindle.h"
#include "support/temp_dir.h"
#include "vell/output.h"
#include "watch_probe.h"

namespace {

double seconds_each = 2.0;

int64_t Nanos() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// A process running `work`, whose result (a number) comes back through a pipe.
class Worker {
public:
    explicit Worker(const std::function<double()>& work) {
        int ends[2];
        if (pipe(ends) != 0) {
            std::abort();
        }
        pid_ = fork();
        if (pid_ == 0) {
            close(ends[0]);
            vell::SetOutputSink({});
            double result = 0.0 / 0.0;
            try {
                result = work();
            } catch (const MDException& exception) {
                std::printf("a measuring process threw %s: %s\n", exception.GetTypeName(),
                            exception.GetMessage());
                std::fflush(stdout);
            }
            if (write(ends[1], &result, sizeof(result)) != sizeof(result)) {
                _exit(1);
            }
            _exit(0);
        }
        close(ends[1]);
        read_end_ = ends[0];
    }
    // The result; NaN when the process failed.
    double Result() {
        double result = 0.0 / 0.0;
        if (read(read_end_, &result, sizeof(result)) != sizeof(result)) {
            result = 0.0 / 0.0;
        }
        close(read_end_);
        int status = 0;
        waitpid(pid_, &status, 0);
        return result;
    }
    void Stop() const { kill(pid_, SIGTERM); }

private:
    pid_t pid_ = -1;
    int read_end_ = -1;
};

std::atomic<bool> stop_asked{false};

struct Database {
    void* file = nullptr;
    void* key = nullptr;
    Database(const std::string& path, unsigned options) {
        if (BRN_OpenFile(path.c_str(), file, options) != BRN_OK ||
            BRN_OpenKey(file, key, "B", "k", MODE_OPEN) != BRN_OK) {
            std::fprintf(stderr, "open with options %u failed\n", options);
            _exit(2);
        }
    }
    ~Database() {
        BRN_CloseBRNHandle(key);
        BRN_CloseBRNFHandle(file);
    }
    void Set(const char* name, int64_t value) {
        vell::VariableData data(value);
        if (BRN_EditProperty(key, name, data) != BRN_OK) {
            _exit(3);
        }
    }
    int64_t Get(const char* name) {
        vell::VariableData value;
        if (BRN_GetKeyProperty(key, name, value) != BRN_OK) {
            _exit(3);
        }
        return value.GetInt64();
    }
};

void CreateDatabase(const std::string& path) {
    Worker([&] {
        void* file = nullptr;
        void* key = nullptr;
        BRN_OpenFile(path.c_str(), file, 0);
        BRN_OpenKey(file, key, "B", "", MODE_CREATE);
        std::string name = "k";
        BRN_AppendSubKey(key, name);
        BRN_CloseBRNHandle(key);
        BRN_OpenKey(file, key, "B", "k", MODE_OPEN);
        for (const char* property : {"x", "w", "t"}) {
            vell::VariableData zero(int64_t{0});
            BRN_AppendProperty(key, property, zero);
        }
        BRN_CloseBRNHandle(key);
        BRN_CloseBRNFHandle(file);
        return 0.0;
    }).Result();
}

// Reads "x" as fast as it can for the measuring time; reads per second.
double ReadRate(Database& db) {
    uint64_t reads = 0;
    const int64_t start = Nanos();
    const int64_t end = start + static_cast<int64_t>(seconds_each * 1e9);
    int64_t now = start;
    while (now < end) {
        for (int i = 0; i < 256; ++i, ++reads) {
            db.Get("x");
        }
        now = Nanos();
    }
    return static_cast<double>(reads) / (static_cast<double>(now - start) / 1e9);
}

// Writes "w" at `rate` calls per second until asked to stop (or for the measuring time when
// `timed`); calls per second done.
double PacedWrites(Database& db, double rate, bool timed) {
    const int64_t start = Nanos();
    const int64_t end = start + static_cast<int64_t>(seconds_each * 1e9);
    uint64_t done = 0;
    while (!stop_asked.load() && (!timed || Nanos() < end)) {
        const int64_t due = start + static_cast<int64_t>(static_cast<double>(done) * 1e9 / rate);
        while (Nanos() < due) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        db.Set("w", static_cast<int64_t>(done++));
    }
    return static_cast<double>(done) / (static_cast<double>(Nanos() - start) / 1e9);
}

void AskStop(int) {
    stop_asked.store(true);
}

// (a) Reads of a read-only process beside a writing one, against reads of the writing
// process itself on a second thread.
void ReadBesideWrites(const std::string& path) {
    constexpr double kWriteRate = 10000;
    const double alone_reads = Worker([&] {
                                   Database db(path, 0);
                                   std::thread writer([&] { PacedWrites(db, kWriteRate, true); });
                                   const double rate = ReadRate(db);
                                   writer.join();
                                   return rate;
                               }).Result();
    Worker writer([&] {
        signal(SIGTERM, AskStop);
        Database db(path, 0);
        return PacedWrites(db, kWriteRate, false);
    });
    usleep(200000);
    const double beside_reads = Worker([&] {
                                    Database db(path, BRN_OPEN_READ_ONLY);
                                    return ReadRate(db);
                                }).Result();
    writer.Stop();
    const double writes = writer.Result();
    std::printf(
        "(a) reads/s in the writing process: %.0f; in a read-only process beside it: "
        "%.0f (%.2fx); the writer did %.0f calls/s\n",
        alone_reads, beside_reads, beside_reads / alone_reads, writes);
}

// Edits as fast as possible for the measuring time; calls per second.
double WriteRate(const std::string& path, unsigned options) {
    Database db(path, options);
    const int64_t start = Nanos();
    const int64_t end = start + static_cast<int64_t>(seconds_each * 1e9);
    uint64_t done = 0;
    for (int64_t now = start; now < end; now = Nanos()) {
        db.Set("w", static_cast<int64_t>(done++));
    }
    return static_cast<double>(done) / (static_cast<double>(Nanos() - start) / 1e9);
}

// (b) Writes of two shared writing processes at once against one.
void TwoSharedWriters(const std::string& path) {
    const double exclusive = Worker([&] { return WriteRate(path, 0); }).Result();
    const double one = Worker([&] { return WriteRate(path, BRN_OPEN_SHARED); }).Result();
    Worker first([&] { return WriteRate(path, BRN_OPEN_SHARED); });
    Worker second([&] { return WriteRate(path, BRN_OPEN_SHARED); });
    const double a = first.Result();
    const double b = second.Result();
    std::printf(
        "(b) calls/s: one writer with options 0 %.0f; one shared writer %.0f; two shared "
        "writers %.0f + %.0f = %.0f (%.2fx)\n",
        exclusive, one, a, b, a + b, (a + b) / one);
}

// (c) How long after a writer's call returned a read-only process's watch learns of it.
void WatchLatency(const std::string& path) {
    Worker watcher([&] {
        signal(SIGTERM, AskStop);
        Database db(path, BRN_OPEN_READ_ONLY);
        std::vector<int64_t> latency = sharing_bench::WatchLatencies(
            db.file, "B", [&] { return db.Get("t"); }, stop_asked);
        if (latency.empty()) {
            return 0.0 / 0.0;
        }
        std::sort(latency.begin(), latency.end());
        std::printf("(c) watch latency over %zu changes: p50 %.3f ms, p99 %.3f ms, max %.3f ms\n",
                    latency.size(), latency[latency.size() / 2] / 1e6,
                    latency[latency.size() * 99 / 100] / 1e6, latency.back() / 1e6);
        std::fflush(stdout);
        return 1.0;
    });
    usleep(300000);
    Worker([&] {
        Database db(path, 0);
        const int64_t end = Nanos() + static_cast<int64_t>(seconds_each * 1e9);
        while (Nanos() < end) {
            db.Set("t", Nanos());
            usleep(2000);
        }
        return 0.0;
    }).Result();
    usleep(300000);
    watcher.Stop();
    watcher.Result();
}

// Nanoseconds per read of "x" over many reads.
double NanosPerRead(Database& db) {
    constexpr int kReads = 2000000;
    const int64_t start = Nanos();
    for (int i = 0; i < kReads; ++i) {
        db.Get("x");
    }
    return static_cast<double>(Nanos() - start) / kReads;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// (d) The check at the start of a call when no other process changed anything: a read on a
// read-only handle against the same read with options 0, alternated five times so that the
// machine's other load falls on both alike, and CatchUp() timed alone.
void CallStartCheck(const std::string& path) {
    std::vector<double> exclusive;
    std::vector<double> read_only;
    for (int i = 0; i < 5; ++i) {
        for (unsigned options : {0u, BRN_OPEN_READ_ONLY}) {
            (options == 0 ? exclusive : read_only).push_back(Worker([&] {
                                                                 Database db(path, options);
                                                                 return NanosPerRead(db);
                                                             }).Result());
        }
    }
    const double catch_up =
        Worker([&] {
            Database db(path, BRN_OPEN_READ_ONLY);
            brindle::CommonTree& tree = *static_cast<brindle::BRNFHandle*>(db.file)->database;
            constexpr int kCalls = 20000000;
            const int64_t start = Nanos();
            for (int i = 0; i < kCalls; ++i) {
                tree.CatchUp();
                asm volatile("" ::: "memory");  // one real check per turn, none hoisted out
            }
            return static_cast<double>(Nanos() - start) / kCalls;
        }).Result();
    std::printf(
        "(d) ns per read, medians of 5: options 0 %.1f, read-only %.1f (difference %.1f); "
        "CatchUp() alone %.2f ns\n",
        Median(exclusive), Median(read_only), Median(read_only) - Median(exclusive), catch_up);
}

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        seconds_each = std::atof(argv[1]);
    }
    testsupport::TempDir dir;
    const std::string path = dir.File("db");
    CreateDatabase(path);
    std::printf("load average before: %s\n", LoadAverage().c_str());
    std::fflush(stdout);
    ReadBesideWrites(path);
    std::fflush(stdout);
    TwoSharedWriters(path);
    std::fflush(stdout);
    WatchLatency(path);
    std::fflush(stdout);
    CallStartCheck(path);
    std::printf("load average after: %s\n", LoadAverage().c_str());
    return 0;
}
