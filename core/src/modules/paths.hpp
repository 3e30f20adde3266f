// Import paths and module keys: the textual rules every import path meets,
// the normalisation of a path into a key of the in-memory module map, and the
// display form of a module path in messages and source maps.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "support/limits.hpp"

namespace quarl {

// An import path starts with ./ or ../ and holds no NUL byte. Throws
// `quarl::import`.
void check_import_syntax(std::string_view path);

// A path is not empty and holds no NUL byte. Throws `quarl::import`.
void validate_path(std::string_view path);

// The module-map key of `path` imported from `importer` (none: the path is
// itself the key). Throws `quarl::import` for a path that leaves the map's
// root or resolves to nothing, `quarl::resource_limit` for too many segments.
std::string resolve_virtual(std::optional<std::string_view> importer, std::string_view path);

// `path` walked from the directory `base` ('/'-separated, "" for the top).
std::string resolve_virtual_from(std::string_view base, std::string_view path);

// How a module path is shown: angle-bracket names as they are, '/' for '\',
// without Windows verbatim prefixes, normalised, and relative to `base` (or
// else `root`) when it lies inside the project root.
std::string display_path(std::string_view path, std::optional<std::string_view> base,
                         std::optional<std::string_view> root);

// Whether `path` lies inside `directory`, comparing whole components.
bool is_within(std::string_view path, std::string_view directory) noexcept;

}  // namespace quarl
