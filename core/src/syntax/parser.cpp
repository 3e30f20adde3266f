#include "syntax/parser.hpp"

#include <cctype>
#include <cmath>
#include <string>
#include <utility>

#include "quarl/stack_guard.hpp"
#include "support/limits.hpp"
#include "support/placing.hpp"
#include "support/suggest.hpp"
#include "support/text_scan.hpp"
#include "support/utf8.hpp"
#include "syntax/locals.hpp"
#include "values/number.hpp"

namespace quarl {
namespace {

using utf8::trim;

constexpr std::string_view kDirectiveKeywords[] = {"@if",     "@elseif",  "@else",   "@end",
                                                    "@for",    "@define",  "@import", "@export",
                                                    "@include", "@message", "@block",  "@extends"};

constexpr std::string_view kValidDirectives =
    "Valid directives: @if, @elseif, @else:, @end, @for, @define, @import, @export, @include, "
    "@message, @block, @extends";

// A directive line's text without surrounding white space.
std::string_view directive_text(const Token& token) noexcept { return trim(token.text); }

bool is_directive(const Token& token, std::string_view text) noexcept {
  return token.kind == TokenKind::Directive && directive_text(token) == text;
}

// Whether `text` is `keyword` alone or followed by one of `followers`.
bool is_keyword(std::string_view text, std::string_view keyword,
                std::string_view followers) noexcept {
  return text == keyword ||
         (text.starts_with(keyword) && followers.find(text[keyword.size()]) != std::string_view::npos);
}

// Where a node list ends: at the end of the tokens only (the top level), at
// `@end` (block bodies), or at `@end`, `@else:` or `@elseif ...` (the
// branches of an @if).
enum class Until { Tokens, End, BranchEnd };

bool ends_list(std::string_view text, Until until) noexcept {
  switch (until) {
    case Until::Tokens:
      return false;
    case Until::End:
      return text == "@end";
    case Until::BranchEnd:
      return text == "@end" || text == "@else:" || text.starts_with("@elseif ");
  }
  return false;
}

// `"path"` at the start of `text`: the path and what follows its closing quote.
std::pair<std::string_view, std::string_view> read_quoted_path(std::string_view text) {
  text = trim(text);
  if (!text.starts_with('"')) throw Error::syntax("expected quoted path, got: " + std::string(text));
  const std::size_t close = text.find('"', 1);
  if (close == std::string_view::npos) throw Error::syntax("unclosed quote in path");
  return {text.substr(1, close - 1), text.substr(close + 1)};
}

class Parser {
 public:
  Parser(const TokenList& tokens, Template& out)
      : tokens_(tokens.tokens), text_(tokens.text), source_(*tokens.text), out_(out) {}

  void run() {
    read_frontmatter();
    read_extends();
    out_.body = parse_nodes(Until::Tokens);
  }

 private:
  // ---- errors ------------------------------------------------------------

  // The directive line at `offset`, up to its line feed or the end of the text.
  Span line_span(std::size_t offset) const noexcept { return quarl::line_span(source_, offset); }

  [[noreturn]] void fail_on_line(const Token& token, std::string message) const {
    throw Error::syntax(std::move(message), line_span(token.offset), text_);
  }

  // As fail_on_line, noting where the innermost open block of `keyword` (of
  // any keyword when empty) began: a forgotten @end shows up only later, as
  // a directive in the wrong place.
  [[noreturn]] void fail_in_block(const Token& token, std::string message, std::string_view keyword = {}) const {
    Error error = Error::syntax(std::move(message), line_span(token.offset), text_);
    for (auto open = open_.rbegin(); open != open_.rend(); ++open) {
      if (!keyword.empty() && open->keyword != keyword) continue;
      const std::optional<LineColumn> at = locate(source_, open->offset);
      if (at)
        error.add_note("the " + std::string(open->keyword) + " block opened at line " + std::to_string(at->line) +
                       " is still open: each @end closes the innermost open block");
      break;
    }
    throw error;
  }

  // Runs an expression parser for a directive; its errors get the line span.
  template <class Parse>
  auto on_line(const Token& token, Parse&& parse) const {
    return placing_errors(text_, [&] { return line_span(token.offset); }, std::forward<Parse>(parse));
  }

  // ---- block state -------------------------------------------------------

  // A block opened and not yet closed: its keyword and where its line starts.
  struct OpenBlock {
    std::string_view keyword;
    std::size_t offset;
  };

