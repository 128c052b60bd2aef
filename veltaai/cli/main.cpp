// veltaai: answers plain-language questions about a relational database.
//   veltaai ask [--database URL] [--provider azure|openai] [--model NAME] [--sql-model NAME]
//               [--media DIR] [--service] [--json] [--quiet|--verbose] "question"
//   veltaai tables | schema TABLE... | sql "SELECT ..."   [--database URL]
//   veltaai graph [--mermaid | --png FILE]
//   veltaai --version
//   veltaai serve --database URL [--host 127.0.0.1] [--port 8080]

#include "veltaai/cli/commands.h"
#include "veltaai/server/command.h"

#include <CLI/CLI.hpp>

namespace {

void add_database_option(CLI::App* command, std::optional<std::string>& database_url) {
    command->add_option("--database", database_url,
                        "Database URL, e.g. sqlite:///chinook.sqlite or postgresql://user:pw@host:5432/db "
                        "(default: $VELTAAI_DATABASE_URL)");
}

}  // namespace

int main(int argc, char** argv) {
    using namespace veltaai::cli;

    CLI::App app{"veltaai: answers plain-language questions about a relational database"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("veltaai ") + VELTAAI_VERSION);

    AskOptions ask_options;
    CLI::App* ask_command = app.add_subcommand("ask", "Answer a question about a database");
    ask_command->add_option("question", ask_options.question, "The question, in plain language")->required();
    add_database_option(ask_command, ask_options.database_url);
    ask_command
        ->add_option("--provider", ask_options.models.provider,
                     "azure or openai (any OpenAI-compatible server); default: from what is configured")
        ->check(CLI::IsMember({"azure", "openai"}));
    ask_command->add_option(
        "--model", ask_options.models.model,
        "Model for every step but writing SQL (default: $VELTAAI_MODEL; azure: the deployment)");
    ask_command->add_option(
        "--sql-model", ask_options.models.sql_model,
        "Model that writes SQL (default: $VELTAAI_SQL_MODEL, else --model; azure: the deployment)");
    ask_command->add_option("--media", ask_options.media_dir, "Directory for files the analysis code writes")
        ->capture_default_str();
    ask_command->add_flag(
        "--service", ask_options.models.use_service,
        "Chat configurations from the product service (needs VELTA_API_KEY); usage is reported there");
    ask_command->add_flag("--json", ask_options.json,
                          "One JSON document on standard output, nothing else there");
    ask_command->add_flag("-q,--quiet", ask_options.quiet, "No progress on standard error");
    ask_command->add_flag("-v,--verbose", ask_options.verbose,
                          "Also the library's info log on standard error");

    std::optional<std::string> database_url;
    CLI::App* tables_command = app.add_subcommand("tables", "List the database's tables");
    add_database_option(tables_command, database_url);

    std::vector<std::string> table_names;
    CLI::App* schema_command =
        app.add_subcommand("schema", "Show the CREATE TABLE text and sample rows of tables");
    schema_command->add_option("table", table_names, "Table names")->required();
    add_database_option(schema_command, database_url);

    std::string statement;
    bool sql_json = false;
    CLI::App* sql_command =
        app.add_subcommand("sql", "Run one read-only SQL statement, guarded as the agent's are");
    sql_command->add_option("statement", statement, "The statement, e.g. \"SELECT * FROM Genre LIMIT 3\"")
        ->required();
    add_database_option(sql_command, database_url);
    sql_command->add_flag("--json", sql_json, "The rows as typed JSON");

    std::optional<std::string> png_path;
    bool mermaid = false;
    CLI::App* graph_command = app.add_subcommand("graph", "Draw the query graph (ASCII art by default)");
    graph_command->add_option("--png", png_path, "Write a PNG image here (rendered by the Mermaid service)");
    graph_command->add_flag("--mermaid", mermaid, "Print the Mermaid text instead (no network)")
        ->excludes("--png");

    veltaai::server::ServeCommand serve_options;
    CLI::App* serve_command = veltaai::server::add_serve_command(app, serve_options);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? exit_ok : exit_usage;
    }

    if (ask_command->parsed()) return ask(ask_options);
    if (tables_command->parsed()) return tables(database_url);
    if (schema_command->parsed()) return schema(database_url, table_names);
    if (sql_command->parsed()) return sql(database_url, statement, sql_json);
    if (serve_command->parsed()) return veltaai::server::serve(serve_options);
    if (png_path) return draw_graph(GraphFormat::png, png_path);
    return draw_graph(mermaid ? GraphFormat::mermaid : GraphFormat::ascii);
}
