// The client's health counters: native fields of Quotra, never pickled, read
// by quotra._monitor (quotra.monitor.snapshot). The quote path pays a few
// increments and one coarse clock read per quote for them.
#pragma once

#include <cstdint>
#include <ctime>

namespace qt {

struct Health {
    uint64_t quotes;              // dicts handed to the message callback, their coroutine scheduled
    uint64_t quote_errors;        // quote frames that failed instead (to the error callback, dropped, or raised)
    uint64_t frames;              // data frames received (TEXT, BINARY, CONTINUATION)
    uint64_t bytes;               // their payload bytes
    uint64_t connections_opened;  // connections that opened
    uint64_t disconnections;      // connections that ended
    uint64_t connect_failures;    // attempts that failed to open a connection, whatever the cause
    int64_t last_quote_ns;        // monotonic_ns() of the latest quote; 0: none yet
};

// Nanoseconds of a monotonic clock. The coarse clock is read without a
// hardware counter: a few nanoseconds, and its resolution (a scheduler tick,
// a few milliseconds) is far finer than staleness is measured in.
inline int64_t monotonic_ns() noexcept {
    timespec ts{};
#ifdef CLOCK_MONOTONIC_COARSE
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
#else
    clock_gettime(CLOCK_MONOTONIC, &ts);
#endif
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace qt
