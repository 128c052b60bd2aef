#include "veltaai/querygraph/custom_sql.h"

#include "veltaai/core/errors.h"
#include "veltaai/core/log.h"
#include "veltaai/llm/chat_model.h"
#include "veltaai/querygraph/table_ranking.h"
#include "veltaai/sql/mysql.h"
#include "veltaai/sql/odbc.h"
#include "veltaai/sql/postgres.h"
#include "veltaai/sql/sqlite.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <set>

namespace veltaai::querygraph {

namespace {

// The fixed texts of this module.
constexpr std::string_view kMalformedUrl =
    "Could not parse the database URL: expected scheme://[user[:password]@]host[:port]/database";
constexpr std::string_view kUnknownScheme = "Unsupported database URL scheme: ";
constexpr std::string_view kBadPort = "The database URL has an invalid port: ";
constexpr std::string_view kBadFetch = "Fetch parameter must be either 'one' or 'all'";
constexpr std::string_view kUnknownTables = "Tables not found in the database: ";
constexpr std::string_view kSampleFailed = "(rows could not be read: ";
constexpr std::size_t kSampleValueLength = 100;
// The marker the model reads at the end of a cut result; {rows} is the number of rows shown.
constexpr std::string_view kResultCut =
    "\n(result cut: showing the first {rows} rows only; the query returned more. Narrow it with WHERE, LIMIT "
    "or an aggregate to see the rest.)";
constexpr std::string_view kPrivilegedRole =
    "The database role of this handle lets model-written SQL reach beyond the data, even in a read-only "
    "transaction: ";
constexpr std::string_view kPrivilegedRoleAdvice =
    ". Connect with a read-only role (SELECT on the tables the model may read, nothing else) for the safe "
    "set-up.";

constexpr std::string_view kCheckerPrompt =
    R"(You are reviewing a {dialect} query before it runs against the database.

{query}

Look for these mistakes and correct any you find:
- NOT IN over a subquery that may return NULL values
- UNION where UNION ALL is meant, or the reverse
- BETWEEN where one end of the range must be excluded
- comparisons between values of different types
- identifiers (tables, columns) that need quoting in {dialect}
- functions given the wrong number or kinds of arguments
- casts to the wrong type
- joins on the wrong columns

If the query has none of these mistakes, give it back unchanged.
Answer with the final {dialect} query only: no explanation, no commentary.)";

constexpr std::array<std::string_view, 44> kReservedWords = {
    "ALL",   "ALTER",  "AND",        "AS",     "ASC",     "BETWEEN", "BY",    "CASE",     "CAST",
    "CHECK", "COLUMN", "CONSTRAINT", "CREATE", "DEFAULT", "DELETE",  "DESC",  "DISTINCT", "DROP",
    "ELSE",  "END",    "EXISTS",     "FOR",    "FOREIGN", "FROM",    "GRANT", "GROUP",    "HAVING",
    "IN",    "INDEX",  "INSERT",     "INTO",   "IS",      "JOIN",    "KEY",   "LIKE",     "LIMIT",
    "NOT",   "NULL",   "ON",         "OR",     "ORDER",   "SELECT",  "TABLE", "WHERE"};

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string percent_decode(std::string_view text, bool plus_is_blank = false) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 &&
            hex_digit(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
            i += 2;
        } else if (plus_is_blank && text[i] == '+') {
            out += ' ';
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    return std::string(text);
}

std::string upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::string replace_all(std::string text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// A name as the schema text shows it: bare when the engine would read it back unchanged,
// quoted otherwise.
std::string shown_name(const std::string& name, const sql::Connection& connection) {
    bool plain = !name.empty() && (std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_');
    for (const char c : name) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) plain = false;
        if (connection.dialect() == sql::Dialect::postgresql && std::isupper(static_cast<unsigned char>(c)))
            plain = false;
    }
    if (plain &&
        std::find(kReservedWords.begin(), kReservedWords.end(), upper(name)) != kReservedWords.end()) {
        plain = false;
    }
    return plain ? name : connection.quote_identifier(name);
}

// A value as one cell of the sample rows: short, on one line.
std::string sample_text(const sql::Cell& cell) {
    std::string text = sql::display_text(cell);
    if (text.size() > kSampleValueLength) {
        std::size_t cut = kSampleValueLength;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
        text.resize(cut);
        text += "...";
    }
    text = replace_all(std::move(text), "\t", "\\t");
    text = replace_all(std::move(text), "\r", "\\r");
    return replace_all(std::move(text), "\n", "\\n");
}

std::size_t code_points(std::string_view text) {
    std::size_t n = 0;
    for (const char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

// Renders rows as they arrive, the way run shows them, and stops the read at the limits.
class RenderingSink final : public sql::RowSink {
public:
    RenderingSink(const DatabaseOptions& options, bool one, bool include_columns)
        : options_(options), one_(one), include_columns_(include_columns) {}

    void columns(const std::vector<std::string>& names) override {
        keys_.clear();
        if (include_columns_) {
            for (const std::string& column : names) keys_.push_back(quoted_text(column) + ": ");
        }
    }

    bool row(sql::Row&& row) override {
        if (one_ && rows_ == 1) return false;
        if (rows_ >= options_.max_rows) {
            cut_ = true;
            return false;
        }
        std::string piece(rows_ ? ", " : "");
        piece += include_columns_ ? '{' : '(';
        for (std::size_t c = 0; c < row.size(); ++c) {
            if (c) piece += ", ";
            if (include_columns_) piece += keys_[c];
            piece += sql::python_literal(row[c], options_.max_value_length);
        }
        if (!include_columns_ && row.size() == 1) piece += ',';
        piece += include_columns_ ? '}' : ')';
        const std::size_t length = code_points(piece);
        // "[" and "]" count too; a first row longer than the limit is still shown.
        if (rows_ > 0 && chars_ + length + 2 > options_.max_result_chars) {
            cut_ = true;
            return false;
        }
        text_ += piece;
        chars_ += length;
        ++rows_;
        return true;
    }

    std::string text() const {
        if (rows_ == 0) return {};
        return "[" + text_ + "]" + (cut_ ? result_cut_marker(rows_) : std::string());
    }

private:
    const DatabaseOptions& options_;
    bool one_;
    bool include_columns_;
    std::vector<std::string> keys_;
    std::string text_;
    std::size_t chars_ = 0;
    std::size_t rows_ = 0;
    bool cut_ = false;
};

}  // namespace

std::string result_cut_marker(std::size_t rows_shown) {
    return replace_all(std::string(kResultCut), "{rows}", std::to_string(rows_shown));
}

DatabaseUrl parse_database_url(const std::string& url) {
    const std::size_t separator = url.find("://");
    if (separator == std::string::npos || separator == 0) throw ValueError(std::string(kMalformedUrl));
    DatabaseUrl out;
    const std::string scheme = url.substr(0, separator);
    const std::size_t plus = scheme.find('+');
    const std::string base = scheme.substr(0, plus);
    if (plus != std::string::npos) out.driver = scheme.substr(plus + 1);
    if (base == "postgresql" || base == "postgres")
        out.dialect = sql::Dialect::postgresql;
    else if (base == "mysql" || base == "mariadb")
        out.dialect = sql::Dialect::mysql;
    else if (base == "mssql")
        out.dialect = sql::Dialect::mssql;
    else if (base == "sqlite")
        out.dialect = sql::Dialect::sqlite;
    else
        throw ValueError(std::string(kUnknownScheme) + "'" + scheme + "'");

    std::string rest = url.substr(separator + 3);
    const std::size_t at = rest.rfind('@');
    if (at != std::string::npos) {
        const std::string userinfo = rest.substr(0, at);
        const std::size_t colon = userinfo.find(':');
        out.user = percent_decode(userinfo.substr(0, colon));
        if (colon != std::string::npos) out.password = percent_decode(userinfo.substr(colon + 1));
        rest = rest.substr(at + 1);
    }
    const std::size_t question = rest.find('?');
    if (question != std::string::npos) {
        std::string_view query = std::string_view(rest).substr(question + 1);
        while (!query.empty()) {
            const std::size_t amp = std::min(query.find('&'), query.size());
            const std::string_view pair = query.substr(0, amp);
            const std::size_t eq = pair.find('=');
            if (!pair.empty()) {
                out.query.emplace_back(
                    percent_decode(pair.substr(0, eq), true),
                    eq == std::string_view::npos ? std::string() : percent_decode(pair.substr(eq + 1), true));
            }
            query.remove_prefix(std::min(amp + 1, query.size()));
        }
        rest.resize(question);
    }
    const std::size_t slash = rest.find('/');
    std::string hostport = rest.substr(0, slash);
    if (slash != std::string::npos) out.database = percent_decode(rest.substr(slash + 1));
    if (out.dialect == sql::Dialect::sqlite) {
        if (!hostport.empty()) throw ValueError(std::string(kMalformedUrl));
        if (out.database.empty()) out.database = ":memory:";
        return out;
    }
    std::string port;
    if (!hostport.empty() && hostport.front() == '[') {
        const std::size_t close = hostport.find(']');
        if (close == std::string::npos) throw ValueError(std::string(kMalformedUrl));
        out.host = hostport.substr(1, close - 1);
        if (close + 1 < hostport.size() && hostport[close + 1] == ':') port = hostport.substr(close + 2);
    } else {
        const std::size_t colon = hostport.rfind(':');
        out.host = hostport.substr(0, colon);
        if (colon != std::string::npos) port = hostport.substr(colon + 1);
    }
    if (!port.empty()) {
        if (port.size() > 5 || !std::all_of(port.begin(), port.end(), [](char c) {
                return std::isdigit(static_cast<unsigned char>(c));
            })) {
            throw ValueError(std::string(kBadPort) + "'" + port + "'");
        }
        out.port = std::stoi(port);
    }
    return out;
}

std::string odbc_connection_string(const DatabaseUrl& url) {
    std::string driver = "SQL Server";
    std::vector<std::pair<std::string, std::string>> extra;
    for (const auto& [key, value] : url.query) {
        if (key == "odbc_connect") return value;
        if (key == "driver")
            driver = value;
        else
            extra.emplace_back(key, value);
    }
    std::string out;
    if (url.database.empty() && url.port == 0 && !url.host.empty()) {
        out = "DSN=" + sql::odbc_attribute_value(url.host);
    } else {
        out = "DRIVER={" + replace_all(driver, "}", "}}") + "};SERVER=" + sql::odbc_attribute_value(url.host);
        if (url.port > 0) out += "," + std::to_string(url.port);
        if (!url.database.empty()) out += ";DATABASE=" + sql::odbc_attribute_value(url.database);
    }
    if (!url.user.empty()) {
        out +=
            ";UID=" + sql::odbc_attribute_value(url.user) + ";PWD=" + sql::odbc_attribute_value(url.password);
    } else {
        out += ";Trusted_Connection=Yes";
    }
    for (const auto& [key, value] : extra) out += ";" + key + "=" + sql::odbc_attribute_value(value);
    return out;
}

std::shared_ptr<CustomSQLDatabase> CustomSQLDatabase::from_uri(const std::string& uri,
                                                               DatabaseOptions options) {
    const DatabaseUrl url = parse_database_url(uri);
    std::unique_ptr<sql::Connection> connection;
    switch (url.dialect) {
        case sql::Dialect::postgresql:
        case sql::Dialect::mysql: {
            sql::ConnectOptions connect{
                url.host, url.port, url.user, url.password, url.database, options.connect_timeout, {}};
            if (url.dialect == sql::Dialect::postgresql) {
                connect.extra = url.query;
                connection = sql::connect_postgres(connect);
            } else {
                connection = sql::connect_mysql(connect);
            }
            break;
        }
        case sql::Dialect::mssql:
            connection =
                sql::connect_odbc(odbc_connection_string(url), sql::Dialect::mssql, options.connect_timeout);
            break;
        case sql::Dialect::sqlite:
            connection = sql::connect_sqlite(url.database, {url.database != ":memory:", false});
            break;
    }
    return std::make_shared<CustomSQLDatabase>(std::move(connection), options);
}

CustomSQLDatabase::CustomSQLDatabase(std::unique_ptr<sql::Connection> connection, DatabaseOptions options)
    : connection_(std::move(connection)), options_(options) {
    if (!connection_) throw ValueError("CustomSQLDatabase needs an open connection");
    dialect_ = sql::dialect_name(connection_->dialect());
    if (!options_.untrusted_role.empty()) connection_->set_untrusted_role(options_.untrusted_role);
    std::vector<std::string> privileges;
    try {
        privileges = connection_->elevated_privileges();
    } catch (const DatabaseError& error) {
        log::warning(std::string("Could not read the database role's privileges: ") + error.what());
    }
    if (!privileges.empty()) {
        std::string list;
        for (const std::string& p : privileges) list += (list.empty() ? "" : "; ") + p;
        log::warning(std::string(kPrivilegedRole) + list + std::string(kPrivilegedRoleAdvice));
    }
}

CustomSQLDatabase::~CustomSQLDatabase() = default;

std::vector<std::string> CustomSQLDatabase::get_usable_table_names() {
    std::lock_guard lock(mutex_);
    if (!table_names_) {
        std::vector<std::string> names = connection_->table_names();
        std::sort(names.begin(), names.end());
        names.erase(std::unique(names.begin(), names.end()), names.end());
        table_names_ = std::move(names);
    }
    return *table_names_;
}

void CustomSQLDatabase::ensure_described() {
    if (described_) return;
    std::map<std::string, sql::TableInfo> described;
    for (sql::TableInfo& info : connection_->describe_tables()) described.emplace(info.name, std::move(info));
    described_ = std::move(described);
}

void CustomSQLDatabase::ensure_ranked() {
    if (ranking_) return;
    ensure_described();
    std::vector<sql::TableInfo> tables;
    tables.reserve(described_->size());
    for (const auto& [name, info] : *described_) tables.push_back(info);
    std::vector<TableEntry> entries = table_entries(tables);
    ranking_ = std::make_unique<TableRanking>(entries);
    neighbours_.clear();
    for (TableEntry& entry : entries) neighbours_.emplace(entry.name, std::move(entry.neighbours));
}

std::string CustomSQLDatabase::create_table_text(const sql::TableInfo& info) const {
    std::string text = "CREATE TABLE " + shown_name(info.name, *connection_) + " (";
    std::vector<std::string> lines;
    for (const sql::Column& column : info.columns) {
        std::string line = shown_name(column.name, *connection_);
        if (!column.type.empty()) line += " " + column.type;
        if (column.not_null) line += " NOT NULL";
        lines.push_back(std::move(line));
    }
    lines.insert(lines.end(), info.constraints.begin(), info.constraints.end());
    for (std::size_t i = 0; i < lines.size(); ++i) text += (i ? ",\n\t" : "\n\t") + lines[i];
    return text + "\n)";
}

std::string CustomSQLDatabase::table_block(const std::string& name) {
    if (const auto it = blocks_.find(name); it != blocks_.end()) return it->second;
    std::string block = create_table_text(described_->at(name));
    block += "\n\n/*\n" + std::to_string(options_.sample_rows) + " rows from " + name + " table:\n";
    try {
        const sql::Result sample =
            connection_->sample_rows(name, options_.sample_rows, options_.statement_timeout);
        std::string header;
        for (std::size_t i = 0; i < sample.columns.size(); ++i) header += (i ? "\t" : "") + sample.columns[i];
        block += header;
        for (const sql::Row& row : sample.rows) {
            block += "\n";
            for (std::size_t i = 0; i < row.size(); ++i) block += (i ? "\t" : "") + sample_text(row[i]);
        }
    } catch (const DatabaseError& error) {
        block += std::string(kSampleFailed) + error.what() + ")";
    }
    block += "\n*/";
    blocks_.emplace(name, block);
    return block;
}

std::string CustomSQLDatabase::form_of(const std::string& name, TableForm form) {
    switch (form) {
        case TableForm::full:
            return table_block(name);
        case TableForm::without_rows:
            return create_table_text(described_->at(name));
        case TableForm::columns: {
            std::string text = shown_name(name, *connection_) + "(";
            const sql::TableInfo& info = described_->at(name);
            for (std::size_t i = 0; i < info.columns.size(); ++i) {
                text += (i ? ", " : "") + shown_name(info.columns[i].name, *connection_);
            }
            return text + ")";
        }
        case TableForm::name:
            break;
    }
    return shown_name(name, *connection_);
}

std::vector<std::string> CustomSQLDatabase::known_tables(const std::vector<std::string>& table_names) {
    const std::vector<std::string> usable = get_usable_table_names();
    std::vector<std::string> missing;
    std::vector<std::string> wanted;
    std::set<std::string> seen;
    for (const std::string& name : table_names) {
        if (!seen.insert(name).second) continue;
        if (!std::binary_search(usable.begin(), usable.end(), name)) {
            missing.push_back(name);
            continue;
        }
        wanted.push_back(name);
    }
    if (!missing.empty()) {
        std::string list;
        for (const std::string& name : missing) list += (list.empty() ? "" : ", ") + name;
        throw ValueError(std::string(kUnknownTables) + list);
    }
    return wanted;
}

std::string CustomSQLDatabase::get_table_info(const std::vector<std::string>& table_names) {
    const std::vector<std::string> wanted = known_tables(table_names);
    std::lock_guard lock(mutex_);
    if (!wanted.empty()) ensure_described();
    std::string out;
    for (const std::string& name : wanted) {
        if (!described_->count(name)) throw ValueError(std::string(kUnknownTables) + name);
        if (!out.empty()) out += "\n\n";
        out += table_block(name);
    }
    return out;
}

std::string CustomSQLDatabase::table_form(const std::string& name, TableForm form) {
    known_tables({name});
    std::lock_guard lock(mutex_);
    ensure_described();
    if (!described_->count(name)) throw ValueError(std::string(kUnknownTables) + name);
    return form_of(name, form);
}

std::vector<std::string> CustomSQLDatabase::ranked_table_names(const std::string& question) {
    const std::vector<std::string> usable = get_usable_table_names();
    std::lock_guard lock(mutex_);
    ensure_ranked();
    std::vector<std::string> order;
    std::set<std::string> placed;
    const auto place = [&](const std::string& name) {
        if (placed.insert(name).second) order.push_back(name);
    };
    for (const std::string& name : ranking_->rank(question)) {
        place(name);
        if (const auto it = neighbours_.find(name); it != neighbours_.end()) {
            for (const std::string& neighbour : it->second) place(neighbour);
        }
    }
    for (const std::string& name : usable) place(name);
    return order;
}

FittedSchemas CustomSQLDatabase::fit_table_info(const std::vector<std::string>& table_names,
                                                std::size_t budget_bytes, const FormCost& cost,
                                                std::array<double, 4> shares) {
    std::vector<std::string> wanted = known_tables(table_names);
    std::lock_guard lock(mutex_);
    if (!wanted.empty()) ensure_described();
    // A name listed but no longer described (the database changed under the cache) is left out.
    std::erase_if(wanted, [&](const std::string& name) { return !described_->count(name); });
    LazyTables tables;
    tables.count = wanted.size();
    tables.name = [&](std::size_t i) { return wanted[i]; };
    tables.form = [&](std::size_t i, TableForm form) { return form_of(wanted[i], form); };
    tables.cost = cost;
    tables.shares = shares;
    return fit_schemas(tables, budget_bytes);
}

std::optional<std::string> CustomSQLDatabase::whole_table_info(const std::vector<std::string>& table_names,
                                                               std::size_t budget_bytes,
                                                               const FormCost& cost) {
    const std::vector<std::string> wanted = known_tables(table_names);
    {
        // Every table at least without its rows: when that is already too much, no row is read.
        std::lock_guard lock(mutex_);
        if (!wanted.empty()) ensure_described();
        std::size_t least = 0;
        for (std::size_t i = 0; i < wanted.size(); ++i) {
            if (!described_->count(wanted[i])) continue;
            const std::string form = form_of(wanted[i], TableForm::without_rows);
            least += (i ? 2 : 0) + (cost ? cost(i, form) : form.size());
            if (least > budget_bytes) return std::nullopt;
        }
    }
    const FittedSchemas fitted = fit_table_info(wanted, budget_bytes, cost);
    if (!fitted.complete) return std::nullopt;
    return get_table_info(table_names);
}

std::string CustomSQLDatabase::run(const std::string& command, const std::string& fetch,
                                   bool include_columns) {
    if (fetch != "all" && fetch != "one") throw ValueError(std::string(kBadFetch));
    RenderingSink sink(options_, fetch == "one", include_columns);
    {
        std::lock_guard lock(mutex_);
        connection_->stream_read_only(command, options_.statement_timeout, sink);
    }
    return sink.text();
}

void CustomSQLDatabase::refresh() {
    std::lock_guard lock(mutex_);
    table_names_.reset();
    described_.reset();
    blocks_.clear();
    ranking_.reset();
    neighbours_.clear();
}

std::string ListSQLDatabaseTool::_run() {
    std::string out;
    for (const std::string& name : db_->get_usable_table_names()) out += (out.empty() ? "" : ", ") + name;
    return out;
}

std::vector<std::string> table_name_list(const std::string& text) {
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        std::string name = trim(std::string_view(text).substr(start, comma - start));
        if (!name.empty()) names.push_back(std::move(name));
        start = comma + 1;
    }
    return names;
}

std::string InfoSQLDatabaseTool::_run(const std::string& table_names) {
    return db_->get_table_info(table_name_list(table_names));
}

QuerySQLCheckerTool::QuerySQLCheckerTool(std::shared_ptr<CustomSQLDatabase> db,
                                         std::shared_ptr<llm::ChatModel> llm)
    : db_(std::move(db)), llm_(std::move(llm)) {
    if (!db_) throw ValueError("QuerySQLCheckerTool needs a database");
    if (!llm_) throw ValueError("QuerySQLCheckerTool needs a chat model");
}

std::string QuerySQLCheckerTool::prompt(const std::string& query) const {
    return replace_all(replace_all(std::string(kCheckerPrompt), "{dialect}", db_->dialect()), "{query}",
                       query);
}

std::string QuerySQLCheckerTool::_run(const std::string& query) {
    return extract_query(llm_->invoke(prompt(query)));
}

std::string extract_query(const std::string& reply) {
    std::string text = reply;
    const std::size_t fence = text.find("```");
    if (fence != std::string::npos) {
        std::size_t body = fence + 3;
        // The rest of the opening line names the language ("sql"); the body starts after it.
        const std::size_t line_end = text.find('\n', body);
        if (line_end != std::string::npos && text.find("```", body) > line_end) body = line_end + 1;
        const std::size_t close = text.find("```", body);
        text = text.substr(body, close == std::string::npos ? std::string::npos : close - body);
    }
    const std::size_t open = text.find("<sql_query>");
    if (open != std::string::npos) {
        const std::size_t start = open + std::string_view("<sql_query>").size();
        const std::size_t close = text.find("</sql_query>", start);
        text = text.substr(start, close == std::string::npos ? std::string::npos : close - start);
    }
    text = replace_all(std::move(text), "</sql_query>", "");
    return trim(text);
}

}  // namespace veltaai::querygraph
