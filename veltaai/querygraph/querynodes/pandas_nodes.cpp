// The model writes analysis code over the SQL results, or repairs code that failed.

#include "veltaai/querygraph/querygraph_prompts.h"
#include "veltaai/querygraph/querynodes.h"
#include "veltaai/querygraph/querynodes/node_support.h"

namespace veltaai::querygraph {
namespace {

// The repair text shared by the generator's correction mode and PandasCorrection.
constexpr const char* kRepairText =
    "The user asked the following question:\n"
    "            {user_question}\n"
    "\n"
    "            You generated this python code:\n"
    "            {python_code}\n"
    "\n"
    "            It fails with the following error:\n"
    "            {error}\n"
    "\n"
    "            Fix the python code above and return the new python code:";

std::string render_repair(const llm::PromptTemplate& repair, const graph::StateView& state) {
    return repair.format({{"user_question", support::chosen_question(state)},
                          {"python_code", state.at("pandas_code")},
                          {"error", state.at("python_error_message")}});
}

}  // namespace

PandasGenerator::PandasGenerator(std::shared_ptr<llm::ChatModel> model)
    : model_(model->with_structured_output(PythonCodeInput)),
      template_(llm::ChatPromptTemplate::from_messages(
          {{"system", std::string(PANDAS_SYSTEM_TEMPLATE)}, {"human", std::string(PANDAS_HUMAN_TEMPLATE)}},
          llm::TemplateStyle::jinja2)),
      correction_template_(kRepairText) {}

llm::ChatMessages PandasGenerator::generate_prompt(const graph::StateView& state) const {
    const Value& prompt_type = state.at("pandas_generation_prompt_type");
    if (prompt_type == "generation") {
        const Value pairs = support::zip_pairs(support::list_at(state, "generated_sql_query"),
                                               support::list_at(state, "sql_execution_result"));
        return template_.format_messages({{"original_question", support::chosen_question(state)},
                                          {"zipped_queries_results", pairs},
                                          {"save_path", state.at("save_path")}});
    }
    if (prompt_type == "correction")
        return {llm::ChatMessage::user(render_repair(correction_template_, state))};
    throw ValueError("pandas_generation_prompt_type must be \"generation\" or \"correction\", not " +
                     llm::text_form(prompt_type));
}

Value PandasGenerator::invoke(graph::StateView& state) {
    const Value reply = model_->invoke(generate_prompt(state));
    return {{"pandas_code", require_key(reply, "code")}};
}

PandasCorrection::PandasCorrection(std::shared_ptr<llm::ChatModel> model)
    : model_(model->with_structured_output(PythonCodeInput)), template_(kRepairText) {}

std::string PandasCorrection::generate_prompt(const graph::StateView& state) const {
    return render_repair(template_, state);
}

Value PandasCorrection::invoke(graph::StateView& state) {
    const Value reply = model_->invoke(generate_prompt(state));
    return {{"pandas_code", require_key(reply, "code")}};
}

}  // namespace veltaai::querygraph
