#include "veltaai/querygraph/querygraph.h"

#include "veltaai/core/errors.h"
#include "veltaai/core/http.h"
#include "veltaai/core/text.h"
#include "veltaai/function_calling/base.h"
#include "veltaai/llm/chat_openai.h"
#include "veltaai/python/kernel.h"
#include "veltaai/querygraph/custom_sql.h"
#include "veltaai/querygraph/querynodes.h"

#include <stb_image.h>
#include <stb_image_write.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>

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

// ---------------------------------------------------------------------------------------------
// QueryGraph

namespace {

namespace fs = std::filesystem;

constexpr char kMermaidUrlVariable[] = "VELTAAI_MERMAID_URL";
constexpr char kDefaultMermaidUrl[] = "https://mermaid.ink";
constexpr int kJpegQuality = 95;

std::shared_ptr<llm::AzureChatOpenAI> chat_model(const Value& fields, long max_tokens,
                                                 const QueryGraphOptions& options) {
    return llm::AzureChatOpenAI::from_fields(fields, max_tokens, options.temperature,
                                             Value{{"top_p", options.top_p}});
}

GraphModels require_models(GraphModels models) {
    if (!models.sql) throw ValueError("QueryGraph needs a model for writing SQL (GraphModels::sql)");
    if (!models.general)
        throw ValueError("QueryGraph needs a model for its other steps (GraphModels::general)");
    return models;
}

// The Azure model of a role when the graph built one, else the given model of that role.
std::shared_ptr<llm::ChatModel> role_model(const std::shared_ptr<llm::AzureChatOpenAI>& azure,
                                           const std::shared_ptr<llm::ChatModel>& given) {
    return azure ? std::shared_ptr<llm::ChatModel>(azure) : given;
}

std::shared_ptr<CustomSQLDatabase> require_database(std::shared_ptr<CustomSQLDatabase> db) {
    if (!db) throw ValueError("QueryGraph needs a database handle");
    return db;
}

// A class-based node: the object lives as long as the compiled graph that calls it.
template <typename NodeObject>
graph::Node node_of(std::shared_ptr<NodeObject> object) {
    return [object = std::move(object)](graph::StateView& state) { return object->invoke(state); };
}

std::string base64url(std::string_view bytes) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const auto n = (static_cast<unsigned char>(bytes[i]) << 16) |
                       (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                       static_cast<unsigned char>(bytes[i + 2]);
        out += {kAlphabet[(n >> 18) & 63], kAlphabet[(n >> 12) & 63], kAlphabet[(n >> 6) & 63],
                kAlphabet[n & 63]};
    }
    if (i + 1 == bytes.size()) {
        const auto n = static_cast<unsigned char>(bytes[i]) << 16;
        out += {kAlphabet[(n >> 18) & 63], kAlphabet[(n >> 12) & 63], '=', '='};
    } else if (i + 2 == bytes.size()) {
        const auto n =
            (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
        out += {kAlphabet[(n >> 18) & 63], kAlphabet[(n >> 12) & 63], kAlphabet[(n >> 6) & 63], '='};
    }
    return out;
}

enum class ImageFormat { png, jpg, bmp, tga };

ImageFormat format_for(const fs::path& path) {
    const std::string extension = lower(path.extension().string());
    if (extension == ".png") return ImageFormat::png;
    if (extension == ".jpg" || extension == ".jpeg") return ImageFormat::jpg;
    if (extension == ".bmp") return ImageFormat::bmp;
    if (extension == ".tga") return ImageFormat::tga;
    throw ValueError("unknown file extension: '" + path.extension().string() + "'");
}

void append_bytes(void* context, void* data, int size) {
    static_cast<std::string*>(context)->append(static_cast<const char*>(data),
                                               static_cast<std::size_t>(size));
}

// The PNG the renderer sent, re-encoded in format.
std::string convert_png(const std::string& png, ImageFormat format) {
    int width = 0, height = 0, channels = 0;
    const std::unique_ptr<stbi_uc, void (*)(void*)> pixels(
        stbi_load_from_memory(reinterpret_cast<const stbi_uc*>(png.data()), static_cast<int>(png.size()),
                              &width, &height, &channels, 0),
        stbi_image_free);
    if (!pixels)
        throw ValueError(std::string("cannot decode the rendered graph image: ") + stbi_failure_reason());
    std::string out;
    int written = 0;
    switch (format) {
        case ImageFormat::png:
            written = stbi_write_png_to_func(append_bytes, &out, width, height, channels, pixels.get(),
                                             width * channels);
            break;
        case ImageFormat::jpg:
            written = stbi_write_jpg_to_func(append_bytes, &out, width, height, channels, pixels.get(),
                                             kJpegQuality);
            break;
        case ImageFormat::bmp:
            written = stbi_write_bmp_to_func(append_bytes, &out, width, height, channels, pixels.get());
            break;
        case ImageFormat::tga:
            written = stbi_write_tga_to_func(append_bytes, &out, width, height, channels, pixels.get());
            break;
    }
    if (written == 0 || out.empty()) throw ValueError("cannot encode the graph image");
    return out;
}

// Writes bytes to path through a temporary file beside it, so a failed write leaves nothing.
void write_whole_file(const fs::path& path, const std::string& bytes) {
    fs::path temporary = path;
    temporary += ".partial-" + std::to_string(::getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (out) out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (out) out.close();
        if (!out) {
            std::error_code ignored;
            fs::remove(temporary, ignored);
            throw Error("cannot write the graph image to '" + path.string() + "'");
        }
    }
    std::error_code failed;
    fs::rename(temporary, path, failed);
    if (failed) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        throw Error("cannot write the graph image to '" + path.string() + "': " + failed.message());
    }
}

