// The entry points: one TemplateInput loaded (the module source for its
// kind, the entry module and everything it reaches), or a template loaded
// before loaded again from its store, then compiled, checked, linted or
// indexed; a compile's document finished (assembled, its map named, its
// warnings and dependencies); a template loaded to keep. The one boundary
// where failures become values.
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <unordered_set>

#include "format/formatter.hpp"
#include "index/index.hpp"
#include "lint/facts.hpp"
#include "lint/report.hpp"
#include "lint/rules.hpp"
#include "modules/loader.hpp"
#include "modules/module_store.hpp"
#include "modules/paths.hpp"
#include "modules/sources.hpp"
#include "quarl/compile.hpp"
#include "quarl/index.hpp"
#include "quarl/lint.hpp"
#include "quarl/loaded_template.hpp"
#include "render/assembly.hpp"
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

std::optional<Error> module_count_problem(std::size_t count) {
  if (count <= kMaxModules) return std::nullopt;
  return Error::resource_limit("modules exceeds maximum module count of " + std::to_string(kMaxModules) + " (" +
                               std::to_string(count) + " provided)");
}

std::optional<Error> ModuleMapBudget::add(std::string_view key, std::size_t size) {
  if (size > kMaxSourceBytes)
    return Error::resource_limit("modules[" + debug_quoted(key) + "] exceeds maximum size of " +
                                 std::to_string(kMaxSourceBytes) + " bytes (" + std::to_string(size) +
                                 " bytes provided)");
  total_ += size;
  if (total_ > kMaxSourceBytes)
    return Error::resource_limit("modules aggregate size exceeds maximum of " + std::to_string(kMaxSourceBytes) +
                                 " bytes");
  return std::nullopt;
}

namespace {

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

// The entry module's source, the loader that loaded it with everything it
// imports, what the imported modules offer, and the module itself; for a
// compile with a source map, the modules the map points into, added as they
// load.
struct Entry {
  std::unique_ptr<MapSources> map_sources;
  std::unique_ptr<ModuleSource> source;
  std::unique_ptr<ImportedInterfaces> interfaces;
  std::unique_ptr<Loader> loader;
  const Module* module = nullptr;
  bool from_string = false;  // the entry is a string, not a module of the source
  const LoadedTemplate* loaded = nullptr;  // what the entry was loaded from, if loaded once

  // `stored`: the modules of a loaded template; `store`: where a template
  // being loaded keeps them.
  void start(std::unique_ptr<ModuleSource> modules, const CompileOptions& options,
             const ModuleStore* stored = nullptr, ModuleStore* store = nullptr) {
    if (options.source_map) map_sources = std::make_unique<MapSources>();
    source = std::move(modules);
    interfaces = std::make_unique<ImportedInterfaces>(map_sources.get());
    loader = std::make_unique<Loader>(*source, *interfaces, map_sources.get(), stored, store);
  }

