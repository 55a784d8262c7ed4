// Unified-log stand-in: a logger per (subsystem, category), five levels, printf-style formats in
// which "%{public}s" and "%{private}s" are accepted as "%s". Messages go to every installed sink:
// by default one of stderr (one line each) or the systemd journal, the journal when stderr is its
// stream and its socket exists (journal_sink.hpp), so each message is logged once; and capture
// sinks in tests. Each record carries the code location of the logging call. Thread-safe.
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
    // Where the logging call is; static strings, empty when unknown.
    const char* file = "";
    unsigned line = 0;
    const char* function = "";
};

class Sink {
public:
    virtual ~Sink() = default;
    virtual void write(const Record& record) = 0;
};

// One line per record (detail::formatLine) on a file descriptor, in one write(2) so that lines
// from different threads never interleave. Does not own the descriptor.
class StreamSink final : public Sink {
public:
    explicit StreamSink(int fd) : fd_(fd) {}
    void write(const Record& record) override;

private:
    int fd_;
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
struct CodeLocation {
    const char* file = "";
    unsigned line = 0;
    const char* function = "";
};
void emit(Level level, const std::string& subsystem, const std::string& category, std::string message,
          const CodeLocation& where);

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

// A format string with the location of the call that passed it: converting from the literal at
// the call site is what captures the caller's file, line and function. (The builtins rather than
// std::source_location, which the clang of the fuzzing build lacks.)
struct FormatString {
    FormatString(const char* fmt, const char* file = __builtin_FILE(), unsigned line = __builtin_LINE(),
                 const char* function = __builtin_FUNCTION())
        : text(fmt), where{file, line, function} {}
    const char* text;
    detail::CodeLocation where;
};

class Logger {
public:
    Logger(std::string subsystem, std::string category)
        : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

    template <class... A>
    void log(Level level, FormatString fmt, const A&... args) const {
        detail::emit(level, subsystem_, category_, detail::format(fmt.text, detail::cArg(args)...), fmt.where);
    }
    template <class... A> void notice(FormatString f, const A&... a) const { log(Level::Default, f, a...); }
    template <class... A> void info(FormatString f, const A&... a) const { log(Level::Info, f, a...); }
    template <class... A> void debug(FormatString f, const A&... a) const { log(Level::Debug, f, a...); }
    template <class... A> void error(FormatString f, const A&... a) const { log(Level::Error, f, a...); }
    template <class... A> void fault(FormatString f, const A&... a) const { log(Level::Fault, f, a...); }

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
