#include "veltaai/python/kernel.h"
#include "veltaai/querygraph/querygraph_prompts.h"
#include "veltaai/querygraph/querynodes.h"

#include <algorithm>

namespace veltaai::querygraph {
namespace {

// Fresh for every run: nothing of the state, the database or earlier runs is visible.
constexpr const char* namespace_setup = "import datetime\n";

Value failure(const std::string& kind, const std::string& message) {
    return {{"python_execution_success", false}, {"python_error_message", kind + ": " + message}};
}

}  // namespace

PandasExecutor::PandasExecutor(std::shared_ptr<llm::ChatModel> model)
    : model_(std::move(model)),
      template_(
          {{"human", llm::PromptTemplate(std::string(PANDAS_SYSTEM_TEMPLATE), llm::TemplateStyle::jinja2)}}) {
}

Value PandasExecutor::invoke(graph::StateView& state) {
    const Value& code = state.at("pandas_code");
    if (!code.is_string())
        return failure("TypeError", "pandas_code must be a text, not a " + kind_name(code));
    python::RunRequest request;
    request.code = code.get<std::string>();
    request.setup = namespace_setup;
    // Plots saved under a relative name land in the media directory, whatever the host's own
    // working directory is; it is also the only place the code can write.
    if (state.contains("save_path") && state.at("save_path").is_string()) {
        request.working_directory = state.at("save_path").get<std::string>();
    }
    python::RunOutcome outcome;
    try {
        outcome = python::analysis_kernel().execute(request);
    } catch (const python::KernelTimeout& error) {
        return failure("TimeoutError", error.what());
    } catch (const python::KernelCrash& error) {
        // os._exit is the code ending its interpreter, like SystemExit; a signal is a crash.
        if (error.status().exited) throw PythonExit(error.what());
        return failure("KernelError", error.what());
    } catch (const KernelError& error) {
        // No kernel, or an answer the runner did not give: the run failed, the graph goes on.
        return failure("KernelError", error.what());
    }
    switch (outcome.status) {
        case python::RunOutcome::Status::ok:
            return {{"python_executed_output", outcome.output}, {"python_execution_success", true}};
        case python::RunOutcome::Status::error:
            return failure(outcome.kind, outcome.message);
        case python::RunOutcome::Status::exit:
            outcome.output_or_throw();
    }
    return nullptr;
}

llm::ChatMessages PandasExecutor::generate_prompt(const graph::StateView& state) const {
    const Value& questions = state.at("follow_up_question");
    const Value& queries = state.at("generated_sql_query");
    const Value& results = state.at("sql_execution_result");
    Value triples = Value::array();
    if (questions.is_array() && queries.is_array() && results.is_array()) {
        const std::size_t count = std::min({questions.size(), queries.size(), results.size()});
        for (std::size_t i = 0; i < count; ++i)
            triples.push_back(Value::array({questions[i], queries[i], results[i]}));
    }
    const Value variables = {{"original_question", state.at("original_question")},
                             {"zipped_queries_results", triples},
                             {"save_path", state.at("save_path")}};
    return template_.format_messages(variables);
}

}  // namespace veltaai::querygraph
