// The entry points: set up the module source for the kind of input, load the
// entry module, check it, render it (Markdown or messages), assemble the
// output. The one boundary where failures become values.
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <unordered_set>

#include "format/formatter.hpp"
#include "lint/facts.hpp"
#include "lint/report.hpp"
#include "lint/rules.hpp"
#include "modules/loader.hpp"
#include "modules/paths.hpp"
#include "modules/sources.hpp"
#include "quarl/compile.hpp"
#include "quarl/lint.hpp"
#include "render/interfaces.hpp"
#include "render/render.hpp"
#include "render/source_map.hpp"
#include "support/limits.hpp"
#include "syntax/lexer.hpp"
#include "syntax/links.hpp"
#include "syntax/parser.hpp"

namespace quarl {
CallerVariables::CallerVariables(Value object) : object_(std::move(object)) {
  if (object_.kind() != ValueKind::Object)
    throw std::invalid_argument("caller variables must be an object, got " + std::string(type_name(object_)));
}

namespace {

constexpr std::string_view kSourceName = "<source>";

// Runs `work`; every exception becomes the call's failure.
template <class Work>
auto at_boundary(Work&& work) -> Outcome<decltype(work())> {
  try {
    return work();
  } catch (const Error& error) {
    return std::unexpected(Failure(error));
  } catch (const std::bad_alloc&) {
    return std::unexpected(Failure(InternalFault{true, "out of memory"}));
  } catch (const std::exception& fault) {
    return std::unexpected(Failure(InternalFault{false, fault.what()}));
  } catch (...) {
    return std::unexpected(Failure(InternalFault{false, "unknown exception"}));
  }
}

// A source given as a string: within the size limit, and UTF-8.
void require_valid_source(std::string_view source) {
  if (source.size() > kMaxSourceBytes)
    throw Error::resource_limit(file_too_large(source.size(), kMaxSourceBytes, kSourceName));
  check_utf8(source, kSourceName);
}

// The entry module's source, the loader that loaded it with everything it
// imports, what the imported modules offer, and the module itself; for a
// compile with a source map, the modules the map points into, added as they
// load.
struct Entry {
  std::unique_ptr<MapSources> map_sources;
  std::unique_ptr<ModuleSource> source;
  const FilesystemSource* files = nullptr;  // the source, when it reads files
  std::unique_ptr<ImportedInterfaces> interfaces;
  std::unique_ptr<Loader> loader;
  const Module* module = nullptr;
  bool from_string = false;  // the entry is a string, not a module of the source

  void start(std::unique_ptr<ModuleSource> modules, const CompileOptions& options) {
    if (options.source_map) map_sources = std::make_unique<MapSources>();
    source = std::move(modules);
    interfaces = std::make_unique<ImportedInterfaces>(map_sources.get());
    loader = std::make_unique<Loader>(*source, *interfaces, map_sources.get());
  }