std::string mermaid_service_url() {
    return strip_trailing_slashes(environment_variable(kMermaidUrlVariable).value_or(kDefaultMermaidUrl));
}

}  // namespace

QueryGraph::QueryGraph(std::shared_ptr<CustomSQLDatabase> custom_sql_db, AzureOpenAIChat35 config_35,
                       AzureOpenAIChat4 config_4, QueryGraphOptions options)
    : options_(options),
      config_35_(std::move(config_35)),
      db_(require_database(std::move(custom_sql_db))),
      graph_(SQLState{}),
      runnable_config_(_config_graph(nullptr, Value::array({"querygraph"}), options_.max_concurrency,
                                     options_.recursion_limit)) {
    const Value fields_35 = config_35_.to_record();
    const Value fields_4 = config_4.to_record();
    relevant_tables_model_ = chat_model(fields_35, options_.table_choice_max_tokens, options_);
    sql_generation_model_ = chat_model(fields_4, options_.sql_max_tokens, options_);
    response_model_ = chat_model(fields_35, options_.response_max_tokens, options_);
    pandas_code_model_ = chat_model(fields_35, options_.analysis_max_tokens, options_);
    pandas_ai_model_ = chat_model(fields_35, options_.analysis_max_tokens, options_);
    models_ = GraphModels{sql_generation_model_, response_model_};
    relevant_table_picker_ =
        std::make_shared<function_calling::RelevantTablePicker>(config_35_, db_, options_);
    finish_construction();
}

QueryGraph::QueryGraph(std::shared_ptr<CustomSQLDatabase> custom_sql_db, GraphModels models,
                       QueryGraphOptions options)
    : options_(options),
      models_(require_models(std::move(models))),
      db_(require_database(std::move(custom_sql_db))),
      graph_(SQLState{}),
      runnable_config_(_config_graph(nullptr, Value::array({"querygraph"}), options_.max_concurrency,
                                     options_.recursion_limit)) {
    finish_construction();
}

void QueryGraph::finish_construction() {
    compiled_graph_.emplace(_compile_graph(runnable_config_));
    // The interpreters that render prompts and run analysis code start now and load their
    // libraries while the first question is still with the model. A failed start is left for
    // the first real use to report.
    for (python::Kernel* kernel : {&python::template_kernel(), &python::analysis_kernel()}) {
        try {
            kernel->start();
        } catch (const Error&) {
        }
    }
}

