// Parse trees as one line of text (the forms are listed in tree_text.hpp).
#include "syntax/tree_text.hpp"

#include <string>

#include "quarl/value.hpp"

namespace quarl {
namespace {

std::string expr_list(const ExprList& args) {
  std::string out = "[";
  for (std::size_t i = 0; i < args.size(); ++i) out += (i ? ", " : "") + tree_text(args[i]);
  return out + "]";
}

std::string value_text(const Value& value) {
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

}  // namespace

std::string tree_text(const Expr& expr) {
  struct Visitor {
    std::string operator()(const Var& v) const { return "Var(" + std::string(v.name) + ")"; }
    std::string operator()(const Call& c) const {
      return "Call(" + std::string(c.name) + ", " + expr_list(c.args) + ")";
    }
    std::string operator()(const QualifiedCall& c) const {
      return "QCall(" + std::string(c.alias) + "." + std::string(c.name) + ", " +
             expr_list(c.args) + ")";
    }
    std::string operator()(const DotPath& p) const {
      std::string out = "Path(" + std::string(p.root);
      for (const Field& segment : p.segments) out += "." + std::string(segment.name);
      return out + ")";
    }
    std::string operator()(const StringLit& s) const { return value_text(s.value); }
    std::string operator()(const NumberLit& n) const { return value_text(Value::number(n.value)); }
    std::string operator()(const BoolLit& b) const { return value_text(Value::boolean(b.value)); }
    std::string operator()(const NullLit&) const { return "Null"; }
  };
  return std::visit(Visitor{}, expr.node);
}

std::string tree_text(const Condition& condition) {
  struct Visitor {
    static std::string list(const char* name, const std::vector<Condition>& operands) {
      std::string out = name;
      out += "[";
      for (std::size_t i = 0; i < operands.size(); ++i)
        out += (i ? ", " : "") + tree_text(operands[i]);
      return out + "]";
    }
    std::string operator()(const Truthy& t) const { return "Truthy(" + tree_text(t.expr) + ")"; }
    std::string operator()(const Not& n) const { return "Not(" + tree_text(n.expr) + ")"; }
    std::string operator()(const Eq& e) const {
      return "Eq(" + tree_text(e.left) + ", " + tree_text(e.right) + ")";
    }
    std::string operator()(const Ne& e) const {
      return "Ne(" + tree_text(e.left) + ", " + tree_text(e.right) + ")";
    }
    std::string operator()(const And& a) const { return list("And", a.operands); }
    std::string operator()(const Or& o) const { return list("Or", o.operands); }
  };
  return std::visit(Visitor{}, condition.node);
}

// Text as a quoted string with \n for line feeds.
std::string quoted_text(std::string_view text) {
  std::string out;
  append_quoted(out, text);
  return out;
}

void append_quoted(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size() + text.size() / 16 + 2);
  out += '"';
  for (std::size_t from = 0;;) {
    const std::size_t line_end = text.find('\n', from);
    out.append(text.substr(from, line_end - from));
    if (line_end == std::string_view::npos) break;
    out += "\\n";
    from = line_end + 1;
  }
  out += '"';
}

std::string tree_text(const Node& node, Offsets offsets) {
  struct Visitor {
    Offsets offsets;
    std::string operator()(const Text& t) const {
      std::string out = "Text";
      append_quoted(out, t.text);
      return out;
    }
    std::string operator()(const Interpolation& i) const { return "{{" + tree_text(i.expr) + "}}"; }
    std::string operator()(const EscapedBrace&) const { return "Esc"; }
    std::string operator()(const If& n) const {
      std::string out = "If(" + tree_text(n.condition) + " " + tree_text(n.then_body, offsets);
      for (const ElseIf& branch : n.else_ifs)
        out += " ElseIf(" + tree_text(branch.condition) + " " + tree_text(branch.body, offsets) + ")";
      if (n.else_body) out += " Else" + tree_text(n.else_body->body, offsets);
      return out + ")";
    }
    std::string operator()(const For& n) const {
      std::string vars(n.variable);
      if (n.value_variable) vars += ", " + std::string(*n.value_variable);
      return "For(" + vars + " in " + tree_text(n.iterable) + " " + tree_text(n.body, offsets) + ")";
    }
    std::string operator()(const Define& n) const {
      std::string out = "Define(" + std::string(n.name) + "(";
      for (std::size_t i = 0; i < n.params.size(); ++i) {
        out += (i ? ", " : "") + std::string(n.params[i].name);
        if (n.params[i].default_value) out += "=" + value_text(*n.params[i].default_value);
      }
      return out + ") " + tree_text(n.body, offsets) + ")";
    }
    std::string operator()(const Import& n) const {
      switch (n.form) {
        case ImportForm::Merge:
          return "Import(\"" + std::string(n.path) + "\")";
        case ImportForm::Alias:
          return "Import(\"" + std::string(n.path) + "\" as " + std::string(n.alias) + ")";
        case ImportForm::Selective: {
          std::string out = "Import({";
          for (std::size_t i = 0; i < n.names.size(); ++i) {
            out += (i ? ", " : "") + std::string(n.names[i].name);
            if (offsets == Offsets::Shown) out += "@" + std::to_string(n.names[i].offset);
          }
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
                                   ? tree_text(std::get<Expr>(n.role))
                                   : std::string(std::get<std::string_view>(n.role));
      return "Message(" + role + " " + tree_text(n.body, offsets) + ")";
    }
    std::string operator()(const Block& n) const {
      return "Block(" + std::string(n.name) + " " + tree_text(n.body, offsets) + ")";
    }
  };
  return std::visit(Visitor{offsets}, node.data);
}

std::string tree_text(const NodeList& nodes, Offsets offsets) {
  std::string out = "[";
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (i) out += ' ';
    out += tree_text(nodes[i], offsets);
  }
  out += ']';
  return out;
}

// The body tree, preceded by the frontmatter and @extends when present.
std::string tree_text(const Template& t, Offsets offsets) {
  std::string out;
  if (t.frontmatter) out += "fm=" + quoted_text(*t.frontmatter) + " ";
  if (t.extends)
    out += "extends=" + std::string(t.extends->path) +
           (offsets == Offsets::Shown ? "@" + std::to_string(t.extends->offset) : "") + " ";
  out += tree_text(t.body, offsets);
  return out;
}


}  // namespace quarl
