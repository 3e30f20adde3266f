// Rendering helpers for evaluator and builtin tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "quarl/value.hpp"
#include "render/evaluator.hpp"
#include "render_template.hpp"
#include "syntax/lexer.hpp"
#include "syntax/parser.hpp"

namespace quarl::testing_support {

inline std::shared_ptr<const Template> parse_source(const std::string& source) {
  return std::make_shared<const Template>(
      parse_template(lex(std::make_shared<const std::string>(source))));
}

// Module-level variables from a JSON object text.
inline Variables variables_from_json(const std::string& json) {
  const Value object = value_from_json(nlohmann::json::parse(json));
  Variables variables;
  for (const auto& [name, value] : object.as_object()) variables.emplace_back(name, value);
  return variables;
}

// One body (nodes of `module`) rendered against `scope`, as Markdown text or
// as messages.
inline std::string evaluate(const NodeList& body, const ModuleText& module, Scope& scope,
                            EvalContext& context) {
  Output output(Output::Mode::Markdown);
  const Segment segment{body, &module};
  quarl::evaluate(std::span(&segment, 1), scope, context, output);
  return output.take_text();
}

inline std::vector<Message> evaluate_messages(const NodeList& body, const ModuleText& module,
                                              Scope& scope, EvalContext& context) {
  Output output(Output::Mode::Messages);
  const Segment segment{body, &module};
  quarl::evaluate(std::span(&segment, 1), scope, context, output);
  return output.take_messages();
}

inline std::string render(const std::string& source, const std::string& json = "{}") {
  Warnings warnings;
  return render_template(*parse_source(source), variables_from_json(json), warnings);
}

// The error rendering fails with; a test failure when it renders.
inline Error render_error(const std::string& source, const std::string& json = "{}") {
  try {
    render(source, json);
  } catch (const Error& e) {
    return e;
  }
  ADD_FAILURE() << "rendered without error: " << source;
  return Error::syntax("rendered without error");
}

}  // namespace quarl::testing_support