  // One level of block nesting, the block `token` opens, for as long as it
  // lives.
  class Nesting {
   public:
    Nesting(Parser& parser, std::string_view keyword, const Token& token) : parser_(parser) {
      if (parser_.depth_ == kMaxNestingDepth)
        throw Error::syntax(exceeds_maximum("nesting depth", kMaxNestingDepth));
      parser_.stack_.check();
      ++parser_.depth_;
      parser_.open_.push_back({keyword, token.offset});
    }
    ~Nesting() {
      --parser_.depth_;
      parser_.open_.pop_back();
    }
    Nesting(const Nesting&) = delete;
    Nesting& operator=(const Nesting&) = delete;

   private:
    Parser& parser_;
  };

  // Sets a flag for as long as it lives.
  class Inside {
   public:
    explicit Inside(bool& flag) : flag_(flag) { flag_ = true; }
    ~Inside() { flag_ = false; }
    Inside(const Inside&) = delete;
    Inside& operator=(const Inside&) = delete;

   private:
    bool& flag_;
  };

  // ---- template structure ------------------------------------------------

  bool at(TokenKind kind) const noexcept {
    return pos_ < tokens_.size() && tokens_[pos_].kind == kind;
  }

  void read_frontmatter() {
    if (!at(TokenKind::FrontmatterDelimiter)) return;
    ++pos_;
    if (at(TokenKind::FrontmatterContent)) out_.frontmatter = tokens_[pos_++].text;
    if (at(TokenKind::FrontmatterDelimiter)) ++pos_;
  }

  // `@extends "path"` as the first thing after the frontmatter, blank text
  // before it dropped.
  void read_extends() {
    std::size_t look = pos_;
    while (look < tokens_.size() && tokens_[look].kind == TokenKind::Text &&
           trim(tokens_[look].text).empty())
      ++look;
    if (look == tokens_.size() || tokens_[look].kind != TokenKind::Directive) return;
    const Token& token = tokens_[look];
    const std::string_view text = directive_text(token);
    if (!is_keyword(text, "@extends", " ")) return;
    pos_ = look + 1;
    const std::string_view rest = trim(text.substr(8));
    if (rest.empty())
      fail_on_line(token, "@extends requires a quoted path: @extends \"./base.quarl\"");
    out_.extends = Extends{read_quoted_path(rest).first, token.offset};
  }

  NodeList parse_nodes(Until until) {
    NodeList nodes;
    for (; pos_ < tokens_.size();) {
      const Token& token = tokens_[pos_];
      switch (token.kind) {
        case TokenKind::FrontmatterDelimiter:
        case TokenKind::FrontmatterContent:
          ++pos_;
          continue;
        case TokenKind::Text:
        case TokenKind::CodeContent:
          nodes.push_back(Node{token.offset, Text{token.text}});
          break;
        case TokenKind::CodeFence:
          nodes.push_back(Node{token.offset, Text{fence_line(token)}});
          break;
        case TokenKind::EscapedBrace:
          nodes.push_back(Node{token.offset, EscapedBrace{}});
          break;
        case TokenKind::Interpolation:
          nodes.push_back(Node{token.offset, Interpolation{parse_interpolation(
                                                               token.text, token.offset, text_),
                                                           token.text}});
          break;
        case TokenKind::Directive:
          if (ends_list(directive_text(token), until)) return nodes;
          ++pos_;
          last_end_ = 0;
          nodes.push_back(Node{token.offset, parse_directive(token)});
          nodes.back().end = last_end_;
          continue;
      }
      ++pos_;
    }
    return nodes;
  }

  // A fence line always ends with one line feed, whatever ended it in the
  // source; the view covers the source's own line feed when it has one.
  std::string_view fence_line(const Token& token) {
    const std::size_t end = token.offset + token.text.size();
    if (end < source_.size() && source_[end] == '\n') return source_.substr(token.offset, token.text.size() + 1);
    auto& owned = out_.owned_texts.emplace_back(
        std::make_unique<const std::string>(std::string(token.text) + "\n"));
    return *owned;
  }

  using NodeData = decltype(Node::data);

