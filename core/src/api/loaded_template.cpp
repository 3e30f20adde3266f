#include "quarl/loaded_template.hpp"

#include "modules/module_store.hpp"

namespace quarl {

LoadedTemplate::LoadedTemplate(TemplateInput::Kind kind, std::string name, std::string entry,
                               std::unique_ptr<ModuleStore> store, std::vector<std::string> dependencies,
                               std::optional<std::string> project_root)
    : kind_(kind),
      name_(std::move(name)),
      entry_(std::move(entry)),
      store_(std::move(store)),
      dependencies_(std::move(dependencies)),
      project_root_(std::move(project_root)) {}

LoadedTemplate::~LoadedTemplate() = default;

TemplateSnapshot LoadedTemplate::snapshot() const {
  TemplateSnapshot snapshot{kind_, name_, entry_, {}, store_->resolutions(), project_root_, dependencies_};
  snapshot.modules.reserve(store_->keys().size());
  for (const std::string& key : store_->keys()) snapshot.modules.emplace_back(key, *store_->find(key)->text);
  return snapshot;
}

}  // namespace quarl
