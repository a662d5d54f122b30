// Test helper for definition-loader messages: the message with its place (file and line) taken
// out, for tests about the text alone.
#pragma once

#include <regex>
#include <string>

namespace velmar_test {

inline std::string withoutPlace(const std::string &line) {
    static const std::regex place(R"( \([^()]*, line [0-9]+\)\.$)");
    return std::regex_replace(line, place, ".");
}

}  // namespace velmar_test
