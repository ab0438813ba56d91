// Reads a JSON document with python3's json module, so that tests check a
// program's JSON with a real parser: strict UTF-8, and a key given twice in
// one object is refused too.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/command_run.h"

namespace test {

// The values of the Python expressions over the parsed document d, each as
// json.dumps prints it (ASCII only, keys sorted). Empty, after a test
// failure that shows python's complaint, when the document is no JSON.
inline std::vector<std::string> json_values(const std::string& document, const std::vector<std::string>& expressions) {
    TempDir dir;
    write_file(dir / "document.json", document);
    std::string script =
        "import json, sys\n"
        "def unique(pairs):\n"
        "    keys = [k for k, _ in pairs]\n"
        "    if len(keys) != len(set(keys)): raise ValueError('a key given twice: %r' % keys)\n"
        "    return dict(pairs)\n"
        "d = json.loads(open(sys.argv[1], 'rb').read().decode('utf-8'), object_pairs_hook=unique)\n";
    for (const std::string& expression : expressions)
        script += "print(json.dumps(" + expression + ", sort_keys=True))\n";
    write_file(dir / "query.py", script);
    const CommandRun run = run_in(dir, "python3 query.py document.json");
    if (run.status != 0) {
        ADD_FAILURE() << "not a JSON document the queries fit: " << run.err << "\n" << document;
        return {};
    }
    std::vector<std::string> values;
    size_t start = 0;
    for (size_t end; (end = run.out.find('\n', start)) != std::string::npos; start = end + 1)
        values.push_back(run.out.substr(start, end - start));
    return values;
}

inline std::string json_value(const std::string& document, const std::string& expression) {
    const std::vector<std::string> values = json_values(document, {expression});
    return values.empty() ? "<no JSON>" : values.front();
}

}  // namespace test
