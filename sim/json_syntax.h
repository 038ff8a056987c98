// The JSON text files of the simulated machine (the machine file, the state
// file): a first pass that finds broken or ambiguous JSON, and the paths and
// one-line messages their errors are given in.
#ifndef QXFW_SIM_JSON_SYNTAX_H_
#define QXFW_SIM_JSON_SYNTAX_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace sim {

/// Checks that `text` is one JSON value, nested at most 32 levels deep, with
/// no key repeated in an object (a document would silently keep only one).
/// Returns an empty string, or one line that says what is wrong and where
/// (`adapters[0]: duplicate field "node"`, `not valid JSON: ...`).
/// Any text is acceptable input; nothing is thrown.
[[nodiscard]] std::string CheckJsonSyntax(std::string_view text);

/// The path of a member and of an element below `path` ("a.b", "a[2]").
std::string Member(const std::string& path, std::string_view key);
std::string Element(const std::string& path, std::size_t index);

/// `message` about the value at `path` ("path: message"; just the message at the top).
std::string At(const std::string& path, const std::string& message);

/// `text` in double quotes.
std::string Quoted(std::string_view text);

/// `error` with every control character shown as \u00XX, so that it prints as one line
/// whatever the names it quotes from a file hold.
std::string OneLine(const std::string& error);

}  // namespace sim

#endif  // QXFW_SIM_JSON_SYNTAX_H_
