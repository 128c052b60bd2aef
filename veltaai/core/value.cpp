#include "veltaai/core/value.h"

#include "veltaai/core/errors.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace veltaai {

bool is_truthy(const Value& value) {
    switch (value.type()) {
        case Value::value_t::null:
        case Value::value_t::discarded:
            return false;
        case Value::value_t::boolean:
            return value.get<bool>();
        case Value::value_t::number_integer:
            return value.get<std::int64_t>() != 0;
        case Value::value_t::number_unsigned:
            return value.get<std::uint64_t>() != 0;
        case Value::value_t::number_float:
            return value.get<double>() != 0.0;
        case Value::value_t::string:
            return !value.get_ref<const std::string&>().empty();
        case Value::value_t::array:
        case Value::value_t::object:
        case Value::value_t::binary:
            return !value.empty();
    }
    return false;
}

std::string kind_name(const Value& value) {
    switch (value.type()) {
        case Value::value_t::null:
        case Value::value_t::discarded:
            return "nothing";
        case Value::value_t::boolean:
            return "truth value";
        case Value::value_t::number_integer:
        case Value::value_t::number_unsigned:
            return "integer";
        case Value::value_t::number_float:
            return "number";
        case Value::value_t::string:
            return "text";
        case Value::value_t::array:
            return "list";
        case Value::value_t::object:
            return "record";
        case Value::value_t::binary:
            return "bytes";
    }
    return "value";
}

std::string quoted_text(std::string_view text) {
    const bool has_single = text.find('\'') != std::string_view::npos;
    const bool has_double = text.find('"') != std::string_view::npos;
    const char quote = (has_single && !has_double) ? '"' : '\'';
    std::string out;
    out.reserve(text.size() + 2);
    out += quote;
    for (const char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c == quote) {
                    out += '\\';
                    out += c;
                } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                    char escaped[5];
                    std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    out += quote;
    return out;
}

std::string text_list(const Value& list) {
    if (!list.is_array()) throw TypeError("expected a list, got a " + kind_name(list));
    std::string out = "[";
    bool first = true;
    for (const auto& entry : list) {
        if (!first) out += ", ";
        first = false;
        out += entry.is_string() ? quoted_text(entry.get_ref<const std::string&>()) : entry.dump();
    }
    out += ']';
    return out;
}

std::string text_list(const std::vector<std::string>& list) {
    std::string out = "[";
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i) out += ", ";
        out += quoted_text(list[i]);
    }
    out += ']';
    return out;
}

std::string python_repr(const Value& value) {
    switch (value.type()) {
        case Value::value_t::null:
            return "None";
        case Value::value_t::boolean:
            return value.get<bool>() ? "True" : "False";
        case Value::value_t::string:
            return quoted_text(value.get_ref<const std::string&>());
        case Value::value_t::number_integer:
            return std::to_string(value.get<std::int64_t>());
        case Value::value_t::number_unsigned:
            return std::to_string(value.get<std::uint64_t>());
        case Value::value_t::number_float:
            return shortest_decimal(value.get<double>());
        case Value::value_t::array: {
            std::string out = "[";
            for (std::size_t i = 0; i < value.size(); ++i) out += (i > 0 ? ", " : "") + python_repr(value[i]);
            return out + "]";
        }
        case Value::value_t::object: {
            std::string out = "{";
            bool first = true;
            for (const auto& [key, item] : value.items()) {
                out += (first ? "" : ", ") + quoted_text(key) + ": " + python_repr(item);
                first = false;
            }
            return out + "}";
        }
        default:
            return value.dump();  // binary and discarded values do not occur in records
    }
}

std::string python_str(const Value& value) {
    return value.is_string() ? value.get<std::string>() : python_repr(value);
}

std::string shortest_decimal(double seconds) {
    if (std::isnan(seconds)) return "nan";
    if (std::isinf(seconds)) return seconds < 0 ? "-inf" : "inf";
    // Shortest round-trip digits, laid out the way Python writes floats: positional notation
    // for exponents from -4 to 15, otherwise d.ddde+XX; always a fraction or an exponent.
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, seconds, std::chars_format::scientific);
    const std::string scientific(buffer, result.ptr);
    const auto e = scientific.find('e');
    std::string mantissa = scientific.substr(0, e);
    const int exponent = std::stoi(scientific.substr(e + 1));
    std::string sign;
    if (!mantissa.empty() && mantissa[0] == '-') {
        sign = "-";
        mantissa.erase(0, 1);
    }
    std::string digits;
    for (const char c : mantissa) {
        if (c != '.') digits += c;
    }
    if (exponent < -4 || exponent >= 16) {
        std::string out = sign + digits.substr(0, 1);
        if (digits.size() > 1) out += "." + digits.substr(1);
        char exp_text[16];
        std::snprintf(exp_text, sizeof exp_text, "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
        return out + exp_text;
    }
    if (exponent < 0) {
        return sign + "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    }
    const auto integer_digits = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= integer_digits) {
        return sign + digits + std::string(integer_digits - digits.size(), '0') + ".0";
    }
    return sign + digits.substr(0, integer_digits) + "." + digits.substr(integer_digits);
}

const Value& require_key(const Value& record, const std::string& key) {
    if (!record.is_object()) throw TypeError("expected a record, got a " + kind_name(record));
    const auto it = record.find(key);
    if (it == record.end()) throw KeyError(key);
    return *it;
}

}  // namespace veltaai
