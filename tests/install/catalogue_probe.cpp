// Prints where the installed picker library finds its table catalogue.
#include "veltaai/function_calling/base.h"

#include <iostream>

int main() {
    std::cout << veltaai::function_calling::get_relevant_tables_path() << "\n";
}
