// A compact one-line rendering of expressions, conditions and node trees, so
// that tests can state the expected tree as a string.
//
//   Var(x)  Call(f, [...])  QCall(m.f, [...])  Path(a.b)  Str("s")  Num(1.5)
//   Bool(true)  Null  Truthy(e)  Not(e)  Eq(a, b)  Ne(a, b)  And[...]  Or[...]
#pragma once

#include "lexer.hpp"

#include <string>

#include "quarl/value.hpp"
#include "template.hpp"

namespace quarl::testing_support {

inline std::string show(const Expr& expr);

inline std::string show_list(const ExprList& args) {
  std::string out = "[";
  for (std::size_t i = 0; i < args.size(); ++i) out += (i ? ", " : "") + show(args[i]);
  return out + "]";
}

inline std::string show_value(const Value& value) {
  switch (value.kind()) {
    case ValueKind::String:
      return "Str(\"" + std::string(value.as_string()) + "\")";
    case ValueKind::Number:
      return "Num(" + to_text(value) + ")";
    case ValueKind::Boolean:
      return std::string("Bool(") + (value.as_boolean() ? "true" : "false") + ")";
    case ValueKind::Null:
      return "Null";
    default:
      return "?" + to_text(value);
  }
}

inline std::string show(const Expr& expr) {
  struct Visitor {
    std::string operator()(const Var& v) const { return "Var(" + std::string(v.name) + ")"; }
    std::string operator()(const Call& c) const {
      return "Call(" + std::string(c.name) + ", " + show_list(c.args) + ")";
    }
    std::string operator()(const QualifiedCall& c) const {
      return "QCall(" + std::string(c.alias) + "." + std::string(c.name) + ", " +
             show_list(c.args) + ")";
    }
    std::string operator()(const DotPath& p) const {
      std::string out = "Path(" + std::string(p.root);
      for (const Field& segment : p.segments) out += "." + std::string(segment.name);
      return out + ")";
    }
    std::string operator()(const StringLit& s) const { return show_value(s.value); }
    std::string operator()(const NumberLit& n) const { return show_value(Value::number(n.value)); }
    std::string operator()(const BoolLit& b) const { return show_value(Value::boolean(b.value)); }
    std::string operator()(const NullLit&) const { return "Null"; }
  };
  return std::visit(Visitor{}, expr.node);
}

inline std::string show(const Condition& condition) {
  struct Visitor {
    static std::string list(const char* name, const std::vector<Condition>& operands) {
      std::string out = name;
      out += "[";
      for (std::size_t i = 0; i < operands.size(); ++i)
        out += (i ? ", " : "") + show(operands[i]);
      return out + "]";
    }
    std::string operator()(const Truthy& t) const { return "Truthy(" + show(t.expr) + ")"; }
    std::string operator()(const Not& n) const { return "Not(" + show(n.expr) + ")"; }
    std::string operator()(const Eq& e) const {
      return "Eq(" + show(e.left) + ", " + show(e.right) + ")";
    }
    std::string operator()(const Ne& e) const {
      return "Ne(" + show(e.left) + ", " + show(e.right) + ")";
    }
    std::string operator()(const And& a) const { return list("And", a.operands); }
    std::string operator()(const Or& o) const { return list("Or", o.operands); }
  };
  return std::visit(Visitor{}, condition.node);
}

inline std::string show(const NodeList& nodes);

// Text as a quoted string with \n for line feeds.
inline std::string show_text(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) out += c == '\n' ? std::string("\\n") : std::string(1, c);
  return out + "\"";
}

