// The client's health counters: native fields of Quotra, never pickled, read
// by quotra._monitor (quotra.monitor.snapshot). The quote path pays a few
// increments and one coarse clock read per quote for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

namespace qt {

// Upper bounds of the lag histogram's buckets, in nanoseconds (1 ms to 30 s);
// one more bucket counts what is older than the last bound.
inline constexpr int64_t LAG_BOUNDS_NS[] = {
    1'000'000,   2'500'000,   5'000'000,     10'000'000,    25'000'000,    50'000'000,     100'000'000,
    250'000'000, 500'000'000, 1'000'000'000, 2'500'000'000, 5'000'000'000, 10'000'000'000, 30'000'000'000,
};
inline constexpr size_t LAG_BOUNDS = sizeof LAG_BOUNDS_NS / sizeof LAG_BOUNDS_NS[0];
// At most one "behind" line in this long.
inline constexpr int64_t BEHIND_LINE_EVERY_NS = 5'000'000'000;
inline constexpr int64_t DEFAULT_LAG_THRESHOLD_NS = 1'000'000'000;
// How far ahead of this machine's clock a quote may be stamped before its
// clock counts as wrong (a setting of its own: a tight lag threshold must not
// make a few milliseconds of offset look like a broken clock).
inline constexpr int64_t DEFAULT_FUTURE_TOLERANCE_NS = 1'000'000'000;

struct Health {
    uint64_t quotes{};              // dicts handed to the message callback, their coroutine scheduled
    uint64_t quote_errors{};        // quote frames that failed instead (to the error callback, dropped, or raised)
    uint64_t frames{};              // data frames received (TEXT, BINARY, CONTINUATION)
    uint64_t bytes{};               // their payload bytes
    uint64_t connections_opened{};  // connections that opened
    uint64_t disconnections{};      // connections that ended
    uint64_t connect_failures{};    // attempts that failed to open a connection, whatever the cause
    int64_t last_quote_ns{};        // monotonic_ns() of the latest quote; 0: none yet
    uint64_t frames_after_close{};  // TEXT messages read and dropped once the user's close (or the end) began

    // Lag: the wall clock minus the quote's exchange_ts_ns, taken as its dict
    // is filled. Quotes without a timestamp are not counted, nor are those
    // from further in the future than the tolerance (a wrong clock); a quote
    // from the future within it counts as a lag of 0.
    int64_t lag_ns{};                      // of the latest counted quote (below 0 for a clock ahead)
    uint64_t lag_quotes{};                 // quotes counted (lag_ns is meaningful once > 0)
    double lag_sum_s{};                    // their lags in seconds, negative ones as 0 (an int64 of
                                         // nanoseconds would overflow in days for a feed far behind)
    uint64_t lag_counts[LAG_BOUNDS + 1]{}; // per bucket, not cumulative
    uint64_t late_quotes{};                // counted quotes older than the threshold
    uint64_t future_quotes{};              // quotes from further in the future than the tolerance
    int64_t lag_threshold_ns = DEFAULT_LAG_THRESHOLD_NS;
    int64_t future_tolerance_ns = DEFAULT_FUTURE_TOLERANCE_NS;
    // The lines about lag (quote_lag.cpp): late_quotes when the last "behind"
    // line was logged, and when (monotonic_ns(); 0: never); whether quotes
    // are behind since that line; whether the wrong clock has been reported.
    uint64_t late_at_line{};
    int64_t behind_line_ns{};
    bool behind{};
    bool future_reported{};
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

// Nanoseconds of the wall clock, the one quote timestamps are taken on: a
// vDSO read, no system call.
inline int64_t wall_ns() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Counts one quote's lag; true when a line about lag may be due (the quote
// is late, from the future, or back under the threshold after a "behind"
// line), which quote_lag.cpp then decides off the per-quote arithmetic.
inline bool count_lag(Health& h, int64_t lag) noexcept {
    if (lag < -h.future_tolerance_ns) {
        h.future_quotes++;
        return !h.future_reported;
    }
    h.lag_ns = lag;
    h.lag_quotes++;
    int64_t a = lag > 0 ? lag : 0;
    h.lag_sum_s += static_cast<double>(a) * 1e-9;
    size_t i = 0;
    while (i < LAG_BOUNDS && a > LAG_BOUNDS_NS[i]) i++;
    h.lag_counts[i]++;
    if (a > h.lag_threshold_ns) {
        h.late_quotes++;
        return true;
    }
    return h.behind;
}

}  // namespace qt
