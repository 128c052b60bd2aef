#pragma once
// The answer to one question as one JSON document, for programs rather than people: what
// `veltaai ask --json` prints and what `veltaai serve` answers.
//
//   {"question": "...", "answer": "...",
//    "queries": [{"sql": "...", "rows": [[1, "Rock"]], "truncated": false, "error": null}],
//    "python_code": "...", "python_output": "...", "image_path": "media/plot.png",
//    "tokens": 1234, "cost": 0.0021, "timings": [{"node": "init_node", "seconds": 0.0001}],
//    "error": null}
//
// Rows are typed JSON (numbers, texts, null, ISO dates), read back from the result texts the
// model saw; a query that failed has "rows": null and the database's message as "error".

#include "veltaai/core/value.h"

#include <string>
#include <vector>

namespace veltaai {

struct NodeTiming {
    std::string node;
    double seconds = 0;
};

// What is known of one question's run.
struct AnswerRun {
    std::string question;
    Value final_state;  // the graph's final state; null when the run failed before its end
    long tokens = 0;
    double cost = 0;  // US dollars
    std::vector<NodeTiming> timings;
    std::string error;  // empty when the question was answered
    std::string cause;  // what lies behind error, when known (the last database or Python error)
};

Value answer_document(const AnswerRun& run);

// The rows of one result text as typed JSON: [] for the empty text, and truncated set when the
// text ends with the note that the result was cut. A text that is not a result is a ValueError.
Value result_rows(const std::string& result_text, bool& truncated);

}  // namespace veltaai
