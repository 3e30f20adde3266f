#include "modules/inheritance.hpp"

#include <algorithm>
#include <string>

#include "support/compiler_bug.hpp"
#include "support/utf8.hpp"
#include "syntax/lexer.hpp"

namespace quarl {
namespace {

// The line of `text` that holds `offset`, without its line feed (the first
// line from the content start, after a byte order mark).
Span line_at(std::string_view text, std::size_t offset) noexcept {
  const std::size_t start = content_start(text);
  const std::size_t before = offset <= start ? std::string_view::npos : text.rfind('\n', offset - 1);
  return line_span(text, before == std::string_view::npos ? start : before + 1);
}

EffectiveBlock* find_block(std::vector<EffectiveBlock>& blocks, std::string_view name) noexcept {
  const auto found = std::find_if(blocks.begin(), blocks.end(),
                                  [&](const EffectiveBlock& entry) { return entry.name == name; });
  return found == blocks.end() ? nullptr : &*found;
}

// The root's placeholders in declaration order; a name declared again takes
// the later body in the earlier place.
std::vector<EffectiveBlock> root_blocks(const Module& root) {
  std::vector<EffectiveBlock> blocks;
  const Template& tpl = *root.source;
  for (const Node& node : tpl.body) {
    const auto* block = std::get_if<Block>(&node.data);
    if (!block) continue;
    EffectiveBlock entry{block->name, block, node.offset, &tpl.text, &root.context};
    if (EffectiveBlock* existing = find_block(blocks, block->name))
      *existing = entry;
    else
      blocks.push_back(entry);
  }
  return blocks;
}

}  // namespace

void check_block_count(const Template& tpl) {
  const auto count = std::count_if(tpl.body.begin(), tpl.body.end(), [](const Node& node) {
    return std::holds_alternative<Block>(node.data);
  });
  if (static_cast<std::size_t>(count) > kMaxBlocks)
    throw Error::resource_limit("module has more than " + std::to_string(kMaxBlocks) +
                                " @block declarations");
}

void check_extending_template(const Template& child) {
  for (const Node& node : child.body) {
    std::size_t at = node.offset;
    if (const auto* text = std::get_if<Text>(&node.data)) {
      const std::string_view kept = utf8::trim(text->text);
      if (kept.empty()) continue;
      at += static_cast<std::size_t>(kept.data() - text->text.data());
    } else if (std::holds_alternative<Block>(node.data)) {
      continue;
    }
    throw Error::extends("an extending template may contain only @block overrides",
                         line_at(*child.text, at), child.text);
  }
}

Chain extend_chain(const Module& parent, const Module& child) {
  Chain chain;
  if (parent.chain) {
    chain = *parent.chain;
  } else {
    chain.root = &parent;
    chain.blocks = root_blocks(parent);
  }
  const Template& tpl = *child.source;
  for (const Node& node : tpl.body) {
    const auto* block = std::get_if<Block>(&node.data);
    if (!block) continue;
    EffectiveBlock* entry = find_block(chain.blocks, block->name);
    if (!entry)
      throw Error::extends("only the root template may declare @block placeholders",
                           line_at(*tpl.text, node.offset), tpl.text);
    *entry = EffectiveBlock{block->name, block, node.offset, &tpl.text, &child.context};
  }
  return chain;
}

YamlNode merged_chain_frontmatter(const Module& module) {
  std::vector<const YamlNode*> layers;
  for (const Module* link = &module; link; link = link->parent)
    if (const YamlPtr& document = link->frontmatter.document) layers.push_back(document.get());
  std::reverse(layers.begin(), layers.end());
  return merge_frontmatter(layers);
}

std::vector<Segment> render_plan(const Module& module) {
  if (!module.chain) return {Segment{module.source->body, &module.source->text, nullptr}};
  const Chain& chain = *module.chain;
  const Template& root = *chain.root->source;
  std::vector<Segment> segments;
  const auto plain_run = [&](std::size_t begin, std::size_t end) {
    if (begin < end)
      segments.push_back(Segment{std::span<const Node>(root.body).subspan(begin, end - begin),
                                 &root.text, &chain.root->context});
  };
  std::size_t run_start = 0;
  for (std::size_t i = 0; i < root.body.size(); ++i) {
    const auto* block = std::get_if<Block>(&root.body[i].data);
    if (!block) continue;
    plain_run(run_start, i);
    run_start = i + 1;
    const auto found = std::find_if(chain.blocks.begin(), chain.blocks.end(),
                                    [&](const EffectiveBlock& entry) {
                                      return entry.name == block->name;
                                    });
    if (found == chain.blocks.end())
      compiler_bug("a skeleton @block has no effective body");
    segments.push_back(Segment{found->block->body, found->module, found->names});
  }
  plain_run(run_start, root.body.size());
  return segments;
}

void bind_chain_variables(Module& module, ObjectView caller, bool keep_text) {
  const YamlNode merged = merged_chain_frontmatter(module);
  if (keep_text && !merged.entries.empty()) module.merged_text = emit_yaml(merged);
  for (auto& [name, value] : merged_variables(merged, caller))
    module.context.variables.emplace(std::move(name), std::move(value));
}

}  // namespace quarl
