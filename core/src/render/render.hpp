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
  Document,  // the compile's output: Markdown, or the messages of a
             // template with @message blocks
  Check,     // the document rendered for its errors and warnings only; no
             // text is kept
};

using Rendered = std::variant<std::string, std::vector<Message>>;

// Checks `module` and renders what `mode` asks for (an empty text for
// Validate and Check; for a Document, its messages, or its Markdown body as
// rendered, before the document is assembled); warnings are appended to
// `warnings`, and what renders as Markdown is recorded by `map` when given.
// The output starts with room for `size_hint` bytes, or the template's size.
// Throws an Error.
Rendered render_module(const Module& module, RenderMode mode, Warnings& warnings, MapBuilder* map = nullptr,
                       std::size_t size_hint = 0);

}  // namespace quarl
