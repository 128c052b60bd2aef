#include "veltaai/querygraph/schema_budget.h"

namespace veltaai::querygraph {

std::size_t estimated_tokens(std::string_view text) {
    return (text.size() + 3) / 4;
}

std::string shown_tables_note(std::size_t shown, std::size_t total) {
    return "The database has " + std::to_string(total) + " tables, too many to show them all: only the " +
           std::to_string(shown) + " tables most related to the question are shown here.";
}

FittedSchemas fit_schemas(const LazyTables& tables, std::size_t budget_bytes, std::string_view separator) {
    FittedSchemas fitted;
    std::size_t used = 0;
    int level = 0;  // a TableForm, never richer than the table before
    for (std::size_t i = 0; i < tables.count; ++i) {
        const std::size_t joint = fitted.names.empty() ? 0 : separator.size();
        std::string form;
        std::size_t cost = 0;
        for (; level < 4; ++level) {
            form = tables.form(i, static_cast<TableForm>(level));
            cost = joint + (tables.cost ? tables.cost(i, form) : form.size());
            const double share = tables.shares[static_cast<std::size_t>(level)];
            const auto limit = share >= 1
                                   ? budget_bytes
                                   : static_cast<std::size_t>(share * static_cast<double>(budget_bytes));
            if (used + cost <= limit) break;
        }
        if (level == 4) return fitted;
        if (joint) fitted.text += separator;
        fitted.text += form;
        used += cost;
        fitted.names.push_back(tables.name(i));
    }
    fitted.complete = level == 0;
    return fitted;
}

FittedSchemas fit_schemas(const std::vector<TableForms>& tables, std::size_t budget_tokens,
                          std::string_view separator) {
    LazyTables lazy;
    lazy.count = tables.size();
    lazy.name = [&](std::size_t i) { return tables[i].name; };
    lazy.form = [&](std::size_t i, TableForm form) {
        const TableForms& t = tables[i];
        switch (form) {
            case TableForm::full:
                return t.full;
            case TableForm::without_rows:
                return t.without_rows;
            case TableForm::columns:
                return t.columns;
            case TableForm::name:
                break;
        }
        return t.name;
    };
    // Bytes rather than tokens while fitting, so that the pieces add up exactly.
    return fit_schemas(lazy, budget_tokens * 4, separator);
}

}  // namespace veltaai::querygraph