graph::RunConfig QueryGraph::_config_graph(const Value& metadata, const Value& tags,
                                           const Value& max_concurrency, const Value& recursion_limit) {
    if (!metadata.is_null() && !metadata.is_object()) {
        throw TypeError("metadata must be a record or None, got a " + kind_name(metadata));
    }
    if (!tags.is_array()) throw TypeError("tags must be a list, got a " + kind_name(tags));
    for (const auto& tag : tags) {
        if (!tag.is_string()) throw TypeError("tags must hold texts, got a " + kind_name(tag));
    }
    if (!max_concurrency.is_null() && !max_concurrency.is_number_integer()) {
        throw TypeError("max_concurrency must be an integer or None, got a " + kind_name(max_concurrency));
    }
    if (!recursion_limit.is_number_integer()) {
        throw TypeError("recursion_limit must be an integer, got a " + kind_name(recursion_limit));
    }
    graph::RunConfig config;
    config.metadata = metadata;
    config.tags = tags.get<std::vector<std::string>>();
    config.max_concurrency =
        max_concurrency.is_null() ? std::nullopt : std::optional<int>(max_concurrency.get<int>());
    config.recursion_limit = recursion_limit.get<int>();
    return config;
}

graph::CompiledGraph QueryGraph::_compile_graph(
    const graph::RunConfig& /*runnable_config: applied per run*/) {
    const auto& general = models_.general;
    const graph::Node table_choice = relevant_table_picker_
                                         ? node_of(relevant_table_picker_)
                                         : node_of(std::make_shared<RelevantTableNames>(db_, general));
    const std::map<std::string, graph::Node> nodes = {
        {"table_names_lookup_node", node_of(std::make_shared<TableNamesLookup>(db_))},
        {"relevant_table_names_node", table_choice},
        {"relevant_schemas_node", node_of(std::make_shared<RelevantSchemas>(db_))},
        {"sql_generation_node",
         node_of(std::make_shared<SQLGeneration>(db_, role_model(sql_generation_model_, models_.sql)))},
        {"rewrite_query_node",
         node_of(std::make_shared<RewriteQuery>(db_, role_model(pandas_ai_model_, general)))},
        {"sql_syntax_checker_node",
         node_of(std::make_shared<SQLSyntaxChecker>(db_, role_model(relevant_tables_model_, general)))},
        {"sql_execution_node", node_of(std::make_shared<SQLExecution>(db_))},
        {"pandas_generator_node",
         node_of(std::make_shared<PandasGenerator>(role_model(pandas_code_model_, general)))},
        {"pandas_executor_node",
         node_of(std::make_shared<PandasExecutor>(role_model(pandas_ai_model_, general)))},
        {"final_response_generation_node",
         node_of(std::make_shared<GenerateResponse>(role_model(response_model_, general)))},
    };
    graph_ = query_topology([&](const std::string& name) { return nodes.at(name); });
    return graph_.compile();
}

graph::StateGraph query_topology(const std::function<graph::Node(const std::string& name)>& node_for) {
    // The nodes in the order they are drawn; the three without a model are the graph's own.
    const std::vector<std::pair<std::string, graph::Node>> nodes = {
        {"init_node", initialisation},
        {"table_names_lookup_node", node_for("table_names_lookup_node")},
        {"relevant_table_names_node", node_for("relevant_table_names_node")},
        {"relevant_schemas_node", node_for("relevant_schemas_node")},
        {"sql_generation_node", node_for("sql_generation_node")},
        {"rewrite_query_node", node_for("rewrite_query_node")},
        {"sql_syntax_checker_node", node_for("sql_syntax_checker_node")},
        {"sql_execution_node", node_for("sql_execution_node")},
        {"pandas_generator_node", node_for("pandas_generator_node")},
        {"pandas_executor_node", node_for("pandas_executor_node")},
        {"final_response_generation_node", node_for("final_response_generation_node")},
        {"pandas_error_handler_node", handle_pandas_error},
        {"sql_error_handler_node", handle_sql_error},
    };
    const std::vector<std::pair<std::string, std::string>> edges = {
        {"init_node", "table_names_lookup_node"},
        {"table_names_lookup_node", "relevant_table_names_node"},
        {"relevant_table_names_node", "relevant_schemas_node"},
        {"relevant_schemas_node", "sql_generation_node"},
        {"rewrite_query_node", "relevant_table_names_node"},
        {"sql_generation_node", "sql_syntax_checker_node"},
        {"sql_syntax_checker_node", "sql_execution_node"},
        {"pandas_generator_node", "pandas_executor_node"},
        {"final_response_generation_node", graph::END},
        {"pandas_executor_node", "final_response_generation_node"},
    };
    graph::StateGraph g{SQLState{}};
    for (const auto& [name, node] : nodes) g.add_node(name, node);
    g.set_entry_point("init_node");
    for (const auto& [source, target] : edges) g.add_edge(source, target);
    g.add_conditional_edges("pandas_executor_node", pandas_execution_condition,
                            {{"final_response", "final_response_generation_node"},
                             {"pandas_execution_error", "pandas_error_handler_node"}});
    g.add_conditional_edges(
        "sql_execution_node", sql_execution_condition,
        {{"pandas_generation", "pandas_generator_node"}, {"sql_execution_error", "sql_error_handler_node"}});
    g.add_conditional_edges("sql_error_handler_node", sql_error_handler_condition,
                            {{"regenerate_sql_query", "sql_generation_node"},
                             {"terminal_failure_response", "final_response_generation_node"},
                             {"rewrite_query", "rewrite_query_node"}});
    g.add_conditional_edges("pandas_error_handler_node", pandas_error_handler_condition,
                            {{"regenerate_pandas_code", "pandas_generator_node"},
                             {"terminal_failure_response", "final_response_generation_node"}});
    return g;
}

