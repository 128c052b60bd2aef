#include "veltaai/querygraph/table_ranking.h"

#include "veltaai/core/errors.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <map>

namespace veltaai::querygraph {

namespace {

// Words that say nothing about which table holds the answer.
constexpr std::array<std::string_view, 64> kStopWords = {
    "a",     "about", "all",  "an",    "and",  "any",  "are",   "as",   "at",    "be",   "by",
    "can",   "did",   "do",   "does",  "each", "for",  "from",  "give", "has",   "have", "how",
    "i",     "in",    "is",   "it",    "its",  "list", "many",  "me",   "most",  "much", "my",
    "of",    "on",    "or",   "our",   "per",  "show", "that",  "the",  "their", "them", "there",
    "these", "they",  "this", "those", "to",   "top",  "was",   "we",   "were",  "what", "when",
    "where", "which", "who",  "whose", "why",  "with", "would", "you",  "your"};

std::string lowered(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool is_stop_word(std::string_view word) {
    return std::find(kStopWords.begin(), kStopWords.end(), word) != kStopWords.end();
}

struct Closer {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct Finalizer {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, Finalizer>;

std::string joined_words(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& name : names) {
        for (const std::string& word : identifier_words(name)) {
            if (!out.empty()) out += ' ';
            out += word;
        }
    }
    return out;
}

// The table a "FOREIGN KEY (...) REFERENCES t (...)" clause points at, without quotes or a
// schema prefix; empty for other constraints.
std::string referenced_table(const std::string& constraint) {
    const std::size_t at = constraint.find("REFERENCES ");
    if (at == std::string::npos) return {};
    std::size_t i = at + 11;
    std::string name;
    while (i < constraint.size() && constraint[i] != '(' && constraint[i] != ' ') {
        const char c = constraint[i++];
        if (c == '"' || c == '`' || c == '[' || c == ']') {
            if (c == '"' || c == '`') {
                const std::size_t close = constraint.find(c, i);
                name += constraint.substr(i, close - i);
                i = close == std::string::npos ? constraint.size() : close + 1;
            }
            continue;
        }
        if (c == '.') {
            name.clear();  // a schema prefix
            continue;
        }
        name += c;
    }
    return name;
}

void add_once(std::vector<std::string>& names, const std::string& name) {
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
}

}  // namespace

std::vector<TableEntry> table_entries(const std::vector<sql::TableInfo>& tables) {
    std::vector<TableEntry> entries;
    entries.reserve(tables.size());
    for (const sql::TableInfo& table : tables) {
        TableEntry entry{table.name, {}, table.comment, {}};
        for (const sql::Column& column : table.columns) {
            entry.columns.push_back(column.name);
            if (!column.comment.empty()) entry.comment += (entry.comment.empty() ? "" : " ") + column.comment;
        }
        entries.push_back(std::move(entry));
    }
    // Foreign keys join both ways; referenced names may differ in case from the catalogue's.
    std::map<std::string, std::size_t> position;
    for (std::size_t i = 0; i < entries.size(); ++i) position.emplace(lowered(entries[i].name), i);
    for (std::size_t i = 0; i < tables.size(); ++i) {
        for (const std::string& constraint : tables[i].constraints) {
            const auto target = position.find(lowered(referenced_table(constraint)));
            if (target == position.end() || target->second == i) continue;
            add_once(entries[i].neighbours, entries[target->second].name);
            add_once(entries[target->second].neighbours, entries[i].name);
        }
    }
    return entries;
}

std::vector<std::string> identifier_words(std::string_view name) {
    std::vector<std::string> words;
    std::string word;
    const auto flush = [&] {
        if (!word.empty()) words.push_back(std::move(word));
        word.clear();
    };
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (!std::isalnum(c) && c < 0x80) {
            flush();
            continue;
        }
        if (!word.empty() && c < 0x80) {
            const auto previous = static_cast<unsigned char>(name[i - 1]);
            const bool next_lower =
                i + 1 < name.size() && std::islower(static_cast<unsigned char>(name[i + 1]));
            const bool starts_word =
                (std::isupper(c) && (std::islower(previous) || std::isdigit(previous))) ||
                (std::isupper(c) && std::isupper(previous) && next_lower) ||
                (std::isdigit(c) != 0) != (std::isdigit(previous) != 0);
            if (starts_word) flush();
        }
        word += static_cast<char>(c < 0x80 ? std::tolower(c) : c);
    }
    flush();
    return words;
}

struct TableRanking::Database {
    std::unique_ptr<sqlite3, Closer> handle;

    void exec(const char* sql) const {
        char* message = nullptr;
        if (sqlite3_exec(handle.get(), sql, nullptr, nullptr, &message) != SQLITE_OK) {
            const std::string text = message ? message : "unknown error";
            sqlite3_free(message);
            throw Error("table ranking index: " + text);
        }
    }

    void insert(sqlite3_stmt* statement, sqlite3_int64 row, const std::vector<std::string>& fields) const {
        sqlite3_bind_int64(statement, 1, row);
        for (std::size_t i = 0; i < fields.size(); ++i) {
            sqlite3_bind_text(statement, static_cast<int>(i) + 2, fields[i].data(),
                              static_cast<int>(fields[i].size()), SQLITE_TRANSIENT);
        }
        if (sqlite3_step(statement) != SQLITE_DONE) {
            throw Error(std::string("table ranking index: ") + sqlite3_errmsg(handle.get()));
        }
        sqlite3_reset(statement);
    }

