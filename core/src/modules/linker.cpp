#include "modules/linker.hpp"

#include <unordered_set>

#include "modules/inheritance.hpp"
#include "modules/loader.hpp"
#include "quarl/stack_guard.hpp"
#include "render/interfaces.hpp"
#include "support/suggest.hpp"
#include "syntax/links.hpp"

namespace quarl {
namespace {

// An error raised while resolving entry `index` of the frontmatter import
// list, as the entry reports it: the entry carries no span, so unspanned
// errors name it instead (keeping their notes).
Error for_frontmatter_entry(const Error& error, std::size_t index) {
  if (error.span()) return error;
  const std::string suffix = " (in frontmatter imports[" + std::to_string(index) + "])";
  const std::string payload(error.payload_text());
  const auto reworded = [&error](std::string message) {
    Error out = Error::import(std::move(message));
    for (const std::string& note : error.notes()) out.add_note(note);
    return out;
  };
  switch (error.code()) {
    case ErrorCode::CircularImport:
      return reworded("circular import detected: " + payload + suffix);
    case ErrorCode::FileNotFound:
      return reworded("file not found: \"" + payload + "\"" + suffix);
    case ErrorCode::ModuleNotFound:
      return reworded("module not found: \"" + payload + "\"" + suffix);
    case ErrorCode::Import:
      if (payload.find("in frontmatter") == std::string::npos) return reworded(payload + suffix);
      return error;
    default:
      return error;
  }
}

// @import and @export act on the whole module, before it renders: inside
// another directive's body they would seem conditional (or be lost), so they
// are refused there.
void refuse_nested_links(const NodeList& nodes, const ModuleText& text, bool top_level) {
  check_stack();
  for (const Node& node : nodes) {
    const bool link =
        std::holds_alternative<Import>(node.data) || std::holds_alternative<Export>(node.data);
    if (link && !top_level)
      throw Error::import(std::string(std::holds_alternative<Import>(node.data) ? "@import"
                                                                                 : "@export") +
                              " must be at the top level of a module, not inside another "
                              "directive",
                          line_span(*text, node.offset), text);
    for_each_body(node, [&](const NodeList& body) { refuse_nested_links(body, text, false); });
  }
}

// Links one module once it is parsed: binds what its frontmatter imports and
// @import directives bring in, then its own functions, resolves its @export
// list, places it in its inheritance chain and binds its variables.
class Linker {
 public:
  Linker(Loader& loader, ImportedInterfaces& interfaces, Module& module)
      : loader_(loader), interfaces_(interfaces), module_(module), tpl_(*module.source), context_(module.context) {}

  // Frontmatter imports first, then the directives in document order; the
  // chain is joined once the module's own functions and exports are known.
  void link(const ObjectView* caller_variables) {
    const std::vector<ModuleLink> links = module_links(tpl_, module_.frontmatter.imports);
    for (const ModuleLink& link : links)
      if (link.kind == ModuleLink::Kind::FrontmatterImport) bind_frontmatter_import(link);
    refuse_nested_links(tpl_.body, tpl_.text, true);
    for (const ModuleLink& link : links) {
      if (link.kind == ModuleLink::Kind::Import) bind_import_directive(link);
      if (link.kind == ModuleLink::Kind::Export) note_export(link);
    }
    // Own functions come after imports: a module's definition of a name
    // replaces an imported function of that name.
    define_functions(context_, tpl_);
    resolve_exports();
    if (!links.empty() && links.front().kind == ModuleLink::Kind::Extends) join_chain(links.front());
    bind_variables(caller_variables);
  }

 private:
  struct PendingExport {
    const Export* directive;
    Span span;
    Module* target;  // ReExport and ReExportAll
  };

  void bind_frontmatter_import(const ModuleLink& link) {
    const FrontmatterImport& entry = *link.entry;
    try {
      const ImportedModule& imported = interfaces_.of(load(entry.path));
      std::vector<std::string_view> names(entry.names.begin(), entry.names.end());
      bind(entry.form, entry.alias, names, entry.path, imported, std::nullopt);
    } catch (const Error& error) {
      Error reported = for_frontmatter_entry(error, link.index);
      reported.set_module_if_missing(tpl_.text);
      throw reported;
    }
  }

  void bind_import_directive(const ModuleLink& link) {
    const Import& import = *link.import;
    const Span span = line_span(*tpl_.text, link.offset);
    const ImportedModule& imported = interfaces_.of(load_for_directive(import.path, span));
    std::vector<std::string_view> names;
    for (const ImportName& name : import.names) names.push_back(name.name);
    bind(import.form, import.alias, names, import.path, imported, span);
  }

  // @export directives are noted, to be resolved once the module's own
  // functions are bound; a re-export's module loads now, in document order.
  void note_export(const ModuleLink& link) {
    const Span span = line_span(*tpl_.text, link.offset);
    Module* target = nullptr;
    if (link.exported->form != ExportForm::ExportName) target = &load_for_directive(link.path, span);
    exports_.push_back(PendingExport{link.exported, span, target});
  }

