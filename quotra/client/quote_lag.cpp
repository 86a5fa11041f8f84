// The lines about lag on the module's logger: a WARNING when quotes arrive
// older than the client's threshold (at most one every 5 s), an INFO line
// when they are back under it, and one WARNING, once, for quotes from the
// future (a wrong clock, here or at the exchange).
//
// Decided on the quote path, off its counters (health.hpp's count_lag): the
// per-quote cost is a comparison; this unit runs only for a late quote, the
// first quote back under the threshold and the first from the future, and
// logs at most once per 5 s while quotes stay late.
#include "client.hpp"
#include "support.hpp"

#include <cinttypes>
#include <cstdio>

namespace qt {

namespace {

void log_text(PyObject* level, const char* text) {
    Ref line = own(PyUnicode_FromString(text));
    log(level, line.get());
}

double seconds(int64_t ns) { return static_cast<double>(ns) / 1e9; }

}  // namespace

void lag_line(Quotra* self) noexcept {
    Health& h = self->health;
    char text[256];
    PyObject* level = nullptr;
    if (h.future_quotes && !h.future_reported) {
        h.future_reported = true;
        std::snprintf(text, sizeof text,
                      "quote timestamps are more than %.3f s ahead of this machine's clock: a clock is wrong; "
                      "such quotes are not counted as lag (reported once)",
                      seconds(h.future_tolerance_ns));
        level = S(warning);
    } else if (h.lag_ns > h.lag_threshold_ns) {
        int64_t now = monotonic_ns();
        if (h.behind_line_ns && now - h.behind_line_ns < BEHIND_LINE_EVERY_NS) return;
        uint64_t late = h.late_quotes - h.late_at_line;
        h.late_at_line = h.late_quotes;
        h.behind_line_ns = now;
        h.behind = true;
        std::snprintf(text, sizeof text,
                      "quotes are behind: the latest was %.3f s old when decoded (threshold %.3f s); "
                      "%" PRIu64 " arrived late since the last such line",
                      seconds(h.lag_ns), seconds(h.lag_threshold_ns), late);
        level = S(warning);
    } else if (h.behind) {
        h.behind = false;
        std::snprintf(text, sizeof text, "quotes are back under the lag threshold (%.3f s): the latest was %.3f s old",
                      seconds(h.lag_threshold_ns), seconds(h.lag_ns));
        level = S(info);
    } else {
        return;
    }
    // A logger that fails must not fail the quote, which has been delivered.
    try {
        log_text(level, text);
    } catch (const PyError&) {
        PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(self));
    }
}

}  // namespace qt