  // Names the module `error` points into: a file by its path relative to the
  // project root, a module of a map by its key; the string entry stays
  // unnamed.
  void name_source(Error& error) const {
    if (!loader || !error.module_text() || error.source_name()) return;
    const Module* in = loader->module_with_text(error.module_text().get());
    if (!in || (from_string && in->key == kSourceEntryKey)) return;
    error.set_source_name(source->keys_are_paths() ? display_path(in->key, std::nullopt, source->project_root())
                                                   : in->key);
  }
};

void load_source(Entry& entry, std::string source, const CompileOptions& options, ModuleStore* store) {
  check_module_text(source, kSourceEntryKey);
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
  entry.from_string = true;
  entry.start(std::move(files), options, nullptr, store);
  entry.module = &entry.loader->load_text(std::string(kSourceEntryKey),
                                          std::make_shared<const std::string>(std::move(source)),
                                          options.vars.entries(), std::move(base));
}

// Loads the entry of `input` (moved from) with everything it reaches, the
// modules kept in `store` when one is given.
void load(Entry& entry, TemplateInput& input, const CompileOptions& options, ModuleStore* store = nullptr) {
  switch (input.kind) {
    case TemplateInput::Kind::Source:
      return load_source(entry, std::move(input.text), options, store);
    case TemplateInput::Kind::File: {
      auto files = std::make_unique<FilesystemSource>();
      const std::string key = files->resolve(std::nullopt, input.text);
      entry.start(std::move(files), options, nullptr, store);
      entry.module = &entry.loader->load_entry(key, options.vars.entries());
      return;
    }
    case TemplateInput::Kind::Map:
      entry.start(std::make_unique<VirtualSource>(std::move(input.modules)), options, nullptr, store);
      entry.module = &entry.loader->load_entry(input.text, options.vars.entries());
      return;
  }
}

// Loads a template loaded before again, for one call: its modules come from
// its store, parsed, and only the caller's variables are new.
void load(Entry& entry, const LoadedTemplate& loaded, const CompileOptions& options) {
  const bool from_string = loaded.kind() == TemplateInput::Kind::Source;
  entry.start(std::make_unique<StoredSource>(loaded.store(), loaded.kind() != TemplateInput::Kind::Map,
                                             loaded.project_root()),
              options, &loaded.store());
  entry.from_string = from_string;
  entry.loaded = &loaded;
  entry.module = from_string ? &entry.loader->load_text(loaded.entry(), nullptr, options.vars.entries(), {})
                             : &entry.loader->load_entry(loaded.entry(), options.vars.entries());
}

// Loads a snapshot's modules from their texts, each kept in `store`: no
// file is read; the imports resolve as the snapshot says.
void load(Entry& entry, const TemplateSnapshot& snapshot, const ModuleStore& texts, ModuleStore& store) {
  const bool from_string = snapshot.kind == TemplateInput::Kind::Source;
  entry.start(std::make_unique<StoredSource>(texts, snapshot.kind != TemplateInput::Kind::Map, snapshot.project_root),
              CompileOptions(), nullptr, &store);
  entry.from_string = from_string;
  if (!from_string) {
    entry.module = &entry.loader->load_entry(snapshot.entry, {});
    return;
  }
  // A string entry is no module of a source: its text is handed over.
  std::string source = entry.source->read(kSourceEntryKey);
  entry.module = &entry.loader->load_text(std::string(kSourceEntryKey),
                                          std::make_shared<const std::string>(std::move(source)), {}, {});
}

// Runs `load_into` on a new Entry, then `work` on it; an error leaves naming
// the module it points into, which only the entry's loader knows.
template <class Load, class Work>
auto on_entry(Load&& load_into, Work&& work) {
  Entry entry;
  try {
    load_into(entry);
    return work(entry);
  } catch (Error& error) {
    entry.name_source(error);
    throw;
  }
}

// Loads what `template_input` names (a TemplateInput or a LoadedTemplate)
// and runs `work` on its entry.
template <class Input, class Work>
auto with_entry(Input& template_input, const CompileOptions& options, Work&& work) {
  return on_entry([&](Entry& entry) { load(entry, template_input, options); }, std::forward<Work>(work));
}

// How a module is named in a map read in a project: relative to its root.
// The entry of a string compile, and names in angle brackets, stay.
std::string shown_source_name(const std::string& name, const std::optional<std::string>& root) {
  if (!root || name == kSourceEntryFile || (name.starts_with('<') && name.ends_with('>'))) return name;
  return display_path(name, std::nullopt, root);
}

// Checks and renders the entry and finishes its document: Markdown
// assembled (the frontmatter passed through unless the options drop it) with
// its source map when the options ask for one, or the messages; the warnings
// of the whole call, imported modules' first; the dependencies.
CompileResult render(const Entry& entry, const CompileOptions& options) {
  CompileResult result;
  result.warnings = std::move(entry.interfaces->warnings());
  std::optional<MapBuilder> builder;
  if (entry.map_sources) builder.emplace(*entry.map_sources);
  Rendered rendered = render_module(*entry.module, RenderMode::Document, result.warnings,
                                    builder ? &*builder : nullptr, entry.loaded ? entry.loaded->output_size_hint() : 0);
  result.dependencies = entry.loader->dependencies();
  if (auto* messages = std::get_if<std::vector<Message>>(&rendered)) {
    result.output = std::move(*messages);
    if (builder)
      result.warnings.push_back(
          "source maps are not supported for messages-mode templates (@message blocks); no source map will be "
          "generated");
    return result;
  }
  std::string& body = std::get<std::string>(rendered);
  if (entry.loaded) entry.loaded->note_output_size(body.size());
  const std::optional<std::string_view> frontmatter =
      options.keep_frontmatter ? entry.module->passed_frontmatter() : std::nullopt;
  if (!builder) {
    result.output = assemble_markdown(std::move(body), frontmatter);
    return result;
  }
  FinalOutput final_output{carriage_returns(body), {}, 0};
  std::string text = assemble_markdown(std::move(body), frontmatter, &final_output.prefix);
  final_output.text = text;
  result.source_map = builder->finish(final_output, result.warnings, options.sources_content);
  result.output = std::move(text);
  if (result.source_map && entry.source->keys_are_paths())
    if (const std::optional<std::string> root = entry.source->project_root())
      for (std::string& name : result.source_map->sources) name = shown_source_name(name, root);
  return result;
}

CheckResult check_entry(const Entry& entry) {
  CheckResult result{std::move(entry.interfaces->warnings())};
  render_module(*entry.module, RenderMode::Check, result.warnings);
  return result;
}

// The check gate, then the rules in their order, each at its effective
// severity; the canonical lint value of the entry reported as `file`.
Value lint_entry(const Entry& entry, std::string file, const RuleConfig& rules) {
  check_entry(entry);  // fails as compile would; its warnings are not lint's
  const Module& module = *entry.module;
  const LintFacts facts = gather_facts(*module.source, module.frontmatter);
  DiagnosticCollector out(std::move(file));
  run_lint_rules(*module.source, facts, rules, out);
  Value canonical = lint_canonical(out, *module.text);
  const std::optional<std::string> warning = unknown_rules_warning(rules);
  if (!warning) return canonical;
  std::vector<Member> members(canonical.as_object().begin(), canonical.as_object().end());
  members.push_back({"lint_warnings", Value::array({Value::string(*warning)})});
  return Value::object(std::span<const Member>(members));
}

// The name lint findings give the entry: the file as given, the entry's
// key, or the string entry's file name.
std::string lint_name(const TemplateInput& input) {
  return input.kind == TemplateInput::Kind::Source ? std::string(kSourceEntryFile) : input.text;
}

template <class Input>
Outcome<CompileResult> compile_input(Input& input, const CompileOptions& options) {
  return at_boundary([&] {
    return with_entry(input, options, [&](const Entry& entry) { return render(entry, options); });
  });
}

template <class Input>
Outcome<CheckResult> check_input(Input& input, const CompileOptions& options) {
  return at_boundary([&] { return with_entry(input, options, check_entry); });
}

template <class Input>
Outcome<Value> lint_input(Input& input, std::string file, const CompileOptions& options, const RuleConfig& rules) {
  return at_boundary([&] {
    return with_entry(input, options, [&](const Entry& entry) { return lint_entry(entry, std::move(file), rules); });
  });
}

template <class Input>
Outcome<std::string> index_input(Input& input, const CompileOptions& options) {
  return at_boundary([&] {
    Entry entry;
    std::vector<Error> failures;
    try {
      load(entry, input, options);
    } catch (Error& error) {
      entry.name_source(error);
      // An entry that cannot be read, or whose own text does not parse,
      // has nothing to index.
      if (!entry.loader || entry.loader->modules().empty()) throw;
      const Module& first = entry.loader->modules().front();
      if (error.code() == ErrorCode::Syntax && error.module_text() == first.text) throw;
      failures.push_back(std::move(error));
    }
    // A module whose text did not parse is indexed as one without content.
    for (Module& loaded : entry.loader->modules())
      if (!loaded.source) loaded.source = std::make_shared<const Template>(Template{loaded.text, {}, {}, {}, {}});
    Module& module = entry.loader->modules().front();
    // Loading stopped before the entry's own functions were bound.
    if (!failures.empty() && module.context.defined.empty()) define_functions(module.context, *module.source);
    return build_index(*entry.loader, module, std::move(failures), options.vars.entries());
  });
}

// A template loaded into `store`, with its entry's key, the keys of its
// imports, and the project root its file keys are shown relative to.
LoadedTemplatePtr loaded_template(TemplateInput::Kind kind, std::string name, std::unique_ptr<ModuleStore> store,
                                  const Entry& entry) {
  return std::make_shared<const LoadedTemplate>(kind, std::move(name), entry.module->key, std::move(store),
                                                entry.loader->dependencies(), entry.source->project_root());
}

}  // namespace