  // Names the module `error` points into: a file by its path relative to the
  // project root, a module of a map by its key; the string entry stays
  // unnamed.
  void name_source(Error& error) const {
    if (!loader || !error.module_text() || error.source_name()) return;
    const Module* in = loader->module_with_text(error.module_text().get());
    if (!in || (from_string && in->key == kSourceName)) return;
    error.set_source_name(files ? display_path(in->key, std::nullopt, files->project_root()) : in->key);
  }
};

// Sets up an entry with `load` and runs `work` on it; an error leaves naming
// the module it points into, which only the entry's loader knows.
template <class Load, class Work>
auto with_entry(Load&& load, Work&& work) {
  Entry entry;
  try {
    load(entry);
    return work(entry);
  } catch (Error& error) {
    entry.name_source(error);
    throw;
  }
}

void load_source_entry(Entry& entry, std::string source, const CompileOptions& options) {
  require_valid_source(source);
  // A base directory given is checked now; the current directory (an empty
  // base) is read only if an import needs it. Both are canonical (the
  // system's current directory has no symbolic links in it), so checking
  // the final name for a link and canonicalising again could not change or
  // fail.
  auto files = std::make_unique<FilesystemSource>();
  std::string base;
  if (options.base_path && !options.base_path->empty()) {
    base = canonical_directory(*options.base_path);
    files->set_base_directory(base);
  }
  entry.files = files.get();
  entry.from_string = true;
  entry.start(std::move(files), options);
  entry.module = &entry.loader->load_text(std::string(kSourceName),
                                           std::make_shared<const std::string>(std::move(source)),
                                           options.vars.entries(), std::move(base));
}

void load_file_entry(Entry& entry, std::string_view path, const CompileOptions& options) {
  auto files = std::make_unique<FilesystemSource>();
  const std::string key = files->resolve(std::nullopt, path);
  entry.files = files.get();
  entry.start(std::move(files), options);
  entry.module = &entry.loader->load_entry(key, options.vars.entries());
}

void load_virtual_entry(Entry& entry, ModuleMap modules, std::string_view key, const CompileOptions& options) {
  entry.start(std::make_unique<VirtualSource>(std::move(modules)), options);
  entry.module = &entry.loader->load_entry(std::string(key), options.vars.entries());
}

// How a module is named in a map read in a project: relative to its root.
// The entry of a string compile, and names in angle brackets, stay.
std::string shown_source_name(const std::string& name, const std::optional<std::string>& root) {
  if (!root || name == "input.quarl" || (name.starts_with('<') && name.ends_with('>'))) return name;
  return display_path(name, std::nullopt, root);
}

// Checks and renders the entry, with its source map when the options ask
// for one (compile only).
CompileResult render(const Entry& entry, const CompileOptions& options) {
  CompileResult result;
  result.warnings = std::move(entry.interfaces->warnings());
  std::optional<SourceMapping> mapping;
  if (entry.map_sources) mapping.emplace(MapBuilder(*entry.map_sources), options.sources_content);
  result.output = render_module(*entry.module, RenderMode::Document, result.warnings, mapping ? &*mapping : nullptr,
                                options.keep_frontmatter);
  if (mapping && result.kind() == OutputKind::Messages)
    result.warnings.push_back(
        "source maps are not supported for messages-mode templates (@message blocks); no source map will be "
        "generated");
  if (mapping && mapping->map) {
    result.source_map = std::move(mapping->map);
    if (entry.files)
      if (const std::optional<std::string> root = entry.files->project_root())
        for (std::string& name : result.source_map->sources) name = shown_source_name(name, root);
  }
  result.dependencies = entry.loader->dependencies();
  return result;
}

CheckResult check(const Entry& entry) {
  CheckResult result{std::move(entry.interfaces->warnings())};
  render_module(*entry.module, RenderMode::Check, result.warnings);
  return result;
}

// The check gate, then the rules in their order, each at its effective
// severity; the canonical lint value of the entry reported as `file`.
Value lint(const Entry& entry, std::string file, const RuleConfig& rules) {
  check(entry);  // fails as compile would; its warnings are not lint's
  const Module& module = *entry.module;
  const LintFacts facts = gather_facts(module.source, module.frontmatter);
  DiagnosticCollector out(std::move(file));
  run_lint_rules(module.source, facts, rules, out);
  Value canonical = lint_canonical(out, *module.source.text);
  const std::optional<std::string> warning = unknown_rules_warning(rules);
  if (!warning) return canonical;
  std::vector<Member> members(canonical.as_object().begin(), canonical.as_object().end());
  members.push_back({"lint_warnings", Value::array({Value::string(*warning)})});
  return Value::object(std::span<const Member>(members));
}

// The loaders of the three kinds of entry, for with_entry.
auto from_source(std::string& source, const CompileOptions& options) {
  return [&](Entry& entry) { load_source_entry(entry, std::move(source), options); };
}
auto from_file(std::string_view path, const CompileOptions& options) {
  return [&, path](Entry& entry) { load_file_entry(entry, path, options); };
}
auto from_map(ModuleMap& modules, std::string_view key, const CompileOptions& options) {
  return [&, key](Entry& entry) { load_virtual_entry(entry, std::move(modules), key, options); };
}

}  // namespace

Outcome<CompileResult> compile_source(std::string source, const CompileOptions& options) {
  return at_boundary([&] {
    return with_entry(from_source(source, options), [&](const Entry& entry) { return render(entry, options); });
  });
}

Outcome<CompileResult> compile_file(std::string_view path, const CompileOptions& options) {
  return at_boundary([&] {
    return with_entry(from_file(path, options), [&](const Entry& entry) { return render(entry, options); });
  });
}

Outcome<CompileResult> compile_virtual(ModuleMap modules, std::string_view entry,
                                       const CompileOptions& options) {
  return at_boundary([&] {
    return with_entry(from_map(modules, entry, options), [&](const Entry& e) { return render(e, options); });
  });
}

Outcome<CheckResult> check_source(std::string source, const CompileOptions& options) {
  return at_boundary([&] { return with_entry(from_source(source, options), check); });
}

Outcome<CheckResult> check_file(std::string_view path, const CompileOptions& options) {
  return at_boundary([&] { return with_entry(from_file(path, options), check); });
}

Outcome<CheckResult> check_virtual(ModuleMap modules, std::string_view entry,
                                   const CompileOptions& options) {
  return at_boundary([&] { return with_entry(from_map(modules, entry, options), check); });
}

Outcome<std::string> format_source(std::string source) {
  return at_boundary([&] {
    require_valid_source(source);
    return format_template(source);
  });
}

Outcome<std::vector<std::string>> scan_imports(std::string source) {
  return at_boundary([&] {
    const Template tpl =
        parse_template(lex(std::make_shared<const std::string>(std::move(source))));
    // A frontmatter or an import list that does not load adds nothing.
    std::vector<FrontmatterImport> imports;
    if (tpl.frontmatter) {
      try {
        const YamlPtr document = load_yaml(*tpl.frontmatter);
        if (document && document->kind == YamlNode::Kind::Mapping)
          for (const auto& [key, value] : document->entries)
            if (key->kind == YamlNode::Kind::String && key->text == "imports")
              for (FrontmatterImport& entry : parse_import_list(*value)) imports.push_back(std::move(entry));
      } catch (const Error&) {
      }
    }
    std::vector<std::string> paths;
    std::unordered_set<std::string_view> seen;
    for (const ModuleLink& link : module_links(tpl, imports)) {
      const bool names_path = link.kind != ModuleLink::Kind::Export || link.exported->form != ExportForm::ExportName;
      if (names_path && seen.insert(link.path).second) paths.emplace_back(link.path);
    }
    return paths;
  });
}

}  // namespace quarl

namespace quarl {

Outcome<Value> lint_source(std::string source, const CompileOptions& options, const RuleConfig& rules) {
  return at_boundary([&] {
    return with_entry(from_source(source, options), [&](const Entry& e) { return lint(e, "input.quarl", rules); });
  });
}

Outcome<Value> lint_file(std::string_view path, const CompileOptions& options, const RuleConfig& rules) {
  return at_boundary([&] {
    return with_entry(from_file(path, options), [&](const Entry& e) { return lint(e, std::string(path), rules); });
  });
}

Outcome<Value> lint_virtual(ModuleMap modules, std::string_view entry, const CompileOptions& options,
                            const RuleConfig& rules) {
  return at_boundary([&] {
    return with_entry(from_map(modules, entry, options),
                      [&](const Entry& e) { return lint(e, std::string(entry), rules); });
  });
}

}  // namespace quarl
