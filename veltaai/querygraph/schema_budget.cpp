#include "veltaai/querygraph/schema_budget.h"

namespace veltaai::querygraph {

std::size_t estimated_tokens(std::string_view text) { return (text.size() + 3) / 4; }

FittedSchemas fit_schemas(const std::vector<TableForms>& tables, std::size_t budget_tokens, std::string_view separator) {
    FittedSchemas fitted;
    // Bytes rather than tokens while fitting, so that the pieces add up exactly.
    const std::size_t budget_bytes = budget_tokens * 4;
    int level = 0;  // 0 full, 1 without rows, 2 columns, 3 name
    for (const TableForms& table : tables) {
        const std::size_t joint = fitted.text.empty() ? 0 : separator.size();
        const std::string* forms[] = {&table.full, &table.without_rows, &table.columns, &table.name};
        while (level < 4 && fitted.text.size() + joint + forms[level]->size() > budget_bytes) ++level;
        if (level == 4) return fitted;
        if (joint) fitted.text += separator;
        fitted.text += *forms[level];
        fitted.names.push_back(table.name);
    }
    fitted.complete = level == 0;
    return fitted;
}

}  // namespace veltaai::querygraph
