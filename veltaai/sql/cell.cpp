#include "veltaai/sql/cell.h"

#include "veltaai/core/value.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace veltaai::sql {

namespace {

constexpr std::int64_t kMicrosPerDay = 86'400'000'000LL;

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

// Byte length of the first max_chars UTF-8 characters of text (all of it when shorter).
std::size_t utf8_prefix(std::string_view text, std::size_t max_chars) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (chars == max_chars) return i;
            ++chars;
        }
    }
    return text.size();
}

std::string bytes_literal(std::string_view data) {
    const bool has_single = data.find('\'') != std::string_view::npos;
    const bool has_double = data.find('"') != std::string_view::npos;
    const char quote = (has_single && !has_double) ? '"' : '\'';
    std::string out = "b";
    out += quote;
    for (const char c : data) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\')
            out += "\\\\";
        else if (c == quote)
            (out += '\\') += c;
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else if (byte < 0x20 || byte >= 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    out += quote;
    return out;
}

std::string float_literal(double value) {
    if (std::isnan(value)) return "float('nan')";
    if (std::isinf(value)) return value < 0 ? "float('-inf')" : "float('inf')";
    return shortest_decimal(value);
}

std::string timedelta_literal(const Interval& span) {
    const std::int64_t seconds = span.microseconds / 1'000'000;
    const std::int64_t micros = span.microseconds % 1'000'000;
    std::string args;
    auto add = [&](const char* name, std::int64_t v) {
        if (v == 0) return;
        if (!args.empty()) args += ", ";
        args += name;
        args += '=';
        args += std::to_string(v);
    };
    add("days", span.days);
    add("seconds", seconds);
    add("microseconds", micros);
    return "datetime.timedelta(" + (args.empty() ? std::string("0") : args) + ")";
}

std::string timezone_literal(int offset_seconds) {
    if (offset_seconds == 0) return "datetime.timezone.utc";
    return "datetime.timezone(" +
           timedelta_literal(Interval::from_microseconds(0, offset_seconds * 1'000'000LL)) + ")";
}

// The clock part of a time or datetime repr: "10, 30", "10, 30, 5", "10, 30, 0, 500000".
std::string clock_arguments(const Time& t) {
    std::string out = std::to_string(t.hour) + ", " + std::to_string(t.minute);
    if (t.second != 0 || t.microsecond != 0) out += ", " + std::to_string(t.second);
    if (t.microsecond != 0) out += ", " + std::to_string(t.microsecond);
    if (t.utc_offset_seconds) out += ", tzinfo=" + timezone_literal(*t.utc_offset_seconds);
    return out;
}

std::string date_text(const Date& d) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", d.year, d.month, d.day);
    return buffer;
}

std::string clock_text(const Time& t) {
    char buffer[64];
    int n = std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d", t.hour, t.minute, t.second);
    if (t.microsecond != 0) n += std::snprintf(buffer + n, sizeof buffer - n, ".%06d", t.microsecond);
    if (t.utc_offset_seconds) {
        const int off = *t.utc_offset_seconds;
        const int a = off < 0 ? -off : off;
        n += std::snprintf(buffer + n, sizeof buffer - n, "%c%02d:%02d", off < 0 ? '-' : '+', a / 3600,
                           a / 60 % 60);
        if (a % 60) std::snprintf(buffer + n, sizeof buffer - n, ":%02d", a % 60);
    }
    return buffer;
}

std::string timedelta_text(const Interval& span) {
    std::string out;
    if (span.days != 0) {
        out = std::to_string(span.days) + (span.days == 1 || span.days == -1 ? " day, " : " days, ");
    }
    const std::int64_t total = span.microseconds / 1'000'000;
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%lld:%02lld:%02lld", static_cast<long long>(total / 3600),
                  static_cast<long long>(total / 60 % 60), static_cast<long long>(total % 60));
    out += buffer;
    if (span.microseconds % 1'000'000) {
        std::snprintf(buffer, sizeof buffer, ".%06lld",
                      static_cast<long long>(span.microseconds % 1'000'000));
        out += buffer;
    }
    return out;
}

// Reads exactly `width` digits (or, with width 0, one or more) from text at pos.
bool read_number(std::string_view text, std::size_t& pos, std::size_t width, int& out) {
    std::size_t end = pos;
    while (end < text.size() && (width == 0 || end - pos < width) && text[end] >= '0' && text[end] <= '9')
        ++end;
    if (end == pos || (width != 0 && end - pos != width)) return false;
    std::from_chars(text.data() + pos, text.data() + end, out);
    pos = end;
    return true;
}

bool expect(std::string_view text, std::size_t& pos, char c) {
    if (pos >= text.size() || text[pos] != c) return false;
    ++pos;
    return true;
}

bool read_date(std::string_view text, std::size_t& pos, Date& d) {
    if (!read_number(text, pos, 4, d.year) || !expect(text, pos, '-') ||
        !read_number(text, pos, 2, d.month) || !expect(text, pos, '-') || !read_number(text, pos, 2, d.day)) {
        return false;
    }
    return d.year >= 1 && d.month >= 1 && d.month <= 12 && d.day >= 1 && d.day <= 31;
}

