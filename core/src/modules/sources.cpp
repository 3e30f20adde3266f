#include "modules/sources.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <system_error>
#include <vector>

#include "modules/paths.hpp"
#include "quarl/error.hpp"
#include "support/limits.hpp"
#include "support/text_scan.hpp"
#include "support/utf8.hpp"
#include "syntax/frontmatter.hpp"
#include "syntax/lexer.hpp"

namespace quarl {
namespace {

std::string os_error(int code) { return std::generic_category().message(code); }

// The canonical form of `path` (symbolic links resolved), or the system's
// error code.
struct Canonical {
  std::string path;
  int error = 0;
};

// A path with a NUL byte in it names no file: the system would read it only
// up to the NUL, a different path.
Canonical canonical(const std::string& path) {
  if (path.find('\0') != std::string::npos) return {{}, EINVAL};
  const std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr),
                                                              &std::free);
  if (!resolved) return {{}, errno};
  return {resolved.get(), 0};
}

// Owns an open file descriptor (or a negative failure value).
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

bool entry_exists(const std::string& path) noexcept {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

std::string parent_of(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

std::string joined(std::string_view directory, std::string_view name) {
  std::string out(directory);
  if (!out.ends_with('/')) out += '/';
  out += name;
  return out;
}

// Canonicalises `path` (written by the user as `written`): symbolic links in
// its directories are followed, but its final name may not be one.
std::string canonical_import(const std::string& path, std::string_view written) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) throw Error::file_not_found(std::string(written));
  const std::string name = path.substr(slash + 1);
  if (name.empty()) {  // the filesystem root, or a path ending in '/'
    Canonical whole = canonical(path);
    if (whole.error) throw Error::file_not_found(std::string(written));
    return std::move(whole.path);
  }
  const Canonical parent = canonical(slash == 0 ? std::string("/") : path.substr(0, slash));
  if (parent.error) throw Error::file_not_found(std::string(written));
  std::string candidate = joined(parent.path, name);
  // With the directories canonical, a final name that is neither "." nor ".."
  // nor a symbolic link is its own canonical form: one lstat decides.
  if (name != "." && name != "..") {
    struct stat info;
    if (lstat(candidate.c_str(), &info) != 0) throw Error::file_not_found(std::string(written));
    if (!S_ISLNK(info.st_mode)) return candidate;
  }
  Canonical whole = canonical(path);
  if (whole.error) throw Error::file_not_found(std::string(written));
  // "." and ".." name directories, not links: reading one fails as a directory.
  if (whole.path != candidate && name != "." && name != "..")
    throw Error::import("symlinks are not allowed in imports: " + std::string(written));
  return std::move(whole.path);
}

// An absolute path with its "." and ".." names taken as written (no link
// followed): where the path leads if its directories are what they say.
std::string lexically_normal(std::string_view path) {
  std::vector<std::string_view> names;
  for (std::size_t start = 0; start <= path.size();) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    const std::string_view name = path.substr(start, end - start);
    if (name == "..") {
      if (!names.empty()) names.pop_back();
    } else if (!name.empty() && name != ".") {
      names.push_back(name);
    }
    start = end + 1;
  }
  std::string out;
  for (const std::string_view name : names) (out += '/') += name;
  return out.empty() ? "/" : out;
}

}  // namespace

std::string current_directory() {
  // Most paths fit in a buffer on the stack; a longer one takes a bigger
  // buffer on the heap.
  char local[PATH_MAX];
  std::string buffer;
  const char* path = getcwd(local, sizeof local);
  for (std::size_t size = 2 * sizeof local; !path; size *= 2) {
    if (errno != ERANGE) throw Error::io("cannot determine current directory: " + os_error(errno));
    buffer.resize(size);
    path = getcwd(buffer.data(), buffer.size());
  }
  std::string directory(path);
  if (utf8::find_invalid(directory)) throw Error::io("current directory path is not valid UTF-8");
  return directory;
}

std::string canonical_directory(std::string_view directory) {
  const std::string text(directory);
  if (utf8::find_invalid(text)) throw Error::io("base_dir path is not valid UTF-8");
  Canonical result = canonical(text);
  if (result.error)
    throw Error::io("cannot resolve base directory " + text + ": " +
                    (text.find('\0') != std::string::npos ? std::string("embedded null byte")
                                                          : os_error(result.error)));
  if (utf8::find_invalid(result.path)) throw Error::io("base_dir path is not valid UTF-8");
  return std::move(result.path);
}

// ---- filesystem ---------------------------------------------------------------

void FilesystemSource::establish_root(const std::string& directory) {
  if (!root_start_) root_start_ = directory;
}

std::optional<std::string> FilesystemSource::project_root() const {
  if (root_ || !root_start_) return root_;
  std::string current = *root_start_;
  for (std::size_t i = 0; i < kMaxRootSearch; ++i) {
    if (entry_exists(joined(current, ".git")) || entry_exists(joined(current, ".quarlroot")))
      return root_ = current;
    if (current == "/") break;
    current = parent_of(current);
  }
  return root_ = *root_start_;
}