  NodeData parse_directive(const Token& token) {
    const std::string_view text = directive_text(token);
    if (text.starts_with("@if ")) return parse_if(token, text.substr(4));
    if (text.starts_with("@for ")) return parse_for(token, text.substr(5));
    if (text.starts_with("@define ")) return parse_define(token, text.substr(8));
    if (is_keyword(text, "@import", " \t{")) return parse_import(token, trim(text.substr(7)));
    if (is_keyword(text, "@export", " \t{")) return parse_export(trim(text.substr(7)));
    if (text.starts_with("@include ")) return parse_include(token, trim(text.substr(9)));
    if (text.starts_with("@message ")) return parse_message(token, text.substr(9));
    if (text.starts_with("@block ")) return parse_block(token, text.substr(7));
    if (text == "@else")
      fail_on_line(token, "found '@else' without colon \u2014 use '@else:' (with trailing colon)");
    if (is_keyword(text, "@elseif", " "))
      fail_on_line(token, "@elseif must appear inside an @if block");
    if (text.starts_with("@elseif:"))
      fail_on_line(token,
                   "found '@elseif:' without a condition \u2014 use '@elseif <condition>:' "
                   "(condition required)");
    if (is_keyword(text, "@extends", " "))
      throw Error::syntax(
          "@extends must be the first directive after frontmatter \u2014 only one @extends is "
          "allowed and it must appear before any other content",
          Span{token.offset, token.text.size()}, text_);
    Error error = Error::syntax("unknown directive: " + std::string(text) + ". " + std::string(kValidDirectives),
                                line_span(token.offset), text_);
    std::size_t end = 1;
    while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '_')) ++end;
    if (const std::optional<std::string> note = did_you_mean(text.substr(0, end), kDirectiveKeywords))
      error.add_note(*note);
    throw error;
  }

  // The part of a block header before its final ':' (outside string literals
  // and parentheses, nothing but white space after it).
  std::string_view colon_content(const Token& token, std::string_view header,
                                 std::string_view kind) const {
    header = trim(header);
    std::size_t colon = std::string_view::npos;
    const ScanEnd end = scan_outside_strings(header, [&](std::size_t i, std::size_t depth) {
      if (depth == 0 && header[i] == ':') colon = i;
      return false;
    });
    if (colon != std::string_view::npos && end.depth == 0 &&
        trim(header.substr(colon + 1)).empty())
      return utf8::trim_end(header.substr(0, colon));
    if (end.in_string)
      fail_on_line(token, "unterminated string literal in " + std::string(kind) + " condition");
    fail_on_line(token, std::string(kind) + " directive must end with ':'");
  }

  void expect_end(const Token& opening, std::string_view kind) {
    if (pos_ == tokens_.size())
      throw Error::syntax("unclosed " + std::string(kind) + " block (missing @end)",
                          Span{opening.offset, kind.size()}, text_);
    // A node list stops only at a directive that ends it.
    const Token& token = tokens_[pos_];
    if (directive_text(token) == "@end") {
      ++pos_;
      const Span line = line_span(token.offset);
      last_end_ = line.offset + line.length;
      return;
    }
    fail_in_block(token, "expected @end to close " + std::string(kind) + " block, got " +
                            single_quoted(directive_text(token)));
  }

  // ---- directives --------------------------------------------------------

  Condition condition_on_line(const Token& token, std::string_view header,
                              std::string_view kind) const {
    const std::string_view content = colon_content(token, header, kind);
    return on_line(token, [&] { return parse_condition(content); });
  }

  If parse_if(const Token& token, std::string_view header) {
    const Nesting nesting(*this, "@if", token);
    If node{condition_on_line(token, header, "@if"), {}, {}, {}};
    node.then_body = parse_nodes(Until::BranchEnd);
    while (pos_ < tokens_.size() && tokens_[pos_].kind == TokenKind::Directive &&
           directive_text(tokens_[pos_]).starts_with("@elseif ")) {
      const Token& branch = tokens_[pos_];
      if (node.else_ifs.size() == kMaxElseIfBranches)
        fail_on_line(branch, "@if block has more than " + std::to_string(kMaxElseIfBranches) +
                                 " @elseif branches");
      ++pos_;
      Condition condition =
          condition_on_line(branch, directive_text(branch).substr(8), "@elseif");
      node.else_ifs.push_back(
          ElseIf{std::move(condition), parse_nodes(Until::BranchEnd), branch.offset});
    }
    if (pos_ < tokens_.size() && is_directive(tokens_[pos_], "@else:")) {
      // The else body stops where a branch would, so that a second @else: or
      // a late @elseif is reported as the @if's missing @end.
      const std::size_t offset = tokens_[pos_++].offset;
      node.else_body = Else{parse_nodes(Until::BranchEnd), offset};
    }
    expect_end(token, "@if");
    return node;
  }