graph::DrawableGraph query_graph_drawing() {
    // Only drawn, never run: the ten nodes that would need a model or the database refuse.
    const auto drawing_only = [](const std::string& name) -> graph::Node {
        return [name](graph::StateView&) -> Value {
            throw Error("node '" + name + "' belongs to a drawing of the query graph and cannot run");
        };
    };
    return query_topology(drawing_only).compile().get_graph();
}

Value QueryGraph::invoke(const Value& inputs) const {
    return invoke(inputs, nullptr);
}

Value QueryGraph::invoke(const Value& inputs, graph::RunObserver observer) const {
    return invoke(inputs, std::move(observer), nullptr);
}

Value QueryGraph::invoke(const Value& inputs, graph::RunObserver observer,
                         std::shared_ptr<const Cancellation> cancellation,
                         std::optional<std::chrono::steady_clock::time_point> deadline) const {
    if (!inputs.is_object()) throw TypeError("inputs must be a record, got a " + kind_name(inputs));
    graph::RunConfig config = runnable_config_;
    config.observer = std::move(observer);
    // Analysis code runs with the media directory as its working directory, in a sandbox that
    // sees the directory at its absolute path. The model is told where to save plots, so it must
    // be told the absolute path: "media/plot.png" would land in media/media.
    config.cancellation = std::move(cancellation);
    config.deadline = deadline;
    Value run_inputs = inputs;
    const auto save_path = run_inputs.find("save_path");
    if (save_path != run_inputs.end() && save_path->is_string() &&
        !save_path->get_ref<const std::string&>().empty()) {
        *save_path = fs::absolute(save_path->get<std::string>()).lexically_normal().string();
    }
    Value result = compiled_graph_->invoke(std::move(run_inputs), config);
    if (!result.is_object() && !result.is_null()) {
        throw TypeError("the graph's result must be a record, got a " + kind_name(result));
    }
    return result;
}

void QueryGraph::visualize_graph(const std::string& visualization_type,
                                 const std::string& save_graph_path) const {
    visualize(compiled_graph_->get_graph(), visualization_type, save_graph_path);
}

void visualize(const graph::DrawableGraph& drawable, const std::string& visualization_type,
               const std::string& save_graph_path) {
    if (visualization_type == "ascii") {
        std::cout << drawable.draw_ascii() << std::flush;
        return;
    }
    const fs::path target(save_graph_path);
    const ImageFormat format = format_for(target);
    const std::string url =
        mermaid_service_url() + "/img/" + base64url(drawable.draw_mermaid()) + "?type=png";
    http::Client client;
    const http::Response response = client.get(url, {}, QueryGraphOptions{}.render_timeout);
    if (response.status != 200) {
        throw HttpError("the Mermaid rendering service answered " + std::to_string(response.status) +
                            (response.reason.empty() ? "" : " " + response.reason),
                        response.status);
    }
    write_whole_file(target, convert_png(response.body, format));
}

}  // namespace veltaai::querygraph
