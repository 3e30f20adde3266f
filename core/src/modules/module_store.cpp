#include "modules/module_store.hpp"


namespace quarl {

const StoredModule* ModuleStore::find(std::string_view key) const {
  const auto found = modules_.find(key);
  return found == modules_.end() ? nullptr : &found->second;
}

void ModuleStore::store(const std::string& key, StoredModule module) {
  const auto [at, added] = modules_.insert_or_assign(key, std::move(module));
  if (added) keys_.push_back(key);
}

std::optional<std::string_view> ModuleStore::resolved(std::string_view importer,
                                                      std::string_view path) const {
  const auto found = resolutions_.find(std::pair<std::string_view, std::string_view>(importer, path));
  if (found == resolutions_.end()) return std::nullopt;
  return found->second;
}

void ModuleStore::resolve(std::string importer, std::string path, std::string key) {
  resolutions_.insert_or_assign({std::move(importer), std::move(path)}, std::move(key));
}

std::vector<ImportResolution> ModuleStore::resolutions() const {
  std::vector<ImportResolution> all;
  all.reserve(resolutions_.size());
  for (const auto& [from, key] : resolutions_) all.push_back({from.first, from.second, key});
  return all;
}

std::string StoredSource::resolve(std::optional<std::string_view> importer, std::string_view path) {
  if (const auto key = store_.resolved(importer.value_or(std::string_view()), path)) return std::string(*key);
  throw Error::import("cannot resolve '" + std::string(path) + "': the stored template has no module for it");
}

std::string StoredSource::resolve_relative(std::string_view, std::string_view path) {
  return resolve(kSourceEntryKey, path);
}

std::string StoredSource::read(std::string_view key) {
  const StoredModule* module = store_.find(key);
  if (!module || !module->text)
    throw Error::io("cannot read " + std::string(key) + ": the stored template has no such module");
  check_module_text(*module->text, key);
  return *module->text;
}

}  // namespace quarl