inline std::string show(const Node& node) {
  struct Visitor {
    std::string operator()(const Text& t) const { return "Text" + show_text(t.text); }
    std::string operator()(const Interpolation& i) const { return "{{" + show(i.expr) + "}}"; }
    std::string operator()(const EscapedBrace&) const { return "Esc"; }
    std::string operator()(const If& n) const {
      std::string out = "If(" + show(n.condition) + " " + show(n.then_body);
      for (const ElseIf& branch : n.else_ifs)
        out += " ElseIf(" + show(branch.condition) + " " + show(branch.body) + ")";
      if (n.else_body) out += " Else" + show(n.else_body->body);
      return out + ")";
    }
    std::string operator()(const For& n) const {
      std::string vars(n.variable);
      if (n.value_variable) vars += ", " + std::string(*n.value_variable);
      return "For(" + vars + " in " + show(n.iterable) + " " + show(n.body) + ")";
    }
    std::string operator()(const Define& n) const {
      std::string out = "Define(" + std::string(n.name) + "(";
      for (std::size_t i = 0; i < n.params.size(); ++i) {
        out += (i ? ", " : "") + std::string(n.params[i].name);
        if (n.params[i].default_value) out += "=" + show_value(*n.params[i].default_value);
      }
      return out + ") " + show(n.body) + ")";
    }
    std::string operator()(const Import& n) const {
      switch (n.form) {
        case ImportForm::Merge:
          return "Import(\"" + std::string(n.path) + "\")";
        case ImportForm::Alias:
          return "Import(\"" + std::string(n.path) + "\" as " + std::string(n.alias) + ")";
        case ImportForm::Selective: {
          std::string out = "Import({";
          for (std::size_t i = 0; i < n.names.size(); ++i)
            out += (i ? ", " : "") + std::string(n.names[i].name) + "@" +
                   std::to_string(n.names[i].offset);
          return out + "} from \"" + std::string(n.path) + "\")";
        }
      }
      return "?";
    }
    std::string operator()(const Export& n) const {
      switch (n.form) {
        case ExportForm::ExportName:
          return "Export(" + std::string(n.name) + ")";
        case ExportForm::ReExport:
          return "Export(" + std::string(n.name) + " from \"" + std::string(n.path) + "\")";
        case ExportForm::ReExportAll:
          return "Export(* from \"" + std::string(n.path) + "\")";
      }
      return "?";
    }
    std::string operator()(const Include& n) const {
      return "Include(" + std::string(n.alias) + ")";
    }
    std::string operator()(const MessageBlock& n) const {
      const std::string role = std::holds_alternative<Expr>(n.role)
                                   ? show(std::get<Expr>(n.role))
                                   : std::string(std::get<std::string_view>(n.role));
      return "Message(" + role + " " + show(n.body) + ")";
    }
    std::string operator()(const Block& n) const {
      return "Block(" + std::string(n.name) + " " + show(n.body) + ")";
    }
  };
  return std::visit(Visitor{}, node.data);
}

inline std::string show(const NodeList& nodes) {
  std::string out = "[";
  for (std::size_t i = 0; i < nodes.size(); ++i) out += (i ? " " : "") + show(nodes[i]);
  return out + "]";
}

// The body tree, preceded by the frontmatter and @extends when present.
inline std::string show_template(const Template& t) {
  std::string out;
  if (t.frontmatter) out += "fm=" + show_text(*t.frontmatter) + " ";
  if (t.extends)
    out += "extends=" + std::string(t.extends->path) + "@" + std::to_string(t.extends->offset) + " ";
  return out + show(t.body);
}

// Tokens as Kind@offset"text", separated by spaces ("none" for no tokens).
inline std::string show_tokens(const std::vector<Token>& tokens) {
  static constexpr const char* kNames[] = {"Text",      "Interpolation",        "EscapedBrace",
                                           "Directive", "FrontmatterDelimiter", "FrontmatterContent",
                                           "CodeFence", "CodeContent"};
  std::string out;
  for (const Token& t : tokens)
    out += (out.empty() ? "" : " ") + std::string(kNames[static_cast<int>(t.kind)]) + "@" +
           std::to_string(t.offset) + show_text(t.text);
  return out.empty() ? "none" : out;
}

}  // namespace quarl::testing_support
