// The schema text of the chosen tables, and the question restated against the whole schema.

#include "veltaai/core/log.h"
#include "veltaai/querygraph/querygraph_prompts.h"
#include "veltaai/querygraph/querynodes.h"
#include "veltaai/querygraph/querynodes/node_support.h"

#include <algorithm>
#include <cctype>

namespace veltaai::querygraph {
namespace {

constexpr const char* kDroppedTables = "relevant_schemas_node: the database has no table named ";
constexpr const char* kEveryTable = "relevant_schemas_node: no chosen table is in the database; using every table";

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

char closing_quote(char c) {
    switch (c) {
        case '"': return '"';
        case '`': return '`';
        case '\'': return '\'';
        case '[': return ']';
        default: return 0;
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
        const auto it = std::find_if(known.begin(), known.end(), [&](const std::string& k) { return lower(k) == wanted; });
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
    const std::vector<std::string> tables = matched_tables(support::list_at(state, "relevant_tables"));
    // Every pass through here, the first and the one after a rewrite, starts SQL afresh.
    return {{"sql_generation_prompt_type", "generation"},
            {"schemas_from_relevant_tables", tool_.db()->get_table_info(tables)}};
}

RewriteQuery::RewriteQuery(std::shared_ptr<CustomSQLDatabase> db, std::shared_ptr<llm::ChatModel> model)
    : model_(model->with_structured_output(RewriteQueryOutput)),
      tool_(std::move(db)),
      template_(
          llm::ChatPromptTemplate::from_messages({{"system", std::string(REWRITE_QUESTION_TEMPLATE)}})) {}

llm::ChatMessages RewriteQuery::generate_prompt(const graph::StateView& state) {
    const std::string tables =
        support::table_names_text(state.at("table_names_from_db"), "table_names_from_db");
    // Always the question as the user asked it, never an earlier rewrite.
    return template_.format_messages(
        {{"user_question", state.at("user_question")}, {"schemas_from_all_tables", tool_._run(tables)}});
}

Value RewriteQuery::invoke(graph::StateView& state) {
    const Value reply = model_->invoke(generate_prompt(state));
    return {{"rewritten_question", require_key(reply, "rewritten_question")}};
}

}  // namespace veltaai::querygraph
