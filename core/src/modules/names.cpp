#include "modules/names.hpp"

#include <algorithm>

#include "support/text_scan.hpp"

namespace quarl {
namespace {

void append_default(std::string& out, const Value& value) {
  switch (value.kind()) {
    case ValueKind::String:
      out += '"';
      out += value.as_string();
      out += '"';
      return;
    case ValueKind::Number:
    case ValueKind::Boolean:
      append_text(out, value);
      return;
    case ValueKind::Null:
      out += "null";
      return;
    case ValueKind::Array:
    case ValueKind::Object:
      out += "\u2026";
      return;
  }
}

}  // namespace

std::string function_signature(const Define& define) {
  std::string out(define.name);
  out += '(';
  for (std::size_t i = 0; i < define.params.size(); ++i) {
    const Param& param = define.params[i];
    if (i) out += ", ";
    out += param.name;
    if (param.default_value) {
      out += " = ";
      append_default(out, *param.default_value);
    }
  }
  out += ')';
  return out;
}

void define_functions(ModuleContext& context, const Template& module) {
  for (const Node& node : module.body) {
    const auto* define = std::get_if<Define>(&node.data);
    if (!define) continue;
    const auto required = static_cast<std::size_t>(std::count_if(
        define->params.begin(), define->params.end(), [](const Param& param) { return !param.default_value; }));
    const FunctionDef& function = context.defined.emplace_back(
        FunctionDef{define->name, define, &module, &context, function_signature(*define), required});
    context.functions.insert_or_assign(std::string(define->name), &function);
  }
}

}  // namespace quarl