Outcome<CompileResult> compile(TemplateInput input, const CompileOptions& options) {
  return compile_input(input, options);
}
Outcome<CheckResult> check(TemplateInput input, const CompileOptions& options) { return check_input(input, options); }
Outcome<Value> lint(TemplateInput input, const CompileOptions& options, const RuleConfig& rules) {
  std::string file = lint_name(input);
  return lint_input(input, std::move(file), options, rules);
}
Outcome<std::string> index(TemplateInput input, const CompileOptions& options) { return index_input(input, options); }

Outcome<CompileResult> compile(const LoadedTemplate& loaded, const CompileOptions& options) {
  return compile_input(loaded, options);
}
Outcome<CheckResult> check(const LoadedTemplate& loaded, const CompileOptions& options) {
  return check_input(loaded, options);
}
Outcome<Value> lint(const LoadedTemplate& loaded, const CompileOptions& options, const RuleConfig& rules) {
  return lint_input(loaded, loaded.name(), options, rules);
}
Outcome<std::string> index(const LoadedTemplate& loaded, const CompileOptions& options) {
  return index_input(loaded, options);
}

Outcome<LoadedTemplatePtr> load_template(TemplateInput input, std::optional<std::string> base_path) {
  return at_boundary([&] {
    CompileOptions options;
    options.base_path = std::move(base_path);
    auto store = std::make_unique<ModuleStore>();
    const TemplateInput::Kind kind = input.kind;
    std::string name = lint_name(input);
    return on_entry([&](Entry& entry) { load(entry, input, options, store.get()); },
                    [&](const Entry& entry) { return loaded_template(kind, std::move(name), std::move(store), entry); });
  });
}