bool read_time(std::string_view text, std::size_t& pos, bool with_zone, Time& t) {
    if (!read_number(text, pos, 2, t.hour) || !expect(text, pos, ':') ||
        !read_number(text, pos, 2, t.minute)) {
        return false;
    }
    if (pos < text.size() && text[pos] == ':') {
        ++pos;
        if (!read_number(text, pos, 2, t.second)) return false;
    }
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        int scale = 100000;
        std::size_t digits = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            if (digits < 6) t.microsecond += (text[pos] - '0') * scale;
            scale /= 10;
            ++digits;
            ++pos;
        }
        if (digits == 0) return false;
    }
    if (with_zone && pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        const int sign = text[pos] == '-' ? -1 : 1;
        ++pos;
        int h = 0, m = 0, s = 0;
        if (!read_number(text, pos, 2, h)) return false;
        if (pos < text.size() && text[pos] == ':') {
            ++pos;
            if (!read_number(text, pos, 2, m)) return false;
            if (pos < text.size() && text[pos] == ':') {
                ++pos;
                if (!read_number(text, pos, 2, s)) return false;
            }
        }
        t.utc_offset_seconds = sign * (h * 3600 + m * 60 + s);
    }
    return t.hour < 24 && t.minute < 60 && t.second < 60;
}

}  // namespace

Interval Interval::from_microseconds(std::int64_t days, std::int64_t microseconds) {
    Interval out;
    out.days = days + floor_div(microseconds, kMicrosPerDay);
    out.microseconds = microseconds - floor_div(microseconds, kMicrosPerDay) * kMicrosPerDay;
    return out;
}

std::string python_literal(const Cell& cell, std::size_t max_length) {
    struct Visitor {
        std::size_t max_length;
        std::string operator()(std::monostate) const { return "None"; }
        std::string operator()(bool b) const { return b ? "True" : "False"; }
        std::string operator()(std::int64_t i) const { return std::to_string(i); }
        std::string operator()(const Decimal& d) const { return "Decimal('" + d.text + "')"; }
        std::string operator()(double f) const { return float_literal(f); }
        std::string operator()(const std::string& s) const {
            if (max_length == 0) return quoted_text(s);
            const std::size_t cut = utf8_prefix(s, max_length);
            if (cut == s.size()) return quoted_text(s);
            return quoted_text(s.substr(0, cut) + std::string(kTruncationMarker));
        }
        std::string operator()(const Bytes& b) const {
            if (max_length == 0 || b.data.size() <= max_length) return bytes_literal(b.data);
            return bytes_literal(b.data.substr(0, max_length) + std::string(kTruncationMarker));
        }
        std::string operator()(const Date& d) const {
            return "datetime.date(" + std::to_string(d.year) + ", " + std::to_string(d.month) + ", " +
                   std::to_string(d.day) + ")";
        }
        std::string operator()(const Time& t) const { return "datetime.time(" + clock_arguments(t) + ")"; }
        std::string operator()(const Timestamp& ts) const {
            return "datetime.datetime(" + std::to_string(ts.date.year) + ", " +
                   std::to_string(ts.date.month) + ", " + std::to_string(ts.date.day) + ", " +
                   clock_arguments(ts.time) + ")";
        }
        std::string operator()(const Interval& span) const { return timedelta_literal(span); }
    };
    return std::visit(Visitor{max_length}, cell);
}

std::string display_text(const Cell& cell) {
    struct Visitor {
        std::string operator()(std::monostate) const { return "None"; }
        std::string operator()(bool b) const { return b ? "True" : "False"; }
        std::string operator()(std::int64_t i) const { return std::to_string(i); }
        std::string operator()(const Decimal& d) const { return d.text; }
        std::string operator()(double f) const { return shortest_decimal(f); }
        std::string operator()(const std::string& s) const { return s; }
        std::string operator()(const Bytes& b) const { return bytes_literal(b.data); }
        std::string operator()(const Date& d) const { return date_text(d); }
        std::string operator()(const Time& t) const { return clock_text(t); }
        std::string operator()(const Timestamp& ts) const {
            return date_text(ts.date) + " " + clock_text(ts.time);
        }
        std::string operator()(const Interval& span) const { return timedelta_text(span); }
    };
    return std::visit(Visitor{}, cell);
}

std::optional<Date> parse_date(std::string_view text) {
    Date d;
    std::size_t pos = 0;
    if (!read_date(text, pos, d) || pos != text.size()) return std::nullopt;
    return d;
}

std::optional<Time> parse_time(std::string_view text, bool with_zone) {
    Time t;
    std::size_t pos = 0;
    if (!read_time(text, pos, with_zone, t) || pos != text.size()) return std::nullopt;
    return t;
}

std::optional<Timestamp> parse_timestamp(std::string_view text, bool with_zone) {
    Timestamp ts;
    std::size_t pos = 0;
    if (!read_date(text, pos, ts.date)) return std::nullopt;
    if (pos >= text.size() || (text[pos] != ' ' && text[pos] != 'T')) return std::nullopt;
    ++pos;
    if (!read_time(text, pos, with_zone, ts.time) || pos != text.size()) return std::nullopt;
    return ts;
}

}  // namespace veltaai::sql
