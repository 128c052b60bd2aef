#pragma once
// Where the library's status lines go ("Agent is Ready!", "LLM is Ready!", the usage report's
// outcome): standard output unless the host chooses another stream, as a program that prints
// a document on standard output must.

#include <ostream>
#include <string_view>

namespace veltaai {

// The stream must outlive every later status line. Safe to call while other threads print.
void set_status_stream(std::ostream& out);
std::ostream& status_stream();

// One line on the status stream, flushed; lines of several threads do not interleave.
void status_line(std::string_view line);

}  // namespace veltaai
