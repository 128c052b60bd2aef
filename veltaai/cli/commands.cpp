#include "veltaai/cli/commands.h"

#include "veltaai/agent.h"
#include "veltaai/core/errors.h"
#include "veltaai/core/log.h"
#include "veltaai/querygraph/querygraph.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>

namespace veltaai::cli {
namespace {

std::string text_of(const Value& value) { return value.is_string() ? value.get<std::string>() : value.dump(); }

// Results can be thousands of rows; the terminal shows their start.
std::string shortened(const std::string& text) {
    constexpr std::size_t limit = 300;
    if (text.size() <= limit) return text;
    return text.substr(0, limit) + "... (" + std::to_string(text.size()) + " characters)";
}


// The fixed texts of the command line.
namespace text {
constexpr const char* prefix = "veltaai: ";
constexpr const char* no_database =
    "no database given: pass --database URL or set VELTAAI_DATABASE_URL (e.g. sqlite:///chinook.sqlite)";
constexpr const char* no_api_key = "--service needs the product API key in VELTA_API_KEY";
constexpr const char* service_incomplete = "the product service gave no complete chat model configurations";
constexpr const char* cannot_build = "cannot set up the agent: ";
constexpr const char* run_failed = "the question could not be answered (see the error above)";
constexpr const char* no_answer = "no answer came back from the agent";
constexpr const char* sql_failed = "no SQL query of the run succeeded; the answer above says what went wrong";
constexpr const char* last_database_error = "Last database error: ";
constexpr const char* no_database_error = "none (every query ran but returned no rows)";
constexpr const char* media_unusable = "cannot use the media directory: ";
constexpr const char* draw_failed = "cannot draw the graph: ";
}  // namespace text

void complain(const std::string& message) { std::cerr << text::prefix << message << std::endl; }

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value) return std::nullopt;
    return std::string(value);
}

std::string seconds(std::chrono::nanoseconds duration) {
    const double elapsed = std::chrono::duration<double>(duration).count();
    char buffer[32];
    if (elapsed < 1) {
        std::snprintf(buffer, sizeof buffer, "%.0f ms", elapsed * 1000);
    } else {
        std::snprintf(buffer, sizeof buffer, "%.2f s", elapsed);
    }
    return buffer;
}

// One line per finished or failed node on standard error.
graph::RunObserver progress_printer() {
    return [](const graph::RunEvent& event) {
        if (event.kind == graph::RunEvent::Kind::started) return;
        std::cerr << "  [" << event.step << "] " << event.node
                  << (event.kind == graph::RunEvent::Kind::failed ? " failed after " : " ") << seconds(event.duration)
                  << std::endl;
    };
}

void print_answer(const Value& record) {
    const Value& output = record["output"];
    std::cout << "\n" << (output.is_string() ? output.get<std::string>() : output.dump()) << "\n";

    const Value& queries = record["generated_query"];
    const Value& results = record["sql_execution_result"];
    if (queries.is_array() && !queries.empty()) {
        std::cout << "\nSQL queries:\n";
        for (std::size_t i = 0; i < queries.size(); ++i) {
            std::cout << "  " << i + 1 << ". " << text_of(queries[i]) << "\n";
            if (results.is_array() && i < results.size()) {
                std::cout << "     result: " << shortened(text_of(results[i])) << "\n";
            }
        }
    }
    const Value& code = record["python_code"];
    if (code.is_string() && !code.get<std::string>().empty()) std::cout << "\nPython code:\n" << code.get<std::string>() << "\n";
    const Value& image = record["image_path"];
    if (image.is_string() && !image.get<std::string>().empty()) std::cout << "\nImage: " << image.get<std::string>() << "\n";
    std::cout.flush();
}

}  // namespace

int ask(const AskOptions& options) {
    // The progress lines already show what the info log would; failures still get through.
    if (!options.verbose) log::set_level(log::Level::warning);
    const std::optional<std::string> database_url =
        options.database_url ? options.database_url : environment("VELTAAI_DATABASE_URL");
    if (!database_url) {
        complain(text::no_database);
        return exit_usage;
    }
    const std::optional<std::string> api_key = environment("VELTA_API_KEY");
    if (options.use_service && !api_key) {
        complain(text::no_api_key);
        return exit_usage;
    }

    std::shared_ptr<querygraph::QueryGraph> graph;
    try {
        graph = options.use_service ? agent::create_agent(*database_url) : agent::create_agent_from_settings(*database_url);
    } catch (const std::exception& error) {
        complain(text::cannot_build + std::string(error.what()));
        return exit_usage;
    }
    if (!graph) {
        complain(text::service_incomplete);
        return exit_usage;
    }

    graph::RunObserver observer;
    if (!options.quiet) observer = progress_printer();
    const agent::AgentInvoke invoke = [&graph, &observer](const Value& inputs) { return graph->invoke(inputs, observer); };

    agent::RunOutcome outcome;
    try {
        outcome = agent::run_question(invoke, options.question, options.media_dir);
        if (outcome.tokens && outcome.cost && !options.quiet)
            std::cerr << "  tokens: " << *outcome.tokens << ", cost: $" << *outcome.cost << std::endl;
        if (options.use_service) agent::report_usage(outcome, *api_key, options.question);
    } catch (const std::filesystem::filesystem_error& error) {
        complain(text::media_unusable + std::string(error.what()));
        return exit_usage;
    } catch (const std::exception& error) {
        complain(error.what());
        return exit_run_failed;
    }

    const Value& result = outcome.result;
    if (!result.is_object() || !result.contains("generated_query")) {
        complain(result.is_object() ? text::run_failed : text::no_answer);
        return exit_run_failed;
    }
    print_answer(result);
    if (outcome.sql_failed) {
        // The model's answer explains the failure; the user also gets what the database said.
        std::cout << "\n" << text::last_database_error
                  << (outcome.last_database_error ? *outcome.last_database_error : text::no_database_error) << "\n";
        std::cout.flush();
        complain(text::sql_failed);
        return exit_run_failed;
    }
    return exit_ok;
}

int draw_graph(const std::optional<std::string>& png_path) {
    try {
        // The drawing needs the graph's shape only: no database, model or interpreter.
        const graph::DrawableGraph drawing = querygraph::query_graph_drawing();
        if (png_path) {
            querygraph::visualize(drawing, "png", *png_path);
            std::cerr << text::prefix << "graph written to " << *png_path << std::endl;
        } else {
            querygraph::visualize(drawing, "ascii");
        }
    } catch (const std::exception& error) {
        complain(text::draw_failed + std::string(error.what()));
        return exit_run_failed;
    }
    return exit_ok;
}

}  // namespace veltaai::cli
