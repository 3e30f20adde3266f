#include "modules/sources.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "outcomes.hpp"
#include "quarl/error.hpp"

namespace quarl {
namespace {

namespace fs = std::filesystem;

// Which modules are templates: cases in tests/cases/module_kind.txt.
TEST(ModuleSource, MarkdownExtension) {
  EXPECT_TRUE(has_markdown_extension("a/b.md"));
  EXPECT_TRUE(has_markdown_extension("a\\b.md"));
  EXPECT_FALSE(has_markdown_extension("a.md/b.quarl"));
  EXPECT_FALSE(has_markdown_extension("a.md\\b"));
  EXPECT_FALSE(has_markdown_extension("a.mdx"));
  EXPECT_FALSE(has_markdown_extension("md"));
}

TEST(VirtualSource, Operations) {
  VirtualSource source({{"lib/a.quarl", "A"}, {"big.quarl", std::string(kMaxSourceBytes + 1, 'x')},
                        {"max.quarl", std::string(kMaxSourceBytes, 'x')}});
  EXPECT_EQ(source.read("lib/a.quarl"), "A");
  EXPECT_EQ(source.read("max.quarl").size(), kMaxSourceBytes);
  EXPECT_EQ(outcome([&] { return source.read("big.quarl"); }),
            "quarl::resource_limit: resource limit exceeded: file too large (10485761 bytes, max "
            "10485760 bytes): big.quarl");
  EXPECT_EQ(outcome([&] { return source.read("nope"); }),
            "quarl::module_not_found: module 'nope' is not in the virtual module map");
  EXPECT_EQ(source.resolve("lib/a.quarl", "./b.quarl"), "lib/b.quarl");
  EXPECT_EQ(source.resolve_relative("lib", "../c.quarl"), "c.quarl");
}

// A temporary directory tree, removed afterwards. Its path is canonical.
class TempTree : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quarl-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = fs::canonical(pattern).string();
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string path(const std::string& relative) const { return root_ + "/" + relative; }
  void write(const std::string& relative, const std::string& text) const {
    fs::create_directories(fs::path(path(relative)).parent_path());
    std::ofstream(path(relative), std::ios::binary) << text;
  }

  std::string root_;
};

TEST_F(TempTree, ProjectRootAndContainment) {
  write("proj/.quarlroot", "");
  write("proj/src/main.quarl", "main");
  write("proj/lib/util.quarl", "util");
  write("outside.quarl", "out");
  FilesystemSource source;
  const std::string main = source.resolve(std::nullopt, path("proj/src/main.quarl"));
  EXPECT_EQ(main, path("proj/src/main.quarl"));
  EXPECT_EQ(source.project_root(), path("proj"));
  EXPECT_EQ(source.resolve(main, "../lib/util.quarl"), path("proj/lib/util.quarl"));
  EXPECT_EQ(source.read(path("proj/lib/util.quarl")), "util");
  EXPECT_EQ(outcome([&] { return source.resolve(main, "../../outside.quarl"); }),
            "quarl::import: import error: import path escapes project directory: "
            "\"../../outside.quarl\"");
  EXPECT_EQ(outcome([&] { return source.resolve(main, "./missing.quarl"); }),
            "quarl::file_not_found: file not found: ./missing.quarl");
  EXPECT_EQ(outcome([&] { return source.resolve(main, "./nodir/x.quarl"); }),
            "quarl::file_not_found: file not found: ./nodir/x.quarl");
  // The root, once established, stays.
  source.set_base_directory(root_);
  EXPECT_EQ(source.project_root(), path("proj"));
}

TEST_F(TempTree, GitMarksTheRootAndTheBaseIsTheFallback) {
  write("repo/.git/HEAD", "");
  write("repo/a/b/c.quarl", "");
  FilesystemSource with_git;
  with_git.set_base_directory(path("repo/a/b"));
  EXPECT_EQ(with_git.project_root(), path("repo"));

  write("plain/d/x.quarl", "");
  write("plain/x.quarl", "");
  FilesystemSource without;
  without.set_base_directory(path("plain/d"));
  // No marker above (the temporary directory has none): the base is the root.
  EXPECT_EQ(without.project_root(), path("plain/d"));
  EXPECT_EQ(outcome([&] { return without.resolve(path("plain/d/x.quarl"), "../x.quarl"); }),
            "quarl::import: import error: import path escapes project directory: \"../x.quarl\"");
}

TEST_F(TempTree, SymbolicLinks) {
  write(".quarlroot", "");
  write("real/mod.quarl", "real");
  write("main.quarl", "");
  fs::create_symlink(path("real/mod.quarl"), path("link.quarl"));
  fs::create_directory_symlink(path("real"), path("linkdir"));
  FilesystemSource source;
  const std::string main = source.resolve(std::nullopt, path("main.quarl"));
  EXPECT_EQ(outcome([&] { return source.resolve(main, "./link.quarl"); }),
            "quarl::import: import error: symlinks are not allowed in imports: ./link.quarl");
  // A symbolic link to a directory on the way is followed.
  EXPECT_EQ(source.resolve(main, "./linkdir/mod.quarl"), path("real/mod.quarl"));
}

TEST_F(TempTree, ReadLimitsAndEncoding) {
  write(".git", "");
  write("max.quarl", std::string(kMaxSourceBytes, 'x'));
  write("over.quarl", std::string(kMaxSourceBytes + 1, 'x'));
  write("bad.quarl", "ok\xff");
  fs::create_directory(path("dir.quarl"));
  FilesystemSource source;
  source.set_base_directory(root_);
  EXPECT_EQ(source.read(path("max.quarl")).size(), kMaxSourceBytes);
  EXPECT_EQ(outcome([&] { return source.read(path("over.quarl")); }),
            "quarl::resource_limit: resource limit exceeded: file too large (10485761 bytes, max "
            "10485760 bytes): over.quarl");
  EXPECT_EQ(outcome([&] { return source.read(path("bad.quarl")); }),
            "quarl::io: invalid UTF-8 in bad.quarl: invalid byte sequence at offset 2");
  EXPECT_EQ(outcome([&] { return source.read(path("gone.quarl")); }),
            "quarl::io: cannot read gone.quarl: No such file or directory");
  EXPECT_EQ(outcome([&] { return source.read(path("dir.quarl")); }),
            "quarl::io: cannot read dir.quarl: Is a directory");
}

TEST(Filesystem, BaseDirectoryErrors) {
  EXPECT_EQ(outcome([] { return canonical_directory("/no/such/dir"); }),
            "quarl::io: cannot resolve base directory /no/such/dir: No such file or directory");
  EXPECT_EQ(outcome([] { return canonical_directory("bad\xff"); }),
            "quarl::io: base_dir path is not valid UTF-8");
  // Cut at the NUL, the path would name its existing parent directory.
  using namespace std::string_literals;
  EXPECT_EQ(outcome([] { return canonical_directory("/tmp\0/x"s); }),
            "quarl::io: cannot resolve base directory /tmp\0/x: embedded null byte"s);
}

}  // namespace
}  // namespace quarl
