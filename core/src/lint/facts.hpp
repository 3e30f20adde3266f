// What the lint rules that look past one node know of the linted module,
// gathered in one walk: its frontmatter variables, imports, exports and
// functions with where they are written, and the names its body uses.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "lint/report.hpp"
#include "support/limits.hpp"
#include "syntax/frontmatter.hpp"
#include "syntax/template.hpp"

namespace quarl {

struct LintFacts {
  // A name and where it is written (none when it cannot be placed).
  struct Named {
    std::string_view name;
    std::optional<Span> span;
  };
  struct ImportRecord {
    ImportForm form;
    std::string_view path;
    Named alias;               // Alias imports
    std::vector<Named> names;  // Selective imports
    std::optional<Span> span;  // the directive, or the path in the frontmatter list
  };
  struct ExportRecord {
    ExportForm form;
    std::string_view name;  // ExportName and ReExport
    std::string_view path;  // ReExport and ReExportAll
    Span span;
  };

  std::vector<Named> variables;       // the frontmatter's, in the order it defines them
  std::vector<ImportRecord> imports;  // the frontmatter list, then the @import directives
  std::vector<ExportRecord> exports;
  std::vector<Named> functions;  // @define, in document order
  // Names the body uses (function bodies included): as a variable (a name, or
  // a dot path's first name), as a called function, as an import alias.
  std::unordered_set<std::string_view> variables_used;
  std::unordered_set<std::string_view> calls;
  std::unordered_set<std::string_view> aliases_used;
};

// Gathers the facts of `module` with its loaded `frontmatter`. Throws a
// `quarl::resource_limit` Error for a body nested deeper than kMaxFactsDepth.
LintFacts gather_facts(const Template& module, const Frontmatter& frontmatter);

}  // namespace quarl
