#include "veltaai/querygraph/querygraph.h"

namespace veltaai::querygraph {

using graph::MergeRule;

SQLState::SQLState()
    : graph::StateSchema({
          {"user_question", MergeRule::replace},
          {"follow_up_question", MergeRule::append},
          {"schemas_from_relevant_tables", MergeRule::replace},
          {"table_names_from_db", MergeRule::replace},
          {"relevant_tables", MergeRule::replace},
          {"generated_sql_query", MergeRule::append},
          {"sql_generation_prompt_type", MergeRule::replace},
          {"execution_success", MergeRule::replace},
          {"execution_error", MergeRule::append},
          {"sql_execution_result", MergeRule::append},
          {"pandas_code", MergeRule::replace},
          {"use_pandas_ai_flag", MergeRule::replace},
          {"image_path", MergeRule::replace},
          {"python_executed_output", MergeRule::replace},
          {"save_path", MergeRule::replace},
          {"final_response", MergeRule::replace},
          {"iteration_count", MergeRule::add},
          {"iteration_count_pandas", MergeRule::add},
          {"rewrite_count", MergeRule::replace},
          {"rewritten_question", MergeRule::replace},
          {"max_iterations", MergeRule::replace},
          {"max_iterations_pandas", MergeRule::replace},
          {"python_execution_success", MergeRule::replace},
          {"python_error_message", MergeRule::replace},
          {"pandas_generation_prompt_type", MergeRule::replace},
      }) {}

}  // namespace veltaai::querygraph
