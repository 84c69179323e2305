// The name of the function a log line is written from, for loggers that name their call site.
// __func__ inside a lambda is "operator()", which says nothing; the compiler's pretty function
// text of a lambda still starts with its enclosing function ("N::S::load(int)::<lambda()>" from
// g++, "auto N::S::load(int)::(anonymous class)::operator()() const" from clang), so the name is
// taken from there.
#pragma once

#include <string_view>

namespace vx {

// The unqualified name of the function that `prettyFunction` (__PRETTY_FUNCTION__) names, or of
// the function that encloses the lambda it names: "load" for "void N::S::load(int)" and for
// "N::S::load(int)::<lambda()>", "operator==" for an operator, "S" for a constructor.
// `fallback` (normally __func__) when no function name can be found, as for a lambda that
// initialises a variable at namespace scope.
constexpr std::string_view enclosingFunctionName(std::string_view prettyFunction, std::string_view fallback) {
  constexpr std::string_view kOperator = "operator";
  // The parameter list's opening parenthesis; the one of "operator()" is part of the name.
  std::size_t paren = std::string_view::npos;
  for (std::size_t i = 0; i < prettyFunction.size(); ++i) {
    if (prettyFunction[i] != '(') continue;
    // Scopes clang writes in parentheses: "(anonymous namespace)", "(anonymous class)" (a lambda),
    // "(lambda at file:line:column)".
    const auto rest = prettyFunction.substr(i);
    if (rest.starts_with("(anonymous ") || rest.starts_with("(lambda at ")) {
      const auto close = prettyFunction.find(')', i);
      if (close == std::string_view::npos) return fallback;
      i = close;
      continue;
    }
    if (prettyFunction.substr(0, i).ends_with(kOperator) && i + 1 < prettyFunction.size() &&
        prettyFunction[i + 1] == ')') {
      ++i;
      continue;
    }
    paren = i;
    break;
  }
  if (paren == std::string_view::npos) return fallback;
  std::string_view name = prettyFunction.substr(0, paren);
  // Template arguments of a function template ("g<int>"), but not an operator's own '>'.
  if (name.ends_with('>') && !name.ends_with("operator>") && !name.ends_with("operator>>") &&
      !name.ends_with("operator->")) {
    int depth = 0;
    std::size_t at = name.size();
    while (at > 0) {
      --at;
      if (name[at] == '>') ++depth;
      if (name[at] == '<' && --depth == 0) break;
    }
    if (depth != 0) return fallback;
    name = name.substr(0, at);
  }
  if (const auto scope = name.rfind("::"); scope != std::string_view::npos) {
    name = name.substr(scope + 2);
  }
  if (!name.starts_with(kOperator)) {
    // A return type in front ("void f", "std::vector<int> f").
    if (const auto space = name.rfind(' '); space != std::string_view::npos) {
      name = name.substr(space + 1);
    }
  }
  if (name.empty() || name.front() == '<' || name.front() == '{') return fallback;
  return name;
}

}  // namespace vx