void FilesystemSource::require_within_root(const std::string& key, std::string_view path) const {
  const std::optional<std::string> root = project_root();
  if (!root || is_within(key, *root)) return;
  Error error = Error::import("import path escapes project directory: " + double_quoted(path));
  // Where a root that takes in both would be: their deepest common folder.
  std::string common = *root;
  while (common != "/" && !is_within(key, common)) common = parent_of(common);
  error.add_note("the project root is " + *root +
                 ", the nearest folder above the template with .git or .quarlroot (else the template's own "
                 "folder); an empty .quarlroot file in " + common + " would take in both");
  throw error;
}

std::string FilesystemSource::resolve(std::optional<std::string_view> importer,
                                      std::string_view path) {
  validate_path(path);
  if (importer) return import_key(joined(parent_of(*importer), path), path);
  const std::string absolute =
      path.starts_with('/') ? std::string(path) : joined(current_directory(), path);
  std::string key = canonical_import(absolute, path);
  establish_root(parent_of(key));
  require_within_root(key, path);
  return key;
}

std::string FilesystemSource::resolve_relative(std::string_view base, std::string_view path) {
  validate_path(path);
  if (base.empty()) {
    if (!current_directory_) {
      current_directory_ = current_directory();
      establish_root(*current_directory_);
    }
    base = *current_directory_;
  }
  return import_key(joined(base, path), path);
}

std::string FilesystemSource::import_key(const std::string& joined_path, std::string_view path) {
  if (const auto known = keys_.find(joined_path); known != keys_.end()) return known->second;
  std::string key;
  try {
    key = canonical_import(joined_path, path);
  } catch (const Error&) {
    // A path that leads out of the project escapes whether or not something
    // is there: how it failed to resolve must not tell.
    require_within_root(lexically_normal(joined_path), path);
    throw;
  }
  require_within_root(key, path);
  keys_.emplace(joined_path, key);
  return key;
}

std::string FilesystemSource::read(std::string_view key) {
  const std::string shown = display_path(key, std::nullopt, project_root());
  const std::string path(key);
  const FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  const int fd = file.get();
  if (fd < 0) throw Error::io("cannot read " + shown + ": " + os_error(errno));
  struct stat info;
  if (fstat(fd, &info) != 0) throw Error::io("cannot read " + shown + ": " + os_error(errno));
  const auto too_large = [&](std::size_t size) {
    return Error::resource_limit(file_too_large(size, kMaxSourceBytes, shown));
  };
  if (static_cast<std::size_t>(info.st_size) > kMaxSourceBytes)
    throw too_large(static_cast<std::size_t>(info.st_size));
  // Read up to one byte past the limit, in case the file grew since fstat.
  std::string text(static_cast<std::size_t>(info.st_size) + 1, '\0');
  std::size_t got = 0;
  for (;;) {
    if (got == text.size()) {
      if (text.size() > kMaxSourceBytes) throw too_large(text.size());
      text.resize(std::min(text.size() * 2, kMaxSourceBytes + 1));
    }
    const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Error::io("cannot read " + shown + ": " + os_error(errno));
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  text.resize(got);
  check_utf8(text, shown);
  return text;
}

// ---- virtual ----------------------------------------------------------------

std::string VirtualSource::resolve(std::optional<std::string_view> importer,
                                   std::string_view path) {
  return resolve_virtual(importer, path);
}

std::string VirtualSource::resolve_relative(std::string_view base, std::string_view path) {
  return resolve_virtual_from(base, path);
}

std::string VirtualSource::read(std::string_view key) {
  const auto found = modules_.find(std::string(key));
  if (found == modules_.end()) throw Error::module_not_found(std::string(key));
  check_module_text(found->second, key);
  return found->second;
}

void check_module_text(std::string_view text, std::string_view shown) {
  if (text.size() > kMaxSourceBytes) throw Error::resource_limit(file_too_large(text.size(), kMaxSourceBytes, shown));
  check_utf8(text, shown);
}

void check_utf8(std::string_view text, std::string_view shown) {
  if (const auto bad = utf8::find_invalid(text))
    throw Error::io("invalid UTF-8 in " + std::string(shown) +
                    ": invalid byte sequence at offset " + std::to_string(*bad));
}

// ---- module kind --------------------------------------------------------------

namespace {

// The extension of the key's last name ("" for none, or a name that starts
// with its only dot).
std::string_view module_extension(std::string_view key) noexcept {
  const std::size_t separator = key.find_last_of("/\\");
  const std::string_view name =
      separator == std::string_view::npos ? key : key.substr(separator + 1);
  const std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos || dot == 0 ? std::string_view() : name.substr(dot + 1);
}

}  // namespace

bool has_markdown_extension(std::string_view key) noexcept {
  return module_extension(key) == "md";
}

void check_module_kind(std::string_view key, std::string_view text) {
  const std::string_view extension = module_extension(key);
  if (extension == "quarl") return;
  if (extension == "md") {
    text.remove_prefix(content_start(text));
    std::size_t start = 0;
    if (text.starts_with("---\n")) start = 4;
    if (text.starts_with("---\r\n")) start = 5;
    if (start) {
      const std::size_t end = text.find("\n---", start - 1);
      const std::string_view frontmatter = text.substr(
          start, end == std::string_view::npos ? std::string_view::npos : end + 1 - start);
      if (has_type_marker(frontmatter)) return;
    }
  }
  throw Error::not_quarl(std::string(key));
}

}  // namespace quarl
