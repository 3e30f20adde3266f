// Rendering a linked module: the check gate (every name and call of what it
// renders), then evaluation. One sequence for the entry of a compile and for
// each imported module whose body its importers take as `prompt`.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "modules/module.hpp"
#include "quarl/result.hpp"
#include "render/source_map.hpp"

namespace quarl {

enum class RenderMode : std::uint8_t {
  Validate,  // the check gate only; nothing renders
  Body,      // the rendered body as text, as an importer takes it
  Document,  // the compile's output: Markdown with the frontmatter passed
             // through, or the messages of a template with @message blocks
  Check,     // the document rendered for its errors and warnings only; no
             // text is kept
};

using Rendered = std::variant<std::string, std::vector<Message>>;

// A source map of what renders (Markdown only: messages record nothing): the
// builder the body records into and, for a Document, the finished map.
struct SourceMapping {
  MapBuilder builder;
  bool sources_content = false;  // embed the module texts in the document
  std::optional<SourceMap> map;
};

// Checks `module` and renders what `mode` asks for (an empty text for
// Validate and Check); warnings are appended to `warnings`. A Document keeps
// the frontmatter block in front of its Markdown unless `keep_frontmatter`
// is false. Throws an Error.
Rendered render_module(const Module& module, RenderMode mode, Warnings& warnings,
                       SourceMapping* mapping = nullptr, bool keep_frontmatter = true);

}  // namespace quarl
