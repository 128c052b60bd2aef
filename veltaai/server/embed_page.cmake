# Writes page.html into a C++ source as one text, so the program carries its web page.
file(READ "${INPUT}" content)
set(delimiter "veltaai_page")
file(WRITE "${OUTPUT}" "namespace veltaai::server {\nextern const char* const page_html;\nconst char* const page_html = R\"${delimiter}(${content})${delimiter}\";\n}\n")