  For parse_for(const Token& token, std::string_view header) {
    const Nesting nesting(*this, "@for", token);
    const std::string_view content = colon_content(token, header, "@for");
    const std::size_t in = content.find(" in ");
    if (in == std::string_view::npos)
      fail_on_line(token, "@for must follow pattern: @for <var> in <iterable>:");
    const std::string_view variables = trim(content.substr(0, in));
    const std::string_view iterable = trim(content.substr(in + 4));

    For node{variables, std::nullopt, {}, {}};
    if (const std::size_t comma = variables.find(','); comma != std::string_view::npos) {
      node.variable = trim(variables.substr(0, comma));
      node.value_variable = trim(variables.substr(comma + 1));
      if (!is_identifier(node.variable))
        fail_on_line(token, "invalid key variable name: " + single_quoted(node.variable));
      if (!is_identifier(*node.value_variable))
        fail_on_line(token, "invalid value variable name: " + single_quoted(*node.value_variable));
    } else if (!is_identifier(variables)) {
      fail_on_line(token, "invalid loop variable name: " + single_quoted(variables));
    }

    node.iterable = on_line(token, [&] { return parse_directive_expr(iterable); });
    if (node.iterable.is_literal())
      fail_on_line(token, "cannot use a literal value as @for iterable: " + single_quoted(iterable) +
                              " \u2014 use a variable or function call");
    node.body = parse_nodes(Until::End);
    expect_end(token, "@for");
    return node;
  }

  Define parse_define(const Token& token, std::string_view rest) {
    const Nesting nesting(*this, "@define", token);
    rest = trim(rest);
    if (!rest.ends_with(':')) fail_on_line(token, "@define directive must end with ':'");
    const std::string_view header = trim(rest.substr(0, rest.size() - 1));
    const std::size_t open = header.find('(');
    if (open == std::string_view::npos)
      fail_on_line(token, "@define must have parameter list: @define name(params):");
    const std::size_t close = header.find(')');
    if (close == std::string_view::npos) fail_on_line(token, "@define: unclosed parenthesis");
    if (close < open)
      fail_on_line(token, "@define: ')' comes before '(' \u2014 use @define name(params):");
    const std::string_view name = trim(header.substr(0, open));
    if (!is_identifier(name)) fail_on_line(token, "invalid function name: " + single_quoted(name));

    Define node{name, parse_params(header.substr(open + 1, close - open - 1), name), {}};
    node.body = parse_nodes(Until::End);
    expect_end(token, "@define");
    return node;
  }

  static Value parse_default(std::string_view name, std::string_view text) {
    if (is_string_literal(text))
      return Value::string(parse_string_escapes(text.substr(1, text.size() - 2)));
    if (text == "true" || text == "false") return Value::boolean(text == "true");
    if (text == "null") return Value::null();
    if (const std::optional<double> number = parse_decimal(text)) {
      if (!std::isfinite(*number))
        throw Error::syntax("NaN and infinity are not valid condition values");
      return Value::number(*number);
    }
    throw Error::syntax("invalid default value for parameter " + single_quoted(name) + ": " +
                        single_quoted(text) + " \u2014 must be a string, number, boolean, or null");
  }

  static std::vector<Param> parse_params(std::string_view list, std::string_view function) {
    std::vector<Param> params;
    UniqueNames names;
    for (std::string_view piece : split_outside_strings(list, ',')) {
      piece = trim(piece);
      if (piece.empty()) continue;
      std::size_t equals = std::string_view::npos;
      scan_outside_strings(piece, [&](std::size_t i, std::size_t) {
        if (piece[i] == '=' && (i + 1 == piece.size() || piece[i + 1] != '=')) equals = i;
        return equals != std::string_view::npos;
      });
      Param param{trim(piece.substr(0, equals)), std::nullopt};
      if (!is_identifier(param.name))
        throw Error::syntax("invalid parameter name: " + single_quoted(param.name));
      if (equals != std::string_view::npos)
        param.default_value = parse_default(param.name, trim(piece.substr(equals + 1)));
      if (!param.default_value && !params.empty() && params.back().default_value)
        throw Error::syntax("required parameter " + single_quoted(param.name) +
                            " cannot follow an optional parameter in @define " +
                            std::string(function));
      if (!names.insert(param.name))
        throw Error::syntax("duplicate parameter name " + single_quoted(param.name) + " in @define " +
                              std::string(function));
      params.push_back(std::move(param));
    }
    return params;
  }

