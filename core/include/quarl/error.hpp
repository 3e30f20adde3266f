// The one error type of the compiler core.
//
// Every failure is a `quarl::Error`: one of 26 kinds (`ErrorCode`, in a fixed
// order that bindings switch on), the kind's payload, and for the spanned kinds
// an optional byte span plus a shared reference to the text of the module the
// span points into. Line and column are never stored: they are computed from
// the module text when the error is presented.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quarl {

// The full text of one module, shared by the module record, its tokens and
// every error whose span points into it.
using ModuleText = std::shared_ptr<const std::string>;

enum class ErrorCode : std::uint8_t {
  Syntax,
  UndefinedVar,
  UndefinedFn,
  Arity,
  Builtin,
  TypeError,
  TypeMismatch,
  CircularImport,
  FileNotFound,
  Import,
  NameCollision,
  NotQuarl,
  Io,
  ResourceLimit,
  Yaml,
  Json,
  InvalidVars,
  VarConflict,
  ModuleNotFound,
  Recursion,
  Export,
  Extends,
  MixedContent,
  ExpectedMarkdown,
  ExpectedMessages,
  FormatterInvariant,
};

inline constexpr std::size_t kErrorCodeCount = 26;

// "quarl::syntax", "quarl::undefined_var", ...
std::string_view code_string(ErrorCode code) noexcept;

// Whether errors of this kind may carry a span.
bool is_spanned(ErrorCode code) noexcept;

// Byte range into a module's full text (frontmatter included).
struct Span {
  std::size_t offset = 0;
  std::size_t length = 0;

  friend bool operator==(const Span&, const Span&) = default;
};

// 1-based line, and 1-based column counted in Unicode scalar values.
struct LineColumn {
  std::size_t line = 1;
  std::size_t column = 1;

  friend bool operator==(const LineColumn&, const LineColumn&) = default;
};

// Line and column of `offset` in `text`; none when the offset lies past the end
// of the text or inside a multi-byte character. Only a line feed ends a line; a
// carriage return counts as an ordinary character.
std::optional<LineColumn> locate(std::string_view text, std::size_t offset) noexcept;

// `text` in double quotes with backslash escapes: \" \\ \n \r \t \0, and
// \u{..} (hexadecimal) for other control characters; how messages show a key
// a caller gave.
std::string debug_quoted(std::string_view text);

// The argument counts a function accepts, inclusive.
struct ArityRange {
  std::size_t min = 0;
  std::size_t max = 0;
};

class Error {
 public:
  using OptSpan = std::optional<Span>;

  // One factory per kind, in the fixed order. Spanned kinds take an optional
  // span and the text of the module the span points into.
  static Error syntax(std::string message, OptSpan span = {}, ModuleText text = {});
  static Error undefined_var(std::string name, OptSpan span = {}, ModuleText text = {});
  static Error undefined_fn(std::string name, OptSpan span = {}, ModuleText text = {});
  // `signature` is the called user function's own ("greet(name, greeting =
  // \"Hello\")"); builtins have none. It is kept for presentation, not part of
  // the message, and noted ("defined as greet(...)").
  static Error arity(std::string name, ArityRange expected, std::size_t got, OptSpan span = {},
                     ModuleText text = {}, std::string signature = {});
  static Error builtin(std::string message, OptSpan span = {}, ModuleText text = {});
  static Error type_error(std::string type_name, OptSpan span = {}, ModuleText text = {});
  // A type error that is not about a @for loop: "type error: {message}",
  // without the loop's help text.
  static Error type_error_message(std::string message, OptSpan span = {}, ModuleText text = {});
  static Error type_mismatch(std::string left, std::string right, OptSpan span = {},
                             ModuleText text = {});
  static Error circular_import(std::string chain, OptSpan span = {}, ModuleText text = {});
  static Error file_not_found(std::string path, OptSpan span = {}, ModuleText text = {});
  static Error import(std::string message, OptSpan span = {}, ModuleText text = {});
  static Error name_collision(std::string name, OptSpan span = {}, ModuleText text = {});
  static Error not_quarl(std::string key);
  static Error io(std::string message);
  static Error resource_limit(std::string message);
  static Error yaml(std::string message);
  static Error json(std::string message);
  static Error module_not_found(std::string key, OptSpan span = {}, ModuleText text = {});
  static Error recursion(std::string name, OptSpan span = {}, ModuleText text = {});
  static Error export_error(std::string message, OptSpan span = {}, ModuleText text = {});
  static Error extends(std::string message, OptSpan span = {}, ModuleText text = {});
  static Error mixed_content(OptSpan span = {}, ModuleText text = {});
  static Error formatter_invariant(std::string message);


  ErrorCode code() const noexcept { return code_; }
  std::string_view code_string() const noexcept { return quarl::code_string(code_); }

  // The full text of the error (its Display form).
  std::string message() const;
  // The kind's fixed help text with the payload filled in, or none.
  std::optional<std::string> help() const;

  // The text the kind's message is built around (a name, a path, a key, a
  // cycle's chain, free text); empty for the kinds with structured payloads.
  std::string_view payload_text() const noexcept;

  // The user function signature an arity error carries, when it has one.
  std::string_view signature() const noexcept;

  const std::optional<Span>& span() const noexcept { return span_; }
  const ModuleText& module_text() const noexcept { return text_; }
  // Line and column of the span's start; none without a span, without a module
  // text, or when the offset is not on a character of that text.
  std::optional<LineColumn> line_column() const noexcept;

  // The name of the module the span points into (or, without a span, the
  // module the error belongs to: one whose frontmatter failed), as a compile
  // shows it (a module key, or a file's path relative to the project root);
  // none for the entry of a string compile and for an error of no module.
  // The entry points set it as the error leaves the call, where module names
  // are known.
  const std::optional<std::string>& source_name() const noexcept { return source_name_; }
  void set_source_name(std::string name) { source_name_ = std::move(name); }

  // Places an error raised without a location (an expression parser does not
  // know where its text lies) at `span` in `text`. Kinds without spans, and
  // errors that already have one, are left as they are.
  void set_span_if_missing(Span span, ModuleText text) noexcept;
  // What helps beyond the kind's fixed help: a near miss ("did you mean
  // 'audience'?"), the signature of the function a call did not fit, where
  // a block left open began. In the order added.
  const std::vector<std::string>& notes() const noexcept { return notes_; }
  void add_note(std::string note) { notes_.push_back(std::move(note)); }

  // Names the module an error without a place in it belongs to (a
  // frontmatter that does not load, an import list entry that fails), unless
  // an inner module was named already. The error keeps no span.
  void set_module_if_missing(ModuleText text) noexcept;

 private:
  struct Arity {
    std::string name;
    ArityRange expected;
    std::size_t got;
    std::string signature;
  };
  struct TypePair {
    std::string left;
    std::string right;
  };
  // A type error's own message, replacing the @for wording.
  struct TypeMessage {
    std::string message;
  };
  // Most kinds carry one string (a name, a path, a key or free text); some
  // carry structured payloads; the rest carry nothing.
  using Payload = std::variant<std::monostate, std::string, Arity, TypePair, TypeMessage>;

  Error(ErrorCode code, Payload payload, OptSpan span = {}, ModuleText text = {});

  ErrorCode code_;
  Payload payload_;
  std::optional<Span> span_;
  ModuleText text_;
  std::optional<std::string> source_name_;
  std::vector<std::string> notes_;
};

}  // namespace quarl