    Statement prepare(const char* sql) const {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(handle.get(), sql, -1, &statement, nullptr) != SQLITE_OK) {
            throw Error(std::string("table ranking index: ") + sqlite3_errmsg(handle.get()));
        }
        return Statement(statement);
    }
};

TableRanking::TableRanking(const std::vector<TableEntry>& tables) : db_(std::make_unique<Database>()) {
    sqlite3* handle = nullptr;
    const int opened =
        sqlite3_open_v2(":memory:", &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    db_->handle.reset(handle);
    if (opened != SQLITE_OK) throw Error("table ranking index: cannot open an in-memory database");
    // bm25() normalises by the length of the whole row, so the names live in an index of their
    // own: a table's long column list must not dilute a match on its name.
    db_->exec("CREATE VIRTUAL TABLE names USING fts5(name, tokenize = 'porter unicode61')");
    db_->exec(
        "CREATE VIRTUAL TABLE details USING fts5(columns, comment, neighbours, tokenize = 'porter "
        "unicode61')");
    db_->exec("BEGIN");
    const Statement name_insert = db_->prepare("INSERT INTO names(rowid, name) VALUES (?, ?)");
    const Statement detail_insert =
        db_->prepare("INSERT INTO details(rowid, columns, comment, neighbours) VALUES (?, ?, ?, ?)");
    for (const TableEntry& table : tables) {
        const auto row = static_cast<sqlite3_int64>(names_.size());
        db_->insert(name_insert.get(), row, {joined_words({table.name})});
        db_->insert(detail_insert.get(), row,
                    {joined_words(table.columns), table.comment, joined_words(table.neighbours)});
        names_.push_back(table.name);
    }
    db_->exec("COMMIT");
}

TableRanking::~TableRanking() = default;

std::vector<std::string> TableRanking::rank(std::string_view question, std::size_t limit) const {
    // Every word of the question that might name a table or column.
    std::vector<std::string> words;
    for (const std::string& word : identifier_words(question)) {
        if (word.size() < 2 || is_stop_word(word)) continue;
        if (std::find(words.begin(), words.end(), word) == words.end()) words.push_back(word);
    }
    std::vector<std::string> ranked;
    if (words.empty()) return ranked;

    // Each word brings its own best tables: ranked on all words together only, a table that
    // mentions two of them in passing would push out the one table named by one of them.
    struct Hits {
        double best = 0;
        std::vector<std::size_t> rows;
        std::size_t turns = 1;  // rows taken per round
        std::size_t next = 0;
    };
    std::vector<Hits> per_word;
    const std::size_t depth = limit == 0 ? names_.size() : limit;
    {
        std::lock_guard lock(mutex_);
        // A word in the table's own name counts most, then its columns, comments, neighbours.
        const Statement query = db_->prepare(
            "SELECT rowid, sum(score) AS total FROM ("
            "SELECT rowid, 2.5 * bm25(names) AS score FROM names WHERE names MATCH ?1 UNION ALL "
            "SELECT rowid, bm25(details, 3.0, 2.0, 1.0) FROM details WHERE details MATCH ?1) "
            "GROUP BY rowid ORDER BY total, rowid LIMIT ?2");
        // Then all words together, for the tables that hold several of them.
        std::vector<std::string> queries;
        for (const std::string& word : words)
            queries.push_back('"' + word + '"');  // words only, never syntax
        if (words.size() > 1) {
            std::string all;
            for (const std::string& phrase : queries) all += (all.empty() ? "" : " OR ") + phrase;
            queries.push_back(std::move(all));
        }
        for (std::size_t q = 0; q < queries.size(); ++q) {
            const std::string& phrase = queries[q];
            sqlite3_bind_text(query.get(), 1, phrase.data(), static_cast<int>(phrase.size()),
                              SQLITE_TRANSIENT);
            sqlite3_bind_int64(query.get(), 2, static_cast<sqlite3_int64>(depth));
            Hits hits;
            int step = SQLITE_ROW;
            while ((step = sqlite3_step(query.get())) == SQLITE_ROW) {
                if (hits.rows.empty()) hits.best = sqlite3_column_double(query.get(), 1);
                hits.rows.push_back(static_cast<std::size_t>(sqlite3_column_int64(query.get(), 0)));
            }
            if (step != SQLITE_DONE)
                throw Error(std::string("table ranking index: ") + sqlite3_errmsg(db_->handle.get()));
            sqlite3_reset(query.get());
            // The tables holding several words take as many turns as there are words: on a
            // large database each word alone is common, the tables holding them together are not.
            hits.turns = q == words.size() ? words.size() : 1;
            if (!hits.rows.empty()) per_word.push_back(std::move(hits));
        }
    }
    // Words whose best match is strongest (bm25 is more negative) lead each round.
    std::stable_sort(per_word.begin(), per_word.end(),
                     [](const Hits& a, const Hits& b) { return a.best < b.best; });
    std::vector<char> taken(names_.size(), 0);
    for (;;) {
        bool any = false;
        for (Hits& hits : per_word) {
            for (std::size_t turn = 0; turn < hits.turns && hits.next < hits.rows.size(); ++turn) {
                any = true;
                const std::size_t row = hits.rows[hits.next++];
                if (taken[row]) continue;
                taken[row] = 1;
                ranked.push_back(names_[row]);
                if (limit != 0 && ranked.size() == limit) return ranked;
            }
        }
        if (!any) break;
    }
    return ranked;
}

}  // namespace veltaai::querygraph
