// Prints the default chat deployment records as the settings library captured them at load.
// Arguments NAME=VALUE are set in the environment first, after the library has loaded.

#include "veltaai/settings.h"

#include <cstdlib>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string assignment = argv[i];
        const auto eq = assignment.find('=');
        ::setenv(assignment.substr(0, eq).c_str(), assignment.substr(eq + 1).c_str(), 1);
    }
    const veltaai::Value records = {{"chat_35", veltaai::AzureOpenAIChat35{}.to_record()},
                                    {"chat_4", veltaai::AzureOpenAIChat4{}.to_record()}};
    std::cout << records.dump() << '\n';
}
