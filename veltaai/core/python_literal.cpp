#include "veltaai/core/python_literal.h"

#include "veltaai/core/errors.h"
#include "veltaai/core/text.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace veltaai {

namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(std::string_view data) {
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < data.size(); i += 3) {
        const auto byte = [&](std::size_t k) {
            return k < data.size() ? static_cast<unsigned char>(data[k]) : 0u;
        };
        const unsigned triple = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
        out += kBase64[(triple >> 18) & 63];
        out += kBase64[(triple >> 12) & 63];
        out += i + 1 < data.size() ? kBase64[(triple >> 6) & 63] : '=';
        out += i + 2 < data.size() ? kBase64[triple & 63] : '=';
    }
    return out;
}

std::string two_digits(long value) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "%02ld", value);
    return buffer;
}

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    Value whole() {
        Value value = read();
        skip_blanks();
        if (pos_ != text_.size()) fail("unexpected text after the value");
        return value;
    }

private:
    // A call's arguments: positional values, then keyword ones.
    struct Arguments {
        std::vector<Value> positional;
        std::vector<std::pair<std::string, Value>> keywords;

        long number(std::size_t i, long fallback = 0) const {
            return i < positional.size() ? positional[i].get<long>() : fallback;
        }
        const Value* keyword(std::string_view name) const {
            for (const auto& [key, value] : keywords) {
                if (key == name) return &value;
            }
            return nullptr;
        }
    };

    [[noreturn]] void fail(const std::string& why) const {
        throw ValueError("not a Python literal at offset " + std::to_string(pos_) + ": " + why);
    }

    void skip_blanks() {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    }

    bool take(char c) {
        skip_blanks();
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }

    void expect(char c) {
        if (!take(c)) fail(std::string("expected '") + c + "'");
    }

    Value read() {
        skip_blanks();
        if (pos_ >= text_.size()) fail("the text ends where a value should be");
        const char c = text_[pos_];
        if (c == '[' || c == '(') return sequence(c == '[' ? ']' : ')');
        if (c == '{') return dict();
        if (c == '\'' || c == '"') return string(false);
        if (c == 'b' && pos_ + 1 < text_.size() && (text_[pos_ + 1] == '\'' || text_[pos_ + 1] == '"')) {
            ++pos_;
            return base64(string(true).get<std::string>());
        }
        if (c == '-' || c == '+' || std::isdigit(static_cast<unsigned char>(c))) return number();
        return named();
    }

    Value sequence(char close) {
        ++pos_;
        Value list = Value::array();
        while (!take(close)) {
            list.push_back(read());
            if (!take(',')) {
                expect(close);
                break;
            }
        }
        return list;
    }

    Value dict() {
        ++pos_;
        Value record = Value::object();
        while (!take('}')) {
            const Value key = read();
            if (!key.is_string()) fail("a record key must be a text");
            expect(':');
            record[key.get<std::string>()] = read();
            if (!take(',')) {
                expect('}');
                break;
            }
        }
        return record;
    }

    // A quoted text with Python's escapes; bytes keep \xNN as the byte itself.
    Value string(bool bytes) {
        const char quote = text_[pos_++];
        std::string out;
        while (true) {
            if (pos_ >= text_.size()) fail("unclosed quote");
            const char c = text_[pos_++];
            if (c == quote) break;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= text_.size()) fail("unclosed quote");
            const char e = text_[pos_++];
            switch (e) {
                case 'n':
                    out += '\n';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case '0':
                    out += '\0';
                    break;
                case 'x':
                    out_code(out, 2, bytes);
                    break;
                case 'u':
                    out_code(out, 4, bytes);
                    break;
                case 'U':
                    out_code(out, 8, bytes);
                    break;
                default:
                    out += e;
                    break;  // \\ \' \" and anything else as itself
            }
        }
        return out;
    }

    void out_code(std::string& out, int digits, bool bytes) {
        if (pos_ + static_cast<std::size_t>(digits) > text_.size()) fail("short escape");
        unsigned long code = 0;
        const auto [end, ec] = std::from_chars(text_.data() + pos_, text_.data() + pos_ + digits, code, 16);
        if (ec != std::errc() || end != text_.data() + pos_ + digits) fail("bad escape");
        pos_ += static_cast<std::size_t>(digits);
        if (bytes)
            out += static_cast<char>(code);
        else
            append_utf8(out, static_cast<std::uint32_t>(code));
    }

    Value number() {
        const std::size_t start = pos_;
        if (text_[pos_] == '-' || text_[pos_] == '+') ++pos_;
        bool real = false;
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if (std::isdigit(static_cast<unsigned char>(c))) {
                ++pos_;
            } else if (c == '.' || c == 'e' || c == 'E' ||
                       ((c == '-' || c == '+') && (text_[pos_ - 1] == 'e' || text_[pos_ - 1] == 'E'))) {
                real = true;
                ++pos_;
            } else {
                break;
            }
        }
        return number_of(text_.substr(start, pos_ - start), real);
    }

    Value number_of(std::string_view digits, bool real) {
        const std::string copy(digits[0] == '+' ? digits.substr(1) : digits);
        if (!real) {
            long long whole = 0;
            const auto [end, ec] = std::from_chars(copy.data(), copy.data() + copy.size(), whole);
            if (ec == std::errc() && end == copy.data() + copy.size()) return whole;
        }
        char* end = nullptr;
        const double value = std::strtod(copy.c_str(), &end);
        if (copy.empty() || end != copy.c_str() + copy.size()) fail("bad number '" + copy + "'");
        if (!std::isfinite(value)) return nullptr;
        return value;
    }

    std::string name() {
        skip_blanks();
        const std::size_t start = pos_;
        while (pos_ < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[pos_])) ||
                                       text_[pos_] == '_' || text_[pos_] == '.')) {
            ++pos_;
        }
        return std::string(text_.substr(start, pos_ - start));
    }

    Arguments arguments() {
        Arguments args;
        expect('(');
        while (!take(')')) {
            skip_blanks();
            const std::size_t mark = pos_;
            const std::string key = name();
            if (!key.empty() && take('=')) {
                args.keywords.emplace_back(key, read());
            } else {
                pos_ = mark;
                args.positional.push_back(read());
            }
            if (!take(',')) {
                expect(')');
                break;
            }
        }
        return args;
    }

    Value named() {
        const std::string word = name();
        if (word == "None") return nullptr;
        if (word == "True") return true;
        if (word == "False") return false;
        if (word.empty()) fail("unexpected character");
        const Arguments args = arguments();
        if (word == "Decimal" || word == "float") {
            if (args.positional.size() != 1 || !args.positional[0].is_string())
                fail(word + " takes one text");
            const std::string digits = args.positional[0].get<std::string>();
            if (digits == "nan" || digits == "inf" || digits == "-inf" || digits == "NaN" ||
                digits == "Infinity" || digits == "-Infinity") {
                return nullptr;
            }
            return number_of(digits, true);
        }
        if (word == "datetime.date") return date_text(args, 0);
        if (word == "datetime.time") return clock_text(args, 0);
        if (word == "datetime.datetime") return date_text(args, 0) + "T" + clock_text(args, 3);
        if (word == "datetime.timedelta") return seconds_of(args);
        if (word == "datetime.timezone") return args.positional.empty() ? Value(nullptr) : args.positional[0];
        fail("unknown name '" + word + "'");
    }

    std::string date_text(const Arguments& args, std::size_t first) const {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%04ld-%02ld-%02ld", args.number(first), args.number(first + 1),
                      args.number(first + 2));
        return buffer;
    }

    std::string clock_text(const Arguments& args, std::size_t first) const {
        std::string out = two_digits(args.number(first)) + ":" + two_digits(args.number(first + 1)) + ":" +
                          two_digits(args.number(first + 2));
        if (const long micros = args.number(first + 3)) {
            char buffer[64];
            std::snprintf(buffer, sizeof buffer, ".%06ld", micros);
            out += buffer;
        }
        if (const Value* zone = args.keyword("tzinfo"); zone && zone->is_number()) {
            const long offset = std::lround(zone->get<double>() / 60.0);  // minutes
            out += (offset < 0 ? "-" : "+") + two_digits(std::labs(offset) / 60) + ":" +
                   two_digits(std::labs(offset) % 60);
        }
        return out;
    }

    static Value seconds_of(const Arguments& args) {
        double seconds = 0;
        const auto part = [&](const char* key, double scale) {
            if (const Value* v = args.keyword(key)) seconds += v->get<double>() * scale;
        };
        if (!args.positional.empty()) seconds += args.positional[0].get<double>() * 86400;
        part("days", 86400);
        part("seconds", 1);
        part("microseconds", 1e-6);
        if (seconds == std::floor(seconds) && std::fabs(seconds) < 9e15)
            return static_cast<long long>(seconds);
        return seconds;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

}  // namespace

Value parse_python_literal(std::string_view text) {
    return Reader(text).whole();
}

}  // namespace veltaai