Outcome<LoadedTemplatePtr> load_template(const TemplateSnapshot& snapshot) {
  return at_boundary([&] {
    ModuleStore texts;
    for (const auto& [key, text] : snapshot.modules)
      texts.store(key, StoredModule{std::make_shared<const std::string>(text), nullptr, {}, false});
    for (const ImportResolution& resolution : snapshot.resolutions)
      texts.resolve(resolution.importer, resolution.path, resolution.key);
    auto store = std::make_unique<ModuleStore>();
    return on_entry([&](Entry& entry) { load(entry, snapshot, texts, *store); },
                    [&](const Entry& entry) {
                      return loaded_template(snapshot.kind, snapshot.name, std::move(store), entry);
                    });
  });
}

Outcome<CompileResult> compile_source(std::string source, const CompileOptions& options) {
  return compile(TemplateInput::source(std::move(source)), options);
}
Outcome<CompileResult> compile_file(std::string_view path, const CompileOptions& options) {
  return compile(TemplateInput::file(std::string(path)), options);
}
Outcome<CompileResult> compile_virtual(ModuleMap modules, std::string_view entry, const CompileOptions& options) {
  return compile(TemplateInput::map(std::move(modules), std::string(entry)), options);
}
Outcome<CheckResult> check_source(std::string source, const CompileOptions& options) {
  return check(TemplateInput::source(std::move(source)), options);
}
Outcome<CheckResult> check_file(std::string_view path, const CompileOptions& options) {
  return check(TemplateInput::file(std::string(path)), options);
}
Outcome<CheckResult> check_virtual(ModuleMap modules, std::string_view entry, const CompileOptions& options) {
  return check(TemplateInput::map(std::move(modules), std::string(entry)), options);
}
Outcome<Value> lint_source(std::string source, const CompileOptions& options, const RuleConfig& rules) {
  return lint(TemplateInput::source(std::move(source)), options, rules);
}
Outcome<Value> lint_file(std::string_view path, const CompileOptions& options, const RuleConfig& rules) {
  return lint(TemplateInput::file(std::string(path)), options, rules);
}
Outcome<Value> lint_virtual(ModuleMap modules, std::string_view entry, const CompileOptions& options,
                            const RuleConfig& rules) {
  return lint(TemplateInput::map(std::move(modules), std::string(entry)), options, rules);
}

Outcome<std::string> format_source(std::string source) {
  return at_boundary([&] {
    check_module_text(source, kSourceEntryKey);
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