  void resolve_exports() {
    Exports& exports = module_.exports;
    exports.explicit_list = !exports_.empty();
    std::unordered_set<std::string_view> defined;  // own @define names, for the export list
    for (const Node& node : tpl_.body)
      if (const auto* define = std::get_if<Define>(&node.data)) {
        if (!exports.explicit_list)
          exports.functions.insert_or_assign(std::string(define->name), own_function(define->name));
        else
          defined.insert(define->name);
      }
    if (!exports.explicit_list) {
      exports.prompt = Exports::Prompt::Own;
      return;
    }
    for (const PendingExport& pending : exports_) {
      const Export& e = *pending.directive;
      if (e.form == ExportForm::ExportName) {
        if (e.name == "prompt") {
          exports.prompt = Exports::Prompt::Own;
          continue;
        }
        if (!defined.contains(e.name))
          throw Error::export_error("cannot export '" + std::string(e.name) +
                                        "': not defined in this module",
                                    pending.span, tpl_.text);
        exports.functions.insert_or_assign(std::string(e.name), own_function(e.name));
        continue;
      }
      const ImportedModule& imported = interfaces_.of(*pending.target);
      const bool prompt_exported = pending.target->exports.prompt != Exports::Prompt::None;
      if (e.form == ExportForm::ReExportAll) {
        for (const auto& [name, function] : imported.functions)
          exports.functions.insert_or_assign(name, function);
        if (prompt_exported) reexport_prompt(imported);
      } else if (e.name == "prompt" && prompt_exported) {
        reexport_prompt(imported);
      } else if (const auto found = imported.functions.find(e.name);
                 found != imported.functions.end()) {
        exports.functions.insert_or_assign(found->first, found->second);
      } else {
        throw Error::export_error("cannot re-export '" + std::string(e.name) +
                                      "': not exported from \"" + std::string(e.path) + "\"",
                                  pending.span, tpl_.text);
      }
    }
  }

  // A template that extends another takes its place in the chain.
  void join_chain(const ModuleLink& extends) {
    const Span span = line_span(*tpl_.text, extends.offset);
    const Module& parent = load_for_directive(extends.path, span);
    check_extending_template(tpl_);
    module_.chain = extend_chain(parent, module_);
    module_.parent = &parent;
  }

  // The module's variables: its frontmatter's (under the caller's), then
  // the `prompt` an import bound. A template in a chain takes the chain's
  // merged frontmatter instead: the entry at once, with the caller's
  // variables; any other when it is first imported (ImportedInterfaces),
  // since a template loaded only for others to extend never renders on its
  // own.
  void bind_variables(const ObjectView* caller_variables) {
    if (!module_.parent) {
      for (const auto& [name, value] : module_.frontmatter.variables)
        context_.variables.insert_or_assign(name, value);
    } else if (caller_variables) {
      bind_chain_variables(module_, *caller_variables, true);
    } else {
      module_.chain_variables_pending = true;
    }
    if (prompt_) context_.variables.insert_or_assign("prompt", *prompt_);
  }

  Module& load(std::string_view path) {
    return loader_.import(loader_.resolve(module_.key, path));
  }

  // Loads the module a directive names; the directive's line locates the
  // failures that would otherwise have no place.
  Module& load_for_directive(std::string_view path, Span span) {
    try {
      return load(path);
    } catch (Error& error) {
      const ErrorCode code = error.code();
      if (code == ErrorCode::CircularImport || code == ErrorCode::FileNotFound ||
          code == ErrorCode::ModuleNotFound)
        error.set_span_if_missing(span, tpl_.text);
      throw;
    }
  }

  void bind(ImportForm form, std::string_view alias, const std::vector<std::string_view>& names,
            std::string_view path, const ImportedModule& imported, std::optional<Span> span) {
    switch (form) {
      case ImportForm::Alias:
        if (!context_.modules.emplace(std::string(alias), &imported).second)
          throw Error::name_collision(std::string(alias), span, text_if(span));
        return;
      case ImportForm::Selective:
        for (const std::string_view name : names) {
          if (name == "prompt" && imported.prompt) {
            prompt_ = Value::string(*imported.prompt);
            continue;
          }
          const auto found = imported.functions.find(name);
          if (name == "prompt" || found == imported.functions.end()) {
            Error error = Error::import("'" + std::string(name) + "' is not exported from '" + std::string(path) + "'",
                                        span, text_if(span));
            std::vector<std::string_view> exported;
            for (const auto& [function, definition] : imported.functions) exported.push_back(function);
            if (imported.prompt) exported.push_back("prompt");
            if (std::optional<std::string> note = did_you_mean(name, exported)) error.add_note(std::move(*note));
            throw error;
          }
          bind_function(found->first, found->second, span);
        }
        return;
      case ImportForm::Merge:
        for (const auto& [name, function] : imported.functions) bind_function(name, function, span);
        if (imported.prompt) prompt_ = Value::string(*imported.prompt);
        return;
    }
  }

  void bind_function(const std::string& name, const FunctionDef* function,
                     std::optional<Span> span) {
    if (!context_.functions.emplace(name, function).second)
      throw Error::name_collision(name, span, text_if(span));
  }

  ModuleText text_if(std::optional<Span> span) const { return span ? tpl_.text : nullptr; }

  const FunctionDef* own_function(std::string_view name) const {
    return context_.functions.find(name)->second;
  }

  void reexport_prompt(const ImportedModule& imported) {
    module_.exports.prompt = Exports::Prompt::Other;
    module_.exports.other_prompt = imported.prompt;
    module_.exports.other_prompt_map = imported.prompt_map;
  }

  Loader& loader_;
  ImportedInterfaces& interfaces_;
  Module& module_;
  const Template& tpl_;
  ModuleContext& context_;
  std::vector<PendingExport> exports_;
  std::optional<Value> prompt_;  // the `prompt` variable an import bound
};

}  // namespace

void link_module(Loader& loader, ImportedInterfaces& interfaces, Module& module, const ObjectView* caller_variables) {
  Linker(loader, interfaces, module).link(caller_variables);
}

}  // namespace quarl
