#include "loomkit/tile_policy.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace loomkit::tiles {

namespace {

const int kMaxZoom = 30;
// More tiles than any screen shows: a corrupt view must not make millions.
const long long kMaxTilesPerSide = 256;

// Without cache headers: a tenth of the time since the last change, as
// RFC 9111 suggests, at most a week; a day when the server says nothing.
const double kHeuristicCap = 7 * 24 * 3600.0;
const double kDefaultLifetime = 24 * 3600.0;

const double kFirstDelay = 1.0;
const double kMaxDelay = 120.0;
const double kMaxRetryAfter = 3600.0;

const double kTouchEvery = 3600.0;

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string trim(const std::string& text) {
    std::size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return "";
    std::size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

// A non-negative whole number of seconds; anything else is no number.
std::optional<double> parse_seconds(const std::string& text) {
    std::string digits = trim(text);
    if (digits.empty() || digits.size() > 12) return std::nullopt;
    for (char c : digits)
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    return std::strtod(digits.c_str(), nullptr);
}

// "host[:port]" of a template, lower case, without any user name or password.
std::string authority_of(const std::string& url_template) {
    std::size_t start = url_template.find("://");
    if (start == std::string::npos) return "";
    start += 3;
    std::size_t end = url_template.find_first_of("/?#", start);
    std::string authority = url_template.substr(start, end == std::string::npos ? std::string::npos : end - start);
    std::size_t at = authority.rfind('@');
    if (at != std::string::npos) authority = authority.substr(at + 1);
    return lower(authority);
}

std::string scheme_of(const std::string& url_template) {
    std::size_t end = url_template.find("://");
    return end == std::string::npos ? "" : lower(url_template.substr(0, end));
}

void replace_all(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// Cache-Control directives, names in lower case, values unquoted.
std::map<std::string, std::string> directives_of(const std::string& header) {
    std::map<std::string, std::string> directives;
    std::size_t start = 0;
    while (start <= header.size()) {
        std::size_t comma = header.find(',', start);
        std::string item = trim(header.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (!item.empty()) {
            std::size_t equals = item.find('=');
            std::string name = lower(trim(item.substr(0, equals)));
            std::string value = equals == std::string::npos ? "" : trim(item.substr(equals + 1));
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
            directives.emplace(name, value);
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return directives;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
long long days_from_civil(long long year, unsigned month, unsigned day) {
    year -= month <= 2;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const unsigned year_of_era = static_cast<unsigned>(year - era * 400);
    const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + static_cast<long long>(day_of_era) - 719468;
}

}  // namespace

bool is_url_template(const std::string& text) {
    std::string scheme = scheme_of(text);
    if (scheme != "http" && scheme != "https") return false;
    if (authority_of(text).empty()) return false;
    if (text.find("{z}") == std::string::npos || text.find("{x}") == std::string::npos ||
        text.find("{y}") == std::string::npos)
        return false;
    // Any other placeholder ({s}, {key}, ...) is never filled in: no tile would load.
    for (std::size_t open = text.find('{'); open != std::string::npos; open = text.find('{', open + 1)) {
        std::string placeholder = text.substr(open, 3);
        if (placeholder == "{z}" || placeholder == "{x}" || placeholder == "{y}") continue;
        if (text.find('}', open) != std::string::npos) return false;
    }
    return true;
}

std::string tile_url(const std::string& url_template, const TileKey& key) {
    std::string url = url_template;
    replace_all(url, "{x}", std::to_string(key.x));
    replace_all(url, "{y}", std::to_string(key.y));
    replace_all(url, "{z}", std::to_string(key.zoom));
    return url;
}

std::string server_of(const std::string& url_template) {
    return scheme_of(url_template) + "://" + authority_of(url_template);
}

std::string host_of(const std::string& url_template) { return authority_of(url_template); }

bool is_openstreetmap(const std::string& url_template) {
    std::string host = authority_of(url_template);
    host = host.substr(0, host.find(':'));
    const std::string domain = "openstreetmap.org";
    return host == domain ||
           (host.size() > domain.size() && host.compare(host.size() - domain.size() - 1, std::string::npos,
                                                        "." + domain) == 0);
}

long long tms_row(const TileKey& key) { return (1LL << key.zoom) - 1 - key.y; }

std::vector<TileKey> visible_tiles(int zoom, double left, double top, double right, double bottom) {
    std::vector<TileKey> keys;
    if (zoom < 0 || zoom > kMaxZoom || !std::isfinite(left) || !std::isfinite(top) || !std::isfinite(right) ||
        !std::isfinite(bottom))
        return keys;
    long long side = 1LL << zoom;
    long long x0 = std::max(0LL, static_cast<long long>(std::floor(left)));
    long long y0 = std::max(0LL, static_cast<long long>(std::floor(top)));
    long long x1 = std::min(side, static_cast<long long>(std::ceil(right)));
    long long y1 = std::min(side, static_cast<long long>(std::ceil(bottom)));
    x1 = std::min(x1, x0 + kMaxTilesPerSide);
    y1 = std::min(y1, y0 + kMaxTilesPerSide);
    for (long long x = x0; x < x1; ++x)
        for (long long y = y0; y < y1; ++y) keys.push_back({zoom, x, y});
    double centre_x = (left + right) / 2, centre_y = (top + bottom) / 2;
    auto distance = [&](const TileKey& k) {
        double dx = k.x + 0.5 - centre_x, dy = k.y + 0.5 - centre_y;
        return dx * dx + dy * dy;
    };
    std::stable_sort(keys.begin(), keys.end(),
                     [&](const TileKey& a, const TileKey& b) { return distance(a) < distance(b); });
    return keys;
}

std::optional<double> parse_http_date(const std::string& text) {
    static const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                          "jul", "aug", "sep", "oct", "nov", "dec"};
    // The three forms share their parts; only the order differs. Separators
    // become spaces, then: a month name, "hh:mm:ss", and two numbers, the
    // day before the year.
    std::string cleaned = text;
    for (char& c : cleaned)
        if (c == ',' || c == '-') c = ' ';
    int month = -1, hour = -1, minute = -1, second = -1;
    std::vector<long long> numbers;
    std::size_t pos = 0;
    while (pos < cleaned.size()) {
        std::size_t end = cleaned.find(' ', pos);
        std::string token = cleaned.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end == std::string::npos ? cleaned.size() : end + 1;
        if (token.empty()) continue;
        if (token.find(':') != std::string::npos) {
            if (std::sscanf(token.c_str(), "%2d:%2d:%2d", &hour, &minute, &second) != 3) return std::nullopt;
        } else if (std::isdigit(static_cast<unsigned char>(token[0]))) {
            std::optional<double> number = parse_seconds(token);
            if (!number) return std::nullopt;
            numbers.push_back(static_cast<long long>(*number));
        } else if (token.size() >= 3 && month < 0) {
            std::string name = lower(token.substr(0, 3));
            for (int m = 0; m < 12; ++m)
                if (name == kMonths[m] && token.size() == 3) month = m;
        }
    }
    if (month < 0 || hour < 0 || numbers.size() != 2) return std::nullopt;
    long long day = numbers[0], year = numbers[1];
    if (year < 100) year += year < 70 ? 2000 : 1900;  // RFC 850's two-digit years
    if (day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return std::nullopt;
    long long days = days_from_civil(year, static_cast<unsigned>(month + 1), static_cast<unsigned>(day));
    return static_cast<double>(days * 86400LL + hour * 3600LL + minute * 60LL + second);
}

std::optional<double> retry_after_of(const std::string& value, double now) {
    if (trim(value).empty()) return std::nullopt;
    if (std::optional<double> seconds = parse_seconds(value)) return seconds;
    if (std::optional<double> date = parse_http_date(value)) return std::max(0.0, *date - now);
    return std::nullopt;
}

Freshness freshness_of(const HttpHeaders& headers, double now) {
    Freshness freshness;
    std::map<std::string, std::string> directives = directives_of(headers.cache_control);
    if (directives.count("no-store")) {
        freshness.storable = false;
        freshness.fresh_until = now;
        return freshness;
    }
    if (directives.count("no-cache")) {  // kept, but asked about every time
        freshness.fresh_until = now;
        return freshness;
    }
    // The server's clock for dates it sends; ours when it sends none.
    std::optional<double> date = parse_http_date(headers.date);
    double server_now = date.value_or(now);
    double lifetime = 0;
    auto max_age = directives.find("max-age");
    if (max_age != directives.end()) {
        lifetime = parse_seconds(max_age->second).value_or(0);  // a malformed max-age: stale
    } else if (!trim(headers.expires).empty()) {
        std::optional<double> expires = parse_http_date(headers.expires);
        lifetime = expires ? *expires - server_now : 0;  // an invalid date means already expired
    } else if (std::optional<double> modified = parse_http_date(headers.last_modified)) {
        lifetime = std::min(kHeuristicCap, std::max(0.0, (server_now - *modified) / 10));
    } else {
        lifetime = kDefaultLifetime;
    }
    // Its age: what the server says, or the time since its Date if more.
    double age = std::max(parse_seconds(headers.age).value_or(0), date ? now - *date : 0.0);
    freshness.fresh_until = now + std::max(0.0, lifetime - age);
    return freshness;
}

Verdict verdict_of(int status) {
    if (status == 200) return Verdict::Tile;
    if (status == 304) return Verdict::Unchanged;
    // Refusals that concern the client rather than the tile: a blocked or
    // unauthorised application, too many requests, a slow or failing server.
    if (status == 401 || status == 403 || status == 408 || status == 429 || status >= 500) return Verdict::SlowDown;
    return Verdict::Missing;
}

void ServerHealth::slow_down(double now, std::optional<double> retry_after) {
    failures_ = std::min(failures_ + 1, 32);
    double delay = std::min(kMaxDelay, kFirstDelay * std::ldexp(1.0, failures_ - 1));
    if (retry_after) delay = std::max(delay, std::min(*retry_after, kMaxRetryAfter));
    retry_at_ = std::max(retry_at_, now + delay);
}

TileQueue::Entry* TileQueue::find(const TileKey& key) {
    for (Entry& entry : entries_)
        if (entry.key == key) return &entry;
    return nullptr;
}

void TileQueue::drop(const TileKey& key) {
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.key == key; }),
                   entries_.end());
}

void TileQueue::want(const std::vector<TileKey>& keys) {
    std::vector<Entry> wanted;
    std::set<TileKey> seen;
    for (const TileKey& key : keys) {
        if (!seen.insert(key).second) continue;
        Entry* known = find(key);
        Entry entry = known ? *known : Entry{key, State::New, true, {}};
        entry.wanted = true;
        wanted.push_back(entry);
    }
    for (const Entry& entry : entries_) {
        bool loading = entry.state == State::LookingUp || entry.state == State::Fetching;
        if (loading && !seen.count(entry.key)) {
            Entry kept = entry;
            kept.wanted = false;
            wanted.push_back(kept);
        }
    }
    entries_ = std::move(wanted);
}

void TileQueue::clear() {
    entries_.clear();
    fetching_ = 0;
}

bool TileQueue::may_fetch(const ServerHealth& health, double now) const {
    return fetching_ < health.request_limit(max_fetches_) && health.may_ask(now);
}

std::optional<Job> TileQueue::next(const ServerHealth& health, double now) {
    for (Entry& entry : entries_) {
        if (entry.wanted && entry.state == State::New) {
            entry.state = State::LookingUp;
            return Job{entry.key, Step::LookUp, {}};
        }
    }
    if (!may_fetch(health, now)) return std::nullopt;
    for (Entry& entry : entries_) {
        if (entry.wanted && entry.state == State::NeedsFetch) {
            entry.state = State::Fetching;
            ++fetching_;
            return Job{entry.key, Step::Fetch, entry.validators};
        }
    }
    return std::nullopt;
}

void TileQueue::needs_fetch(const TileKey& key, const Validators& validators) {
    Entry* entry = find(key);
    if (!entry) return;
    if (entry->state == State::Fetching) --fetching_;
    if (!entry->wanted) return drop(key);
    entry->state = State::NeedsFetch;
    entry->validators = validators;
}

void TileQueue::done(const TileKey& key) {
    Entry* entry = find(key);
    if (!entry) return;
    if (entry->state == State::Fetching) --fetching_;
    drop(key);
}

void TileQueue::retry_later(const TileKey& key) {
    Entry* entry = find(key);
    if (!entry) return;
    if (entry->state == State::Fetching) --fetching_;
    if (!entry->wanted) return drop(key);
    entry->state = State::NeedsFetch;
}

std::size_t TileQueue::runnable(const ServerHealth& health, double now) const {
    std::size_t look_ups = 0, fetches = 0;
    for (const Entry& entry : entries_) {
        if (!entry.wanted) continue;
        if (entry.state == State::New) ++look_ups;
        if (entry.state == State::NeedsFetch) ++fetches;
    }
    if (!may_fetch(health, now)) return look_ups;
    std::size_t free_slots = static_cast<std::size_t>(health.request_limit(max_fetches_) - fetching_);
    return look_ups + std::min(fetches, free_slots);
}

bool TileQueue::waiting_for_server() const {
    return std::any_of(entries_.begin(), entries_.end(),
                       [](const Entry& e) { return e.wanted && e.state == State::NeedsFetch; });
}

long long bytes_to_free(long long total, long long bound) {
    if (bound <= 0 || total <= bound) return 0;
    return total - bound / 10 * 9;
}

bool worth_touching(double last_used, double now) { return now - last_used >= kTouchEvery; }

}  // namespace loomkit::tiles
