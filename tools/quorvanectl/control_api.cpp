#include "control_api.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

#include "shared/common/decoding_error.hpp"

namespace quorvane::ctl {

namespace {

using Json = nlohmann::ordered_json;

Json number(double v) { return std::isfinite(v) ? Json(v) : Json(nullptr); }
Json number(std::optional<double> v) { return v ? number(*v) : Json(nullptr); }

std::string errorLine(int status, const std::string& message) {
    return Json{{"version", 1}, {"status", status}, {"error", message}}.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string line(const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

template <typename Pick>
Json ranges(const std::vector<ControlHistory::MinuteSample>& minutes, Pick pick) {
    Json min = Json::array(), mean = Json::array(), max = Json::array();
    for (const auto& m : minutes) {
        const auto r = pick(m);
        min.push_back(number(r.min));
        mean.push_back(number(r.mean));
        max.push_back(number(r.max));
    }
    return Json{{"min", std::move(min)}, {"mean", std::move(mean)}, {"max", std::move(max)}};
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A query value as encodeURIComponent writes it: "%XX" escapes, '+' itself.
std::optional<std::string> percentDecoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        const int hi = hexDigit(text[i + 1]), lo = hexDigit(text[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return out;
}

// The simulation's query: "profile=" a stored profile and/or "mode=" a stored custom mode or
// null, each JSON, percent-encoded, at most once each.
std::optional<ApiError> parseSimulation(std::string_view query, ApiRequest& request) {
    bool sawProfile = false;
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const auto eq = pair.find('=');
        const std::string_view key = pair.substr(0, eq);
        if (eq == std::string_view::npos || (key != "profile" && key != "mode"))
            return ApiError{400, "a simulation takes profile=JSON and mode=JSON (percent-encoded)"};
        if ((key == "profile" && sawProfile) || (key == "mode" && request.mode))
            return ApiError{400, std::string(key) + " is given more than once"};
        const auto text = percentDecoded(pair.substr(eq + 1));
        if (!text) return ApiError{400, std::string(key) + ": a malformed %-escape"};
        const auto json = nlohmann::json::parse(*text, nullptr, false);
        if (json.is_discarded()) return ApiError{400, std::string(key) + ": not JSON"};
        try {
            if (key == "profile") {
                sawProfile = true;
                request.profile.emplace(FanProfile::fromJSON(json, "profile"));
                if (request.profile->curvePoints.size() > maxSimulatedPoints)
                    return ApiError{413, "profile: more than " + std::to_string(maxSimulatedPoints) + " curve points"};
                if (request.profile->mode == ControlMode::adaptiveCurve && request.profile->curvePoints.size() < 2)
                    return ApiError{400, "profile: a curve needs two or more points"};
            } else {
                request.mode.emplace(json.is_null() ? std::nullopt : std::optional<CustomMode>(CustomMode::fromJSON(json, "mode")));
            }
        } catch (const DecodingError& e) {
            return ApiError{400, e.what()};
        }
    }
    return std::nullopt;
}

}  // namespace

std::variant<ApiRequest, ApiError> parseApiRequest(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() > controlApiMaxRequestBytes) return ApiError{414, "request too long"};
    for (const char c : line) {
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f)
            return ApiError{400, "a request is a path of printable characters"};
    }
    const auto q = line.find('?');
    const std::string_view path = line.substr(0, q);
    const std::string_view query = q == std::string_view::npos ? std::string_view() : line.substr(q + 1);
    ApiRequest request;
    if (path == "/v1/state" || path == "/v1/profile") {
        if (q != std::string_view::npos) return ApiError{400, std::string(path) + " takes no query"};
        request.kind = path == "/v1/state" ? ApiRequest::Kind::state : ApiRequest::Kind::profile;
        return request;
    }
    if (path == "/v1/simulate") {
        request.kind = ApiRequest::Kind::simulate;
        if (const auto error = parseSimulation(query, request)) return *error;
        return request;
    }
    if (path != "/v1/history") return ApiError{404, "no such resource (try /v1/state, /v1/history, /v1/profile, /v1/simulate)"};
    request.kind = ApiRequest::Kind::history;
    request.window = "10m";
    request.windowSeconds = 600;
    if (q != std::string_view::npos) {
        constexpr std::string_view key = "window=";
        if (query.substr(0, key.size()) != key) return ApiError{400, "the history takes only window=10m|1h|24h"};
        const std::string_view value = query.substr(key.size());
        if (value == "10m") {
            request.windowSeconds = 600;
        } else if (value == "1h") {
            request.windowSeconds = 3600;
        } else if (value == "24h") {
            request.windowSeconds = 86400;
        } else {
            return ApiError{400, "window is one of 10m, 1h, 24h"};
        }
        request.window = std::string(value);
    }
    return request;
}

void ControlApi::following(const std::string& name, const ControlLoop& loop) {
    Json j{{"version", 1}, {"following", name}};
    try {
        j["profile"] = loop.profile().toJSON();
        if (loop.mode()) j["mode"] = loop.mode()->toJSON();
        j["alert"] = loop.alert().toJSON();
    } catch (const std::exception& e) {
        j["problem"] = e.what();
    }
    ControlLoop settings(loop.profile(), loop.mode(), loop.alert(), loop.workload());
    const std::lock_guard lock(mutex_);
    profile_ = std::move(j);
    followed_.emplace(std::move(settings));
}

void ControlApi::record(const RunTick& tick, double now) {
    ControlHistory::TickSample s;
    s.temperature = tick.temperature ? static_cast<float>(*tick.temperature) : ControlHistory::absent;
    s.alertFiring = tick.alertFiring;
    s.fanCount = static_cast<std::uint8_t>(std::min(tick.fans.size(), ControlHistory::maxFans));
    for (std::size_t i = 0; i < s.fanCount; ++i) {
        s.fans[i].actualRPM = tick.fans[i].currentRPMValid ? static_cast<float>(tick.fans[i].currentRPM) : ControlHistory::absent;
        s.fans[i].targetRPM = static_cast<float>(tick.fans[i].targetRPM);
        if (i < tick.duty.size() && tick.duty[i]) s.fans[i].duty = static_cast<float>(*tick.duty[i]);
    }
    const std::lock_guard lock(mutex_);
    if (!anchor_ || std::fabs(*anchor_ + tick.t - now) > 1.0) anchor_ = now - tick.t;
    s.t = *anchor_ + tick.t;
    history_.record(s);
    latest_ = tick;
    latestAt_ = s.t;
    if (!tick.sensors.empty()) sensors_ = tick.sensors;
    haveTick_ = true;
    ++ticks_;
}

void ControlApi::tickFailed(DriveOptions::Failure failure) {
    const std::lock_guard lock(mutex_);
    ++failedTicks_;
    ++(failure == DriveOptions::Failure::smc ? smcErrors_ : daemonErrors_);
}

std::string ControlApi::answer(std::string_view request, double now) const {
    const auto parsed = parseApiRequest(request);
    if (const auto* error = std::get_if<ApiError>(&parsed)) return errorLine(error->status, error->message);
    const auto& r = std::get<ApiRequest>(parsed);
    switch (r.kind) {
        case ApiRequest::Kind::state:
            stateAskedAt_.store(now);
            return state(now);
        case ApiRequest::Kind::history:
            return history(r, now);
        case ApiRequest::Kind::simulate:
            return simulate(r, now);
        case ApiRequest::Kind::profile: {
            const std::lock_guard lock(mutex_);
            if (profile_.is_null()) return errorLine(503, "not following anything yet");
            return line(profile_);
        }
    }
    return errorLine(500, "unhandled request");
}

std::string ControlApi::state(double now) const {
    RunTick tick;
    double at;
    unsigned long long ticks, failed, smcErrors, daemonErrors;
    std::vector<SensorSample> sensors;
    {
        const std::lock_guard lock(mutex_);
        if (!haveTick_) return errorLine(503, "no tick yet");
        tick = latest_;
        at = latestAt_;
        ticks = ticks_;
        failed = failedTicks_;
        smcErrors = smcErrors_;
        daemonErrors = daemonErrors_;
        sensors = sensors_;
    }
    Json sensorList = Json::array();
    for (const auto& s : sensors) {
        sensorList.push_back(Json{{"key", s.key},
                                  {"name", s.name},
                                  {"class", std::string(rawValue(s.sensorClass))},
                                  {"category", std::string(rawValue(s.category))},
                                  {"unit", std::string(unit(s.sensorClass))},
                                  {"value", number(s.value)},
                                  {"drivesFans", s.drives}});
    }
    Json fans = Json::array();
    for (std::size_t i = 0; i < tick.fans.size(); ++i) {
        const auto& f = tick.fans[i];
        fans.push_back(Json{{"id", f.id},
                            {"actualRPM", f.currentRPMValid ? number(f.currentRPM) : Json(nullptr)},
                            {"targetRPM", number(f.targetRPM)},
                            {"minRPM", number(f.minRPM)},
                            {"maxRPM", number(f.maxRPM)},
                            {"manual", f.isManaged},
                            {"duty", i < tick.duty.size() ? number(tick.duty[i]) : Json(nullptr)}});
    }
    return line(Json{{"version", 1},
                     {"time", at},
                     {"ageSeconds", number(now - at)},
                     {"following", tick.profile},
                     {"source", tick.source},
                     {"temperatureCelsius", number(tick.temperature)},
                     {"alert", {{"thresholdCelsius", number(tick.alertThreshold)}, {"firing", tick.alertFiring}}},
                     {"monitoring", tick.monitoring},
                     {"fans", std::move(fans)},
                     {"ticks", ticks},
                     {"failedTicks", failed},
                     {"smcErrors", smcErrors},
                     {"daemonErrors", daemonErrors},
                     {"sensors", std::move(sensorList)}});
}

std::string ControlApi::history(const ApiRequest& r, double now) const {
    const double since = now - r.windowSeconds;
    const bool byMinute = r.windowSeconds > 3600;
    std::vector<ControlHistory::TickSample> ticks;
    std::vector<ControlHistory::MinuteSample> minutes;
    {
        const std::lock_guard lock(mutex_);
        if (byMinute) {
            minutes = history_.minutesSince(since);
        } else {
            ticks = history_.ticksSince(since);
        }
    }
    Json out{{"version", 1}, {"window", r.window}, {"resolution", byMinute ? "minute" : "tick"}};
    Json t = Json::array();
    Json fans = Json::array();
    if (!byMinute) {
        std::size_t fanCount = 0;
        Json temperature = Json::array(), alert = Json::array();
        for (const auto& s : ticks) {
            t.push_back(s.t);
            temperature.push_back(number(s.temperature));
            alert.push_back(s.alertFiring);
            fanCount = std::max<std::size_t>(fanCount, s.fanCount);
        }
        for (std::size_t i = 0; i < fanCount; ++i) {
            Json actual = Json::array(), target = Json::array(), duty = Json::array();
            for (const auto& s : ticks) {
                const bool has = i < s.fanCount;
                actual.push_back(has ? number(s.fans[i].actualRPM) : Json(nullptr));
                target.push_back(has ? number(s.fans[i].targetRPM) : Json(nullptr));
                duty.push_back(has ? number(s.fans[i].duty) : Json(nullptr));
            }
            fans.push_back(Json{{"id", i}, {"actualRPM", std::move(actual)}, {"targetRPM", std::move(target)}, {"duty", std::move(duty)}});
        }
        out["t"] = std::move(t);
        out["temperatureCelsius"] = std::move(temperature);
        out["alertFiring"] = std::move(alert);
    } else {
        std::size_t fanCount = 0;
        Json count = Json::array(), alertTicks = Json::array();
        for (const auto& m : minutes) {
            t.push_back(m.t);
            count.push_back(m.ticks);
            alertTicks.push_back(m.alertTicks);
            fanCount = std::max<std::size_t>(fanCount, m.fanCount);
        }
        for (std::size_t fan = 0; fan < fanCount; ++fan) {
            fans.push_back(Json{{"id", fan},
                                {"actualRPM", ranges(minutes, [fan](const ControlHistory::MinuteSample& m) { return m.fans[fan].actualRPM; })},
                                {"targetRPM", ranges(minutes, [fan](const ControlHistory::MinuteSample& m) { return m.fans[fan].targetRPM; })},
                                {"duty", ranges(minutes, [fan](const ControlHistory::MinuteSample& m) { return m.fans[fan].duty; })}});
        }
        out["t"] = std::move(t);
        out["ticks"] = std::move(count);
        out["alertTicks"] = std::move(alertTicks);
        out["temperatureCelsius"] = ranges(minutes, [](const ControlHistory::MinuteSample& m) { return m.temperature; });
    }
    out["fans"] = std::move(fans);
    return line(out);
}

std::string ControlApi::simulate(const ApiRequest& r, double now) const {
    std::vector<ControlHistory::TickSample> ticks;
    std::vector<FanStatus> fans;
    std::optional<ControlLoop> followed;
    {
        const std::lock_guard lock(mutex_);
        if (!followed_ || !haveTick_) return errorLine(503, "nothing recorded yet");
        ticks = history_.ticksSince(now - 3600);
        fans = latest_.fans;
        followed.emplace(*followed_);
    }
    std::optional<ControlLoop> loop;
    try {
        loop.emplace(r.profile ? *r.profile : followed->profile(), r.mode ? *r.mode : followed->mode(), followed->alert(),
                     followed->workload());
    } catch (const std::exception& e) {
        return errorLine(400, e.what());
    }
    const std::size_t fanCount = std::min(fans.size(), ControlHistory::maxFans);
    Json t = Json::array(), temperature = Json::array(), alert = Json::array();
    std::vector<Json> real(fanCount, Json::array()), target(fanCount, Json::array()), duty(fanCount, Json::array());
    std::vector<FanStatus> read;
    for (const auto& s : ticks) {
        // The fans as that tick read them: the speeds recorded, the bounds of today.
        read.clear();
        for (std::size_t i = 0; i < fanCount && i < s.fanCount; ++i) {
            FanStatus f = fans[i];
            f.currentRPMValid = !std::isnan(s.fans[i].actualRPM);
            f.currentRPM = f.currentRPMValid ? s.fans[i].actualRPM : 0;
            f.targetRPM = s.fans[i].targetRPM;
            f.isManaged = true;
            read.push_back(f);
        }
        const std::optional<double> reading = std::isnan(s.temperature) ? std::nullopt : std::optional<double>(s.temperature);
        std::vector<FanCommand> commands;
        if (loop->monitorsOnly()) {
            loop->record(s.t, reading);
        } else {
            commands = loop->step(s.t, reading, read);
        }
        t.push_back(s.t);
        temperature.push_back(number(s.temperature));
        alert.push_back(loop->alertFiring());
        for (std::size_t i = 0; i < fanCount; ++i) {
            real[i].push_back(i < s.fanCount ? number(s.fans[i].targetRPM) : Json(nullptr));
            const auto c = std::find_if(commands.begin(), commands.end(), [&](const FanCommand& c) { return c.fan == fans[i].id; });
            target[i].push_back(c == commands.end() || i >= s.fanCount ? Json(nullptr) : number(c->targetRPM));
            duty[i].push_back(c == commands.end() || i >= s.fanCount ? Json(nullptr) : number(c->duty));
        }
    }
    Json out{{"version", 1}, {"window", "1h"}, {"resolution", "tick"}};
    try {
        out["profile"] = loop->profile().toJSON();
        if (loop->mode()) out["mode"] = loop->mode()->toJSON();
    } catch (const std::exception& e) {
        return errorLine(400, e.what());
    }
    out["t"] = std::move(t);
    out["temperatureCelsius"] = std::move(temperature);
    out["simulatedAlertFiring"] = std::move(alert);
    Json fanOut = Json::array();
    for (std::size_t i = 0; i < fanCount; ++i) {
        fanOut.push_back(Json{{"id", fans[i].id},
                              {"targetRPM", std::move(real[i])},
                              {"simulatedTargetRPM", std::move(target[i])},
                              {"simulatedDuty", std::move(duty[i])}});
    }
    out["fans"] = std::move(fanOut);
    return line(out);
}

}  // namespace quorvane::ctl
