// The schema text of the chosen tables, and the question restated against the whole schema.

#include "veltaai/core/log.h"
#include "veltaai/querygraph/querygraph_prompts.h"
#include "veltaai/querygraph/querynodes.h"
#include "veltaai/querygraph/querynodes/node_support.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <set>

namespace veltaai::querygraph {
namespace {

constexpr const char* kDroppedTables = "relevant_schemas_node: the database has no table named ";
constexpr const char* kEveryTable =
    "relevant_schemas_node: no chosen table is in the database; using every table";
constexpr const char* kCutSchemas =
    "relevant_schemas_node: the chosen tables exceed the SQL prompt's budget; schemas shown for the first ";

// The question the SQL will answer: the rewrite when there is one, else the user's own.
std::string question_of(const graph::StateView& state) {
    for (const char* key : {"rewritten_question", "user_question"}) {
        if (!state.contains(key)) continue;
        const Value& text = state.at(key);
        if (text.is_string() && !text.get_ref<const std::string&>().empty()) return text.get<std::string>();
    }
    return {};
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

char closing_quote(char c) {
    switch (c) {
        case '"':
            return '"';
        case '`':
            return '`';
        case '\'':
            return '\'';
        case '[':
            return ']';
        default:
            return 0;
    }
}

// The bare name of a written reference: its last dotted part outside quotes (no schema or
// database prefix), blanks around it and one pair of quotes removed, doubled quotes undone.
std::string bare_name(const std::string& written) {
    std::string part;
    char quote = 0;
    for (const char c : written) {
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '.') {
            part.clear();
            continue;
        } else if (closing_quote(c)) {
            quote = closing_quote(c);
        }
        part += c;
    }
    const auto first = part.find_first_not_of(" \t\n");
    if (first == std::string::npos) return {};
    part = part.substr(first, part.find_last_not_of(" \t\n") - first + 1);
    const char close = part.size() >= 2 ? closing_quote(part.front()) : 0;
    if (!close || part.back() != close) return part;
    std::string inner;
    const std::string body = part.substr(1, part.size() - 2);
    for (std::size_t i = 0; i < body.size(); ++i) {
        inner += body[i];
        if (body[i] == close && i + 1 < body.size() && body[i + 1] == close) ++i;
    }
    return inner;
}

// The database's own name for what the picker wrote: the same name, else the same name in
// another case, else the same once quotes and schema prefix are gone (exactly, then in any case).
const std::string* database_name(const std::string& written, const std::vector<std::string>& known) {
    const auto same = [&](const std::string& name) -> const std::string* {
        const auto it = std::find(known.begin(), known.end(), name);
        return it == known.end() ? nullptr : &*it;
    };
    const auto same_in_any_case = [&](const std::string& name) -> const std::string* {
        const std::string wanted = lower(name);
        const auto it = std::find_if(known.begin(), known.end(),
                                     [&](const std::string& k) { return lower(k) == wanted; });
        return it == known.end() ? nullptr : &*it;
    };
    if (const std::string* found = same(written)) return found;
    if (const std::string* found = same_in_any_case(written)) return found;
    const std::string bare = bare_name(written);
    if (bare.empty()) return nullptr;
    if (const std::string* found = same(bare)) return found;
    return same_in_any_case(bare);
}

}  // namespace

RelevantSchemas::RelevantSchemas(std::shared_ptr<CustomSQLDatabase> db) : tool_(std::move(db)) {}

std::vector<std::string> RelevantSchemas::matched_tables(const Value& picked) {
    const std::vector<std::string> known = tool_.db()->get_usable_table_names();
    std::vector<std::string> matched;
    std::string dropped;
    for (const Value& entry : picked) {
        if (!entry.is_string()) throw TypeError("relevant_tables must hold texts, not a " + kind_name(entry));
        const std::string& written = entry.get_ref<const std::string&>();
        const std::string* name = database_name(written, known);
        if (!name) {
            dropped += (dropped.empty() ? "" : ", ") + quoted_text(written);
        } else if (std::find(matched.begin(), matched.end(), *name) == matched.end()) {
            matched.push_back(*name);
        }
    }
    if (!dropped.empty()) log::warning(kDroppedTables + dropped);
    if (matched.empty() && !known.empty()) {
        log::warning(kEveryTable);
        return known;
    }
    return matched;
}

Value RelevantSchemas::invoke(graph::StateView& state) {
    std::vector<std::string> tables = matched_tables(support::list_at(state, "relevant_tables"));
    const auto& db = tool_.db();
    const std::size_t budget = db->options().budgets.sql_generation_tokens * 4;
    std::optional<std::string> schemas = db->whole_table_info(tables, budget);
    if (!schemas) {
        // Every table stands in when nothing chosen matched: the question orders them then.
        if (tables.size() == db->get_usable_table_names().size())
            tables = db->ranked_table_names(question_of(state));
        const FittedSchemas fitted = db->fit_table_info(tables, budget);
        if (fitted.names.size() < tables.size()) {
            log::warning(kCutSchemas + std::to_string(fitted.names.size()) + " of " +
                         std::to_string(tables.size()));
        }
        schemas = fitted.text;
    }
    // Every pass through here, the first and the one after a rewrite, starts SQL afresh.
    return {{"sql_generation_prompt_type", "generation"}, {"schemas_from_relevant_tables", *schemas}};
}

RewriteQuery::RewriteQuery(std::shared_ptr<CustomSQLDatabase> db, std::shared_ptr<llm::ChatModel> model)
    : model_(model->with_structured_output(RewriteQueryOutput)),
      tool_(std::move(db)),
      template_(
          llm::ChatPromptTemplate::from_messages({{"system", std::string(REWRITE_QUESTION_TEMPLATE)}})) {}

llm::ChatMessages RewriteQuery::generate_prompt(const graph::StateView& state) {
    const std::vector<std::string> tables =
        table_name_list(support::table_names_text(state.at("table_names_from_db"), "table_names_from_db"));
    // Always the question as the user asked it, never an earlier rewrite.
    const Value& question = state.at("user_question");
    const auto& db = tool_.db();
    const std::size_t budget = db->options().budgets.rewrite_tokens * 4;
    std::optional<std::string> schemas = db->whole_table_info(tables, budget);
    if (!schemas) {
        // The note's length with the most tables it could name, so that the whole stays within.
        const std::size_t total = db->get_usable_table_names().size();
        const std::size_t note = shown_tables_note(total, total).size() + 2;
        std::set<std::string> listed(tables.begin(), tables.end());
        std::vector<std::string> order;
        for (std::string& name :
             db->ranked_table_names(question.is_string() ? question.get<std::string>() : "")) {
            if (listed.erase(name)) order.push_back(std::move(name));
        }
        for (const std::string& name : tables) {
            if (listed.erase(name)) order.push_back(name);
        }
        const FittedSchemas fitted =
            db->fit_table_info(order, budget > note ? budget - note : 0, {}, kSelectionShares);
        schemas = shown_tables_note(fitted.names.size(), total) + "\n\n" + fitted.text;
    }
    return template_.format_messages({{"user_question", question}, {"schemas_from_all_tables", *schemas}});
}

Value RewriteQuery::invoke(graph::StateView& state) {
    const Value reply = model_->invoke(generate_prompt(state));
    return {{"rewritten_question", require_key(reply, "rewritten_question")}};
}

}  // namespace veltaai::querygraph
