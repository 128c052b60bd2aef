// veltaai: answers plain-language questions about a relational database.
//   veltaai ask [--database URL] [--media DIR] [--service] [--quiet|--verbose] "question"
//   veltaai graph [--png FILE]
//   veltaai serve [--database URL] [--host 127.0.0.1] [--port 8080]

#include "veltaai/cli/commands.h"
#include "veltaai/server/command.h"

#include <CLI/CLI.hpp>

int main(int argc, char** argv) {
    using namespace veltaai::cli;

    CLI::App app{"veltaai: answers plain-language questions about a relational database"};
    app.require_subcommand(1);

    AskOptions ask_options;
    CLI::App* ask_command = app.add_subcommand("ask", "Answer a question about a database");
    ask_command->add_option("question", ask_options.question, "The question, in plain language")->required();
    ask_command->add_option("--database", ask_options.database_url,
                            "Database URL, e.g. sqlite:///chinook.sqlite or postgresql://user:pw@host:5432/db "
                            "(default: $VELTAAI_DATABASE_URL)");
    ask_command->add_option("--media", ask_options.media_dir, "Directory for files the analysis code writes")
        ->capture_default_str();
    ask_command->add_flag("--service", ask_options.use_service,
                          "Chat configurations from the product service (needs VELTA_API_KEY); usage is reported there");
    ask_command->add_flag("-q,--quiet", ask_options.quiet, "No progress on standard error");
    ask_command->add_flag("-v,--verbose", ask_options.verbose, "Also the library's info log on standard error");

    std::optional<std::string> png_path;
    CLI::App* graph_command = app.add_subcommand("graph", "Draw the query graph");
    graph_command->add_option("--png", png_path, "Write a PNG image here instead of printing ASCII art");

    veltaai::server::ServeCommand serve_options;
    CLI::App* serve_command = veltaai::server::add_serve_command(app, serve_options);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? exit_ok : exit_usage;
    }

    if (ask_command->parsed()) return ask(ask_options);
    if (serve_command->parsed()) return veltaai::server::serve(serve_options);
    return draw_graph(png_path);
}
