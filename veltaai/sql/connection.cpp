#include "veltaai/sql/connection.h"

#include "veltaai/core/errors.h"

namespace veltaai::sql {

bool Record::contains(std::string_view name) const {
    for (const std::string& n : names_) {
        if (n == name) return true;
    }
    return false;
}

const Cell& Record::at(std::string_view name) const {
    for (std::size_t i = 0; i < names_.size(); ++i) {
        if (names_[i] == name) return cells_[i];
    }
    throw KeyError(std::string(name));
}

std::size_t Result::column(std::string_view name) const {
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (columns[i] == name) return i;
    }
    throw KeyError(std::string(name));
}

std::vector<Record> Result::records() const {
    std::vector<Record> out;
    out.reserve(rows.size());
    for (const Row& row : rows) out.emplace_back(columns, row);
    return out;
}

void Connection::stream_read_only(std::string_view sql, std::chrono::milliseconds time_limit, RowSink& sink) {
    Result result = run_read_only(sql, time_limit);
    sink.columns(result.columns);
    for (Row& row : result.rows) {
        if (!sink.row(std::move(row))) return;
    }
}

void Connection::set_untrusted_role(const std::string& role) {
    if (role.empty()) return;
    throw ValueError("a separate role for model SQL is not supported on " +
                     std::string(dialect_name(dialect())));
}

Result Connection::sample_rows(const std::string& table, int limit, std::chrono::milliseconds time_limit) {
    return run_read_only("SELECT * FROM " + quote_identifier(table) + " LIMIT " + std::to_string(limit),
                         time_limit);
}

std::string Connection::quoted_identifier(std::string_view name, char quote) {
    std::string out(1, quote);
    for (const char c : name) {
        if (c == quote) out += quote;
        out += c;
    }
    return out + quote;
}

std::string Connection::text_of(const Cell& cell) {
    if (const auto* bytes = std::get_if<Bytes>(&cell)) return bytes->data;
    return display_text(cell);
}

std::vector<std::string> Connection::first_column(std::string_view query) {
    std::vector<std::string> values;
    for (const Row& row : execute(query, {}).rows) values.push_back(text_of(row[0]));
    return values;
}

std::vector<TableInfo> Connection::empty_tables(const std::vector<std::string>& names,
                                                std::map<std::string, std::size_t>& index) {
    std::vector<TableInfo> tables;
    for (const std::string& name : names) {
        index[name] = tables.size();
        tables.push_back({name, {}, {}});
    }
    return tables;
}

}  // namespace veltaai::sql
