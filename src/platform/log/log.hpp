// Unified-log stand-in: a logger per (subsystem, category), five levels, printf-style formats in
// which "%{public}s" and "%{private}s" are accepted as "%s". Messages go to every installed sink:
// stderr (one line each), the systemd journal when its socket exists, and capture sinks in tests.
// Thread-safe.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace quorvane::log {

enum class Level { Default, Info, Debug, Error, Fault };
const char* levelName(Level level);

struct Record {
    Level level;
    std::string subsystem;
    std::string category;
    std::string message;
};

class Sink {
public:
    virtual ~Sink() = default;
    virtual void write(const Record& record) = 0;
};

void addSink(std::shared_ptr<Sink> sink);
void removeSink(const std::shared_ptr<Sink>& sink);

namespace detail {
// Formats with the platform's printf after removing the "{…}" privacy annotations.
std::string format(const char* fmt, ...);
// "%{public}s" -> "%s": drops a closed "{…}" right after a '%'; "%%" is kept as is.
std::string stripPrivacyAnnotations(const char* fmt);
// The stderr line: "2026-12-06T18:50:52.123Z <level> <subsystem> [<category>] <message>\n" (UTC).
std::string formatLine(const Record& record, std::chrono::system_clock::time_point when);
void emit(Level level, const std::string& subsystem, const std::string& category, std::string message);

template <class T>
decltype(auto) cArg(const T& v) {
    if constexpr (std::is_same_v<T, std::string>) {
        return v.c_str();
    } else if constexpr (std::is_array_v<T>) {
        return static_cast<const std::remove_extent_t<T>*>(v);  // a string literal argument
    } else {
        static_assert(std::is_arithmetic_v<T> || std::is_pointer_v<T> || std::is_enum_v<T>,
                      "log arguments must be numbers, C strings or std::string");
        return v;
    }
}
}  // namespace detail

class Logger {
public:
    Logger(std::string subsystem, std::string category)
        : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

    template <class... A>
    void log(Level level, const char* fmt, const A&... args) const {
        detail::emit(level, subsystem_, category_, detail::format(fmt, detail::cArg(args)...));
    }
    template <class... A> void notice(const char* f, const A&... a) const { log(Level::Default, f, a...); }
    template <class... A> void info(const char* f, const A&... a) const { log(Level::Info, f, a...); }
    template <class... A> void debug(const char* f, const A&... a) const { log(Level::Debug, f, a...); }
    template <class... A> void error(const char* f, const A&... a) const { log(Level::Error, f, a...); }
    template <class... A> void fault(const char* f, const A&... a) const { log(Level::Fault, f, a...); }

private:
    std::string subsystem_;
    std::string category_;
};

// Records every message while installed (tests). Thread-safe.
class CaptureSink final : public Sink {
public:
    CaptureSink();
    void write(const Record& record) override;
    std::vector<Record> records() const;
    // Messages equal to text (any subsystem/category/level when not given).
    std::size_t count(const std::string& text) const;
    std::size_t count(Level level, const std::string& category, const std::string& text) const;
    void clear();

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;  // Impl is defined in log.cpp, so it is built there too
};

// Installs a CaptureSink for its lifetime.
class ScopedCapture {
public:
    ScopedCapture() : sink_(std::make_shared<CaptureSink>()) { addSink(sink_); }
    ~ScopedCapture() { removeSink(sink_); }
    ScopedCapture(const ScopedCapture&) = delete;
    ScopedCapture& operator=(const ScopedCapture&) = delete;
    CaptureSink& operator*() const { return *sink_; }
    CaptureSink* operator->() const { return sink_.get(); }

private:
    std::shared_ptr<CaptureSink> sink_;
};

}  // namespace quorvane::log
