#include "platform/log/log.hpp"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <utility>

#include "platform/log/journal_sink.hpp"

namespace quorvane::log {

const char* levelName(Level level) {
    switch (level) {
        case Level::Default: return "default";
        case Level::Info: return "info";
        case Level::Debug: return "debug";
        case Level::Error: return "error";
        case Level::Fault: return "fault";
    }
    return "default";
}

namespace detail {

std::string stripPrivacyAnnotations(const char* fmt) {
    std::string out;
    if (!fmt) return out;
    for (const char* p = fmt; *p;) {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        out += *p++;
        if (*p == '%') {
            out += *p++;
        } else if (*p == '{') {
            // Only a closed annotation is dropped; an unclosed brace is left for printf to show.
            const char* close = p;
            while (*close && *close != '}') ++close;
            if (*close == '}') p = close + 1;
        }
    }
    return out;
}

std::string format(const char* fmt, ...) {
    const std::string plain = stripPrivacyAnnotations(fmt);
    std::string out(256, '\0');
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    const int needed = std::vsnprintf(out.data(), out.size(), plain.c_str(), args);
    va_end(args);
    if (needed < 0) {
        va_end(again);
        return plain;  // an encoding error: the bare format still says what happened
    }
    if (static_cast<std::size_t>(needed) >= out.size()) {
        out.assign(static_cast<std::size_t>(needed) + 1, '\0');
        std::vsnprintf(out.data(), out.size(), plain.c_str(), again);
    }
    va_end(again);
    out.resize(static_cast<std::size_t>(needed));
    return out;
}

std::string formatLine(const Record& record, std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto sinceEpoch = when.time_since_epoch();
    auto secs = duration_cast<seconds>(sinceEpoch);
    auto millis = duration_cast<milliseconds>(sinceEpoch - secs).count();
    if (millis < 0) {  // before 1970: keep the fraction positive
        secs -= seconds(1);
        millis += 1000;
    }
    const std::time_t t = static_cast<std::time_t>(secs.count());
    std::tm utc{};
    gmtime_r(&t, &utc);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(millis));
    std::string line;
    line.reserve(record.message.size() + record.subsystem.size() + record.category.size() + 48);
    line += stamp;
    line += ' ';
    line += levelName(record.level);
    line += ' ';
    line += record.subsystem;
    line += " [";
    line += record.category;
    line += "] ";
    line += record.message;
    line += '\n';
    return line;
}

}  // namespace detail

void StreamSink::write(const Record& record) {
    const std::string line = detail::formatLine(record, std::chrono::system_clock::now());
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(fd_, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nowhere to report a failing stderr
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

namespace {

using SinkList = std::vector<std::shared_ptr<Sink>>;

// Copy-on-write: emit() takes a snapshot under the mutex and writes outside it, so a sink may
// be added or removed while other threads log, and a slow sink never blocks a change.
struct SinkRegistry {
    std::mutex mutex;
    std::shared_ptr<const SinkList> sinks;  // guarded by mutex

    SinkRegistry() {
        auto initial = std::make_shared<SinkList>();
        initial->push_back(defaultSink(std::getenv("JOURNAL_STREAM"), STDERR_FILENO));
        sinks = std::move(initial);
    }

    std::shared_ptr<const SinkList> snapshot() {
        std::lock_guard lock(mutex);
        return sinks;
    }
};

SinkRegistry& registry() {
    // Never destroyed: lines logged from exit hooks and static destructors still go out.
    static SinkRegistry* instance = new SinkRegistry();
    return *instance;
}

}  // namespace

void addSink(std::shared_ptr<Sink> sink) {
    if (!sink) return;
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    auto next = std::make_shared<SinkList>(*reg.sinks);
    next->push_back(std::move(sink));
    reg.sinks = std::move(next);
}

void removeSink(const std::shared_ptr<Sink>& sink) {
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    auto next = std::make_shared<SinkList>();
    for (const auto& s : *reg.sinks) {
        if (s != sink) next->push_back(s);
    }
    reg.sinks = std::move(next);
}

namespace detail {

void emit(Level level, const std::string& subsystem, const std::string& category, std::string message,
          const CodeLocation& where) {
    const Record record{level, subsystem, category, std::move(message), where.file, where.line, where.function};
    const auto sinks = registry().snapshot();
    for (const auto& sink : *sinks) {
        try {
            sink->write(record);
        } catch (...) {
            // Logging runs in destructors and fail-safe paths; a faulty sink must not end them.
        }
    }
}

}  // namespace detail

struct CaptureSink::Impl {
    mutable std::mutex mutex;
    std::vector<Record> records;  // guarded by mutex
};

CaptureSink::CaptureSink() : impl_(std::make_shared<Impl>()) {}

void CaptureSink::write(const Record& record) {
    std::lock_guard lock(impl_->mutex);
    impl_->records.push_back(record);
}

std::vector<Record> CaptureSink::records() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->records;
}

std::size_t CaptureSink::count(const std::string& text) const {
    std::lock_guard lock(impl_->mutex);
    std::size_t n = 0;
    for (const auto& r : impl_->records) n += (r.message == text) ? 1 : 0;
    return n;
}

std::size_t CaptureSink::count(Level level, const std::string& category, const std::string& text) const {
    std::lock_guard lock(impl_->mutex);
    std::size_t n = 0;
    for (const auto& r : impl_->records) {
        n += (r.level == level && r.category == category && r.message == text) ? 1 : 0;
    }
    return n;
}

void CaptureSink::clear() {
    std::lock_guard lock(impl_->mutex);
    impl_->records.clear();
}

}  // namespace quorvane::log
