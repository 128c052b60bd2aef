// A host program: opens a database, lists its tables, runs a read-only query and hands the
// rows to Python analysis code in the sandboxed kernel.
//   host_example sqlite:///path/to/chinook.sqlite

#include "veltaai/codetool.h"
#include "veltaai/querygraph/custom_sql.h"

#include <iostream>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: host_example <database URL>\n";
        return 2;
    }
    try {
        auto db = veltaai::querygraph::CustomSQLDatabase::from_uri(argv[1]);
        std::cout << "dialect: " << db->dialect() << "\n";
        std::cout << "tables: " << veltaai::querygraph::ListSQLDatabaseTool(db).run() << "\n";

        // Rows come back as a Python literal that analysis code can paste.
        const std::string rows = db->run(
            "SELECT g.Name, COUNT(*) FROM Track t JOIN Genre g ON g.GenreId = t.GenreId "
            "GROUP BY g.Name ORDER BY 2 DESC LIMIT 5");
        std::cout << "rows: " << rows << "\n";
        std::cout << veltaai::codetool::execute_code(
            "rows = " + rows + "\nprint('tracks in the top five genres:', sum(n for _, n in rows))\n");
    } catch (const std::exception& error) {
        std::cerr << "host_example: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