  Import parse_import(const Token& token, std::string_view rest) {
    if (!rest.starts_with('{')) {
      const auto [path, after] = read_quoted_path(rest);
      const std::string_view tail = trim(after);
      if (tail.empty()) return Import{ImportForm::Merge, path, {}, {}};
      if (!tail.starts_with("as "))
        throw Error::syntax("unexpected text after import path: " + single_quoted(tail));
      const std::string_view alias = trim(tail.substr(3));
      if (!is_identifier(alias)) throw Error::syntax("invalid import alias: " + single_quoted(alias));
      return Import{ImportForm::Alias, path, alias, {}};
    }
    const std::size_t close = rest.find('}');
    if (close == std::string_view::npos) throw Error::syntax("unclosed { in selective import");
    Import node{ImportForm::Selective, {}, {}, {}};
    for (std::string_view name : split_outside_strings(rest.substr(1, close - 1), ',')) {
      name = trim(name);
      if (name.empty()) continue;
      if (!is_identifier(name)) throw Error::syntax("invalid import name: " + single_quoted(name));
      node.names.push_back(
          ImportName{name, token.offset + static_cast<std::size_t>(name.data() - token.text.data())});
    }
    const std::string_view tail = trim(rest.substr(close + 1));
    if (!(tail.size() > 4 && tail.starts_with("from") && (tail[4] == ' ' || tail[4] == '\t')))
      throw Error::syntax("selective import requires 'from' keyword");
    node.path = read_quoted_path(tail.substr(4)).first;
    return node;
  }

  static Export parse_export(std::string_view rest) {
    for (const std::string_view prefix : {"* from ", "*from "})
      if (rest.starts_with(prefix))
        return Export{ExportForm::ReExportAll, {}, read_quoted_path(rest.substr(prefix.size())).first};
    const std::size_t first_space = rest.find(' ');
    if (first_space != std::string_view::npos) {
      const std::size_t second_space = rest.find(' ', first_space + 1);
      if (second_space != std::string_view::npos &&
          rest.substr(first_space + 1, second_space - first_space - 1) == "from") {
        const std::string_view name = rest.substr(0, first_space);
        if (!is_identifier(name)) throw Error::syntax("invalid re-export name: " + single_quoted(name));
        return Export{ExportForm::ReExport, name,
                      read_quoted_path(rest.substr(second_space + 1)).first};
      }
    }
    if (rest.empty()) throw Error::syntax("@export requires a name");
    if (!is_identifier(rest)) throw Error::syntax("invalid export name: " + single_quoted(rest));
    return Export{ExportForm::ExportName, rest, {}};
  }

  Include parse_include(const Token& token, std::string_view alias) const {
    if (!is_identifier(alias)) fail_on_line(token, "invalid include alias: " + single_quoted(alias));
    return Include{alias};
  }

  MessageBlock parse_message(const Token& token, std::string_view header) {
    if (in_message_)
      fail_in_block(token, "@message blocks cannot be nested inside another @message block", "@message");
    const std::string_view role = trim(colon_content(token, header, "@message"));
    MessageBlock node;
    if (role.size() >= 4 && role.starts_with("{{") && role.ends_with("}}")) {
      node.role = on_line(token, [&] { return parse_directive_expr(role.substr(2, role.size() - 4)); });
    } else if (role.empty()) {
      fail_on_line(token, "@message role must not be empty \u2014 use e.g. @message system:");
    } else {
      node.role = role;
    }
    const Nesting nesting(*this, "@message", token);
    const Inside inside(in_message_);
    node.body = parse_nodes(Until::End);
    expect_end(token, "@message");
    return node;
  }

  Block parse_block(const Token& token, std::string_view header) {
    if (in_block_) fail_in_block(token, "@block cannot be nested inside another @block", "@block");
    if (in_message_) fail_in_block(token, "@block cannot be nested inside a @message block", "@message");
    if (depth_ > 0)
      fail_in_block(token, "@block is top-level only \u2014 it cannot appear inside @if, @for, or @define");
    const std::string_view name = trim(colon_content(token, header, "@block"));
    if (name.empty())
      fail_on_line(token, "@block name must not be empty \u2014 use e.g. @block instructions:");
    if (!is_identifier(name))
      fail_on_line(token,
                   "invalid @block name: " + single_quoted(name) + " \u2014 must be a valid identifier");
    const Nesting nesting(*this, "@block", token);
    const Inside inside(in_block_);
    Block node{name, parse_nodes(Until::End)};
    expect_end(token, "@block");
    return node;
  }

  std::vector<OpenBlock> open_;  // innermost last
  std::size_t last_end_ = 0;     // where the line of the last @end read ends
  const std::vector<Token>& tokens_;
  const ModuleText& text_;
  std::string_view source_;
  Template& out_;
  std::size_t pos_ = 0;
  std::size_t depth_ = 0;
  bool in_message_ = false;
  bool in_block_ = false;
  StackGuard stack_;
};

}  // namespace

Template parse_template(TokenList tokens) {
  if (!tokens.text) tokens.text = std::make_shared<const std::string>();
  Template out;
  out.text = tokens.text;
  if (tokens.frontmatter_copy) out.owned_texts.push_back(std::move(tokens.frontmatter_copy));
  Parser(tokens, out).run();
  resolve_locals(out.body);
  return out;
}

}  // namespace quarl
