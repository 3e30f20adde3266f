#include "format/formatter.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/text_scan.hpp"
#include "support/utf8.hpp"
#include "syntax/expressions.hpp"
#include "syntax/lexer.hpp"
#include "syntax/parser.hpp"
#include "syntax/tree_text.hpp"

namespace quarl {
namespace {

using utf8::trim;

bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

// The pieces of an expression text, for respacing: a string literal as
// written, a two-character operator, one of ( ) , . !, or a run of other
// characters (a name, a number, a keyword).
enum class Piece : std::uint8_t { Word, String, Open, Close, Comma, Dot, Bang, Operator };

struct Lexeme {
  Piece kind;
  std::string_view text;
  std::string_view gap;  // the white space before it
};

std::vector<Lexeme> lexemes(std::string_view text) {
  std::vector<Lexeme> out;
  std::size_t gap_start = 0;
  std::size_t i = 0;
  // The lexeme from `start` to `end`, with the white space before it.
  const auto take = [&](Piece kind, std::size_t start, std::size_t end) {
    out.push_back({kind, text.substr(start, end - start), text.substr(gap_start, start - gap_start)});
    gap_start = i = end;
  };
  const auto operator_at = [&](std::size_t at) {
    const std::string_view two = text.substr(at, 2);
    return two == "==" || two == "!=" || two == "&&" || two == "||";
  };
  while (i < text.size()) {
    const char c = text[i];
    const std::size_t start = i;
    if (is_space(c)) {
      ++i;
    } else if (c == '"' || c == '\'') {
      std::size_t end = start + 1;
      for (; end < text.size() && text[end] != c; ++end)
        if (text[end] == '\\') ++end;
      take(Piece::String, start, std::min(end + 1, text.size()));
    } else if (operator_at(i)) {
      take(Piece::Operator, start, start + 2);
    } else if (const std::size_t punctuation = std::string_view("(),.!").find(c); punctuation != std::string_view::npos) {
      constexpr Piece kPunctuation[] = {Piece::Open, Piece::Close, Piece::Comma, Piece::Dot, Piece::Bang};
      take(kPunctuation[punctuation], start, start + 1);
    } else {
      std::size_t end = start;
      while (end < text.size() && !is_space(text[end]) &&
             std::string_view("\"'(),.!").find(text[end]) == std::string_view::npos && !operator_at(end))
        ++end;
      take(Piece::Word, start, end);
    }
  }
  return out;
}

// An expression or condition with one canonical spacing: `f(a, b)`,
// `a.b.c`, `!x`, `a == b && c || d`; string literals as written. White
// space is changed only beside punctuation and operators, where the parser
// trims it: between two words (a call's name may hold spaces) it stays.
std::string respaced(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  Piece previous = Piece::Open;  // nothing goes before the first lexeme
  for (const Lexeme& lexeme : lexemes(text)) {
    const bool tight = previous == Piece::Open || previous == Piece::Dot || previous == Piece::Bang ||
                       lexeme.kind == Piece::Open || lexeme.kind == Piece::Close || lexeme.kind == Piece::Comma ||
                       lexeme.kind == Piece::Dot;
    const bool between_words = (previous == Piece::Word || previous == Piece::String) &&
                               (lexeme.kind == Piece::Word || lexeme.kind == Piece::String);
    if (between_words)
      out += lexeme.gap;
    else if (!tight)
      out += ' ';
    out += lexeme.text;
    previous = lexeme.kind;
  }
  return out;
}

// `text` respaced when that leaves its parse as it was, else as written
// (trimmed): the parser decides some shapes on the raw text (an argument
// that starts and ends with a quote is one string literal, whatever lies
// between), and respacing must not move a boundary it relies on.
template <class Parse>
std::string canonical(std::string_view text, Parse&& parse) {
  std::string spaced = respaced(text);
  try {
    if (tree_text(parse(spaced)) == tree_text(parse(text))) return spaced;
  } catch (const Error&) {
  }
  return std::string(trim(text));
}

std::string canonical_interpolation(std::string_view text) {
  return canonical(text, [](std::string_view t) { return parse_interpolation(t, 0, ModuleText()); });
}
std::string canonical_condition(std::string_view text) { return canonical(text, parse_condition); }
std::string canonical_expression(std::string_view text) { return canonical(text, parse_directive_expr); }

// The part of a block directive's header before its closing colon (the last
// colon outside strings and parentheses).
std::string_view before_colon(std::string_view header) {
  std::size_t colon = std::string_view::npos;
  scan_outside_strings(header, [&](std::size_t i, std::size_t depth) {
    if (depth == 0 && header[i] == ':') colon = i;
    return false;
  });
  return trim(header.substr(0, colon));
}

// `"path"` as written, at the start of `text`.
std::string_view quoted_path(std::string_view text) {
  text = trim(text);
  return text.substr(0, text.find('"', 1) + 1);
}

// The non-empty pieces of `text` between separators (outside strings),
// trimmed, each written by `write`, joined with ", ".
template <class Write>
std::string joined_pieces(std::string_view text, char separator, Write&& write) {
  std::string out;
  for (const std::string_view piece : split_outside_strings(text, separator)) {
    const std::string_view trimmed = trim(piece);
    if (trimmed.empty()) continue;
    if (!out.empty()) out += ", ";
    write(out, trimmed);
  }
  return out;
}

std::string names_list(std::string_view text, char separator) {
  return joined_pieces(text, separator, [](std::string& out, std::string_view name) { out += name; });
}

// A parameter as `name` or `name = default` (the default as written).
void write_param(std::string& out, std::string_view param) {
  std::size_t equals = std::string_view::npos;
  scan_outside_strings(param, [&](std::size_t i, std::size_t) {
    if (param[i] == '=' && param.substr(i, 2) != "==") equals = i;
    return equals != std::string_view::npos;
  });
  if (equals == std::string_view::npos) {
    out += param;
    return;
  }
  out += trim(param.substr(0, equals));
  out += " = ";
  out += trim(param.substr(equals + 1));
}

std::string define_line(std::string_view rest) {
  rest = trim(rest);
  rest.remove_suffix(1);  // the colon
  const std::size_t open = rest.find('(');
  const std::size_t close = rest.find(')');
  return "@define " + std::string(trim(rest.substr(0, open))) + "(" +
         joined_pieces(rest.substr(open + 1, close - open - 1), ',', write_param) + "):";
}

std::string import_line(std::string_view rest) {
  if (rest.starts_with('{')) {
    const std::size_t close = rest.find('}');
    const std::string_view after = trim(rest.substr(close + 1));
    return "@import { " + names_list(rest.substr(1, close - 1), ',') + " } from " +
           std::string(quoted_path(after.substr(4)));
  }
  const std::string_view path = quoted_path(rest);
  const std::string_view after = trim(trim(rest).substr(path.size()));
  std::string out = "@import " + std::string(path);
  if (!after.empty()) out += " as " + std::string(trim(after.substr(3)));
  return out;
}

std::string export_line(std::string_view rest) {
  for (const std::string_view prefix : {"* from ", "*from "})
    if (rest.starts_with(prefix)) return "@export * from " + std::string(quoted_path(rest.substr(prefix.size())));
  const std::size_t first = rest.find(' ');
  if (first != std::string_view::npos) {
    const std::size_t second = rest.find(' ', first + 1);
    if (second != std::string_view::npos && rest.substr(first + 1, second - first - 1) == "from")
      return "@export " + std::string(rest.substr(0, first)) + " from " +
             std::string(quoted_path(rest.substr(second + 1)));
  }
  return "@export " + std::string(rest);
}

std::string message_line(std::string_view header) {
  const std::string_view role = before_colon(header);
  if (role.size() >= 4 && role.starts_with("{{") && role.ends_with("}}"))
    return "@message {{ " + canonical_expression(trim(role.substr(2, role.size() - 4))) + " }}:";
  return "@message " + std::string(role) + ":";
}

std::string for_line(std::string_view header) {
  const std::string_view content = before_colon(header);
  const std::size_t in = content.find(" in ");
  std::string out = "@for " + names_list(content.substr(0, in), ',');
  return out + " in " + canonical_expression(content.substr(in + 4)) + ":";
}

// A directive line (trimmed) of a template that parses, in its one spelling.
std::string directive_line(std::string_view line) {
  const auto after = [&](std::string_view keyword) { return line.substr(keyword.size()); };
  if (line.starts_with("@if ")) return "@if " + canonical_condition(before_colon(after("@if "))) + ":";
  if (line.starts_with("@elseif ")) return "@elseif " + canonical_condition(before_colon(after("@elseif "))) + ":";
  if (line.starts_with("@for ")) return for_line(after("@for "));
  if (line.starts_with("@define ")) return define_line(after("@define "));
  if (line.starts_with("@import")) return import_line(trim(after("@import")));
  if (line.starts_with("@export")) return export_line(trim(after("@export")));
  if (line.starts_with("@include ")) return "@include " + std::string(trim(after("@include ")));
  if (line.starts_with("@message ")) return message_line(after("@message "));
  if (line.starts_with("@block ")) return "@block " + std::string(before_colon(after("@block "))) + ":";
  if (line.starts_with("@extends")) return "@extends " + std::string(quoted_path(after("@extends")));
  return std::string(line);  // @else:, @end
}

// Where the interpolation token that starts at `token` ends: after its `}}`.
std::size_t interpolation_end(std::string_view text, const Token& token) {
  const std::size_t payload_end = static_cast<std::size_t>(token.text.data() - text.data()) + token.text.size();
  return text.find("}}", token.text.empty() ? token.offset + 2 : payload_end) + 2;
}

// Where two one-line trees first differ, with some text of each around it.
std::string first_difference(const std::string& before, const std::string& after) {
  const auto mismatch = std::mismatch(before.begin(), before.end(), after.begin(), after.end());
  const std::size_t at = static_cast<std::size_t>(mismatch.first - before.begin());
  const std::size_t from = at > 30 ? at - 30 : 0;
  return "the parse tree changed: before ..." + before.substr(from, 70) + "..., after ..." + after.substr(from, 70) + "...";
}

}  // namespace

namespace {

// The text with each interpolation and directive line of `tokens` (the
// tokens of that text) in its canonical form; everything else, a byte order
// mark included, as it is.
std::string layout(std::string_view source, const std::vector<Token>& tokens) {
  std::string out;
  out.reserve(source.size() + source.size() / 16);
  std::size_t copied = 0;
  for (const Token& token : tokens) {
    std::size_t end = 0;
    std::string replacement;
    if (token.kind == TokenKind::Interpolation) {
      end = interpolation_end(source, token);
      replacement = "{{ " + canonical_interpolation(token.text) + " }}";
    } else if (token.kind == TokenKind::Directive) {
      end = token.offset + token.text.size();
      replacement = directive_line(trim(token.text));
    } else {
      continue;
    }
    out.append(source, copied, token.offset - copied);
    out += replacement;
    copied = end;
  }
  out.append(source, copied, std::string_view::npos);
  return out;
}

ModuleText module_text(std::string_view text) { return std::make_shared<const std::string>(text); }

// Whether two node lists are the same tree, spans aside. Text runs, which
// can be megabytes long, are compared as they are, the rest as tree text.
bool same_nodes(const NodeList& a, const NodeList& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto* text_a = std::get_if<Text>(&a[i].data);
    const auto* text_b = std::get_if<Text>(&b[i].data);
    if (text_a && text_b ? text_a->text != text_b->text
                         : tree_text(a[i], Offsets::Hidden) != tree_text(b[i], Offsets::Hidden))
      return false;
  }
  return true;
}

void require_same(const Template& before, const Template& after) {
  const bool same = before.frontmatter == after.frontmatter &&
                    (before.extends ? after.extends && before.extends->path == after.extends->path
                                    : !after.extends) &&
                    same_nodes(before.body, after.body);
  if (!same)
    throw Error::formatter_invariant(
        first_difference(tree_text(before, Offsets::Hidden), tree_text(after, Offsets::Hidden)));
}

Template parse_formatted(std::string_view formatted) {
  try {
    return parse_template(lex(module_text(formatted)));
  } catch (const Error& error) {
    throw Error::formatter_invariant("the formatted template does not parse: " + error.message());
  }
}

}  // namespace

void require_same_tree(std::string_view original, std::string_view formatted) {
  require_same(parse_template(lex(module_text(original))), parse_formatted(formatted));
}

std::string format_template(std::string_view text) {
  const ModuleText module = module_text(text);
  TokenList tokens = lex(module);
  // The layout reads each directive line the way the parser accepted it, so
  // it runs only on a template that parses: a malformed line is the
  // template's syntax error, raised here as compile raises it.
  const std::vector<Token> lines = tokens.tokens;
  const Template before = parse_template(std::move(tokens));
  std::string formatted = layout(*module, lines);
  require_same(before, parse_formatted(formatted));
  return formatted;
}

}  // namespace quarl
