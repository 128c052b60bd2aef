// Loads dbtool in a process whose environment the test chose and reports what the library
// captured: the settings as JSON on the first line, then whatever the called operation printed.
//   dbtool_load_probe settings | query | pg_query
#include "veltaai/dbtool.h"

#include <iostream>
#include <string>

int main(int argc, char** argv) {
    using namespace veltaai;
    const auto& s = dbtool::database_settings();
    auto text = [](const std::optional<std::string>& v) { return v ? Value(*v) : Value(nullptr); };
    const Value settings = {{"db_name", text(s.db_name)},
                            {"db_user", text(s.db_user)},
                            {"db_password", text(s.db_password)},
                            {"db_host", text(s.db_host)},
                            {"db_port", s.db_port}};
    std::cout << settings.dump() << std::endl;
    const std::string mode = argc > 1 ? argv[1] : "settings";
    if (mode == "settings") {
        std::cout << Value(dbtool::check_db_config_variables()).dump() << std::endl;
    } else if (mode == "query") {
        std::cout << (dbtool::execute_mysql_query("SELECT 1") ? "rows" : "absent") << std::endl;
    } else if (mode == "pg_query") {
        std::cout << (dbtool::execute_pgdb_query("SELECT 1") ? "rows" : "absent") << std::endl;
    }
    return 0;
}
