#include "pipeline/output_files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/test_util.h"

namespace tsl {
namespace {

namespace fs = std::filesystem;

TEST(OutputFiles, SiblingAndPartialNames) {
  struct Case {
    std::string path, suffix, sibling, partial;
  };
  const Case cases[] = {
      {"/out/ortho.tif", "_report.json", "/out/ortho_report.json", "/out/ortho.partial.tif"},
      {"mosaic", "_seams.npz", "mosaic_seams.npz", "mosaic.partial"},
      {"/out/a.b.tif", "_dsm.tif", "/out/a.b_dsm.tif", "/out/a.b.partial.tif"},
      {"/out/", "_report.json", "/out/_report.json", "/out/.partial"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(sibling_path(c.path, c.suffix).string(), c.sibling);
    EXPECT_EQ(partial_path(c.path).string(), c.partial);
  }
}

// The chosen output folder is settled before anything is written: kept when its nearest
// existing ancestor is a folder (the missing ones are made), moved beside a file it points
// into.
TEST(OutputFiles, SettleOutputPath) {
  test::TempDir dir;
  test::write_file_text(dir / "DJI_0001.JPG", "x");
  struct Case {
    std::string name;
    fs::path configured, want;
    bool redirected;
  };
  const Case cases[] = {
      {"existing folder", dir.path() / "ortho.tif", dir.path() / "ortho.tif", false},
      {"missing folders are made", dir.path() / "a" / "b" / "ortho.tif", dir.path() / "a" / "b" / "ortho.tif", false},
      {"inside a photo", dir.path() / "DJI_0001.JPG" / "ortho.tif",
       dir.path() / "tessaly" / (dir.path().filename().string() + "_ortho.tif"), true},
      {"deep inside a photo", dir.path() / "DJI_0001.JPG" / "x" / "ortho.tif",
       dir.path() / "tessaly" / (dir.path().filename().string() + "_ortho.tif"), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::LogCapture log;
    auto got = settle_output_path(c.configured);
    ASSERT_TRUE(got.has_value()) << got.error();
    EXPECT_EQ(*got, c.want);
    EXPECT_TRUE(fs::is_directory(got->parent_path()));
    if (c.redirected) {
      EXPECT_EQ(log.lines(), std::vector<std::string>{"  output folder pointed inside the file DJI_0001.JPG -> writing to " +
                                                      c.want.string()});
    } else {
      EXPECT_TRUE(log.lines().empty());
    }
  }
}

// Relative paths: a bare name needs no folder; a file without a parent folder sends the output
// to "tessaly/ortho_ortho.tif".
TEST(OutputFiles, SettleRelativeOutputPath) {
  test::TempDir dir;
  const fs::path before = fs::current_path();
  fs::current_path(dir.path());
  test::write_file_text(dir / "x.jpg", "x");
  test::LogCapture log;
  auto bare = settle_output_path("ortho.tif");
  auto inside = settle_output_path("x.jpg/ortho.tif");
  fs::current_path(before);
  ASSERT_TRUE(bare.has_value());
  EXPECT_EQ(bare->string(), "ortho.tif");
  ASSERT_TRUE(inside.has_value());
  EXPECT_EQ(inside->string(), "tessaly/ortho_ortho.tif");
  EXPECT_TRUE(fs::is_directory(dir / "tessaly"));
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{"  output folder pointed inside the file x.jpg -> writing to tessaly/ortho_ortho.tif"});
}

TEST(OutputFiles, SettleFailsNamingTheFolder) {
  if (!fs::is_directory("/proc/self")) GTEST_SKIP() << "needs /proc";
  auto r = settle_output_path("/proc/tessaly-test/ortho.tif");
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), "cannot create folder /proc/tessaly-test: No such file or directory (os error 2)");
}

// A file replaces its predecessor only when it is whole; a failed write or an abandoned
// pending file leaves the previous file and no partial one.
TEST(OutputFiles, AtomicWrites) {
  test::TempDir dir;
  const fs::path path = dir / "ortho_report.json";
  ASSERT_TRUE(write_file_atomic(path, std::string_view("first")).has_value());
  ASSERT_TRUE(write_file_atomic(path, std::string_view("second")).has_value());
  EXPECT_EQ(test::read_file_text(path), "second");
  EXPECT_FALSE(fs::exists(partial_path(path)));

  // The final name taken by a folder: the rename fails, the partial file goes away.
  fs::create_directory(dir / "taken.json");
  test::write_file_text(dir / "taken.json" / "keep", "k");
  auto r = write_file_atomic(dir / "taken.json", std::string_view("x"));
  ASSERT_FALSE(r.has_value());
  EXPECT_NE(r.error().find("(os error "), std::string::npos) << r.error();
  EXPECT_FALSE(fs::exists(partial_path(dir / "taken.json")));
  EXPECT_EQ(test::read_file_text(dir / "taken.json" / "keep"), "k");

  {
    PendingFile pending(path);
    ASSERT_TRUE(reserve_partial(pending).has_value());
    test::write_file_text(pending.partial, "half");
  }
  EXPECT_FALSE(fs::exists(partial_path(path)));
  EXPECT_EQ(test::read_file_text(path), "second");
}

// Regression: a dropped pending file removed whatever had its partial name, even a folder it
// had not made. Only a regular file at the partial name is taken (as a leftover of a build
// that died); a folder or link there is left as it is and refused.
TEST(OutputFiles, PartialNameTakenByAnotherEntryIsLeftAlone) {
  struct Case {
    const char* name;
    void (*make)(const fs::path& at);
  };
  const Case cases[] = {
      {"empty folder", [](const fs::path& at) { fs::create_directory(at); }},
      {"link to a file", [](const fs::path& at) {
         test::write_file_text(at.string() + ".target", "target");
         fs::create_symlink(at.string() + ".target", at);
       }},
      {"dangling link", [](const fs::path& at) { fs::create_symlink(at.string() + ".nowhere", at); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const fs::path path = dir / "ortho.tif";
    const fs::path partial = partial_path(path);
    c.make(partial);
    const fs::file_status before = fs::symlink_status(partial);
    {
      PendingFile pending(path);
      auto r = reserve_partial(pending);
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error(), "cannot create " + partial.string() + ": File exists (os error 17)");
    }
    EXPECT_EQ(fs::symlink_status(partial).type(), before.type());
    auto w = write_file_atomic(path, std::string_view("x"));
    ASSERT_FALSE(w.has_value());
    EXPECT_EQ(fs::symlink_status(partial).type(), before.type());
    EXPECT_FALSE(fs::exists(fs::symlink_status(path)));
  }
}

// Files of one build replace the previous build's together or not at all; a folder in the
// way of one of them fails the commit before any other file was replaced.
TEST(OutputFiles, CommitReplacesAllFilesOrNone) {
  test::TempDir dir;
  const fs::path a = dir / "o.tif", b = dir / "o_seams.npz", c = dir / "o_report.json";
  for (const fs::path& p : {a, b}) test::write_file_text(p, "old " + p.filename().string());
  fs::create_directories(c / "inside");
  {
    BuildOutputs outputs;
    for (const fs::path& p : {a, b, c}) {
      auto partial = add_output(outputs, p);
      ASSERT_TRUE(partial.has_value()) << partial.error();
      test::write_file_text(*partial, "new");
    }
    auto r = commit_outputs(outputs, a);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), "cannot write " + c.string() + ": Is a directory (os error 21)");
  }
  EXPECT_EQ(test::read_file_text(a), "old o.tif");
  EXPECT_EQ(test::read_file_text(b), "old o_seams.npz");
  for (const fs::path& p : {a, b, c}) EXPECT_FALSE(fs::exists(partial_path(p))) << p;

  fs::remove_all(c);
  BuildOutputs outputs;
  for (const fs::path& p : {a, b, c}) {
    auto partial = add_output(outputs, p);
    ASSERT_TRUE(partial.has_value()) << partial.error();
    test::write_file_text(*partial, "new");
  }
  ASSERT_TRUE(commit_outputs(outputs, a).has_value());
  for (const fs::path& p : {a, b, c}) {
    EXPECT_EQ(test::read_file_text(p), "new") << p;
    EXPECT_FALSE(fs::exists(partial_path(p))) << p;
  }
}

// Regression: terrain and seam files of an earlier build stayed beside a new mosaic that had
// none, as if they were its own. The commit removes every file of the output's name the build
// did not write, and leftover partial files of those names, but nothing a running build holds,
// no folder and no file of another name.
TEST(OutputFiles, CommitRemovesTheOutputsOfItsNameItDidNotWrite) {
  test::TempDir dir;
  const fs::path out = dir / "o.tif";
  const std::vector<std::string> written = {"o.tif", "o.tfw", "o_report.json"};
  const std::vector<std::string> stale = {"o_surface.npz", "o_dsm.tif", "o_seams.npz", "o_preview.jpg",
                                          "o_preview_neutral.jpg", "o_seams.partial.npz", "o.partial.tif"};
  const std::vector<std::string> kept = {"other.tif", "other_dsm.tif", "o_notes.txt", "o_dsm.partial.tif"};
  for (const auto& names : {written, stale, kept})
    for (const std::string& name : names) test::write_file_text(dir / name, "old");
  fs::create_directory(dir / "o_preview_mask.png");
  // A link goes, not what it points at.
  fs::create_symlink(dir / "other.tif", dir / "o_diagnostics.zip");
  // A second build into the same output, still writing its DSM.
  PendingFile running(dir / "o_dsm.tif");
  ASSERT_TRUE(reserve_partial(running).has_value());
  test::write_file_text(running.partial, "being written");

  BuildOutputs outputs;
  for (const std::string& name : written) {
    auto partial = add_output(outputs, dir / name);
    ASSERT_TRUE(partial.has_value()) << partial.error();
    test::write_file_text(*partial, "new");
  }
  ASSERT_TRUE(commit_outputs(outputs, out).has_value());
  for (const std::string& name : written) EXPECT_EQ(test::read_file_text(dir / name), "new") << name;
  for (const std::string& name : stale) EXPECT_FALSE(fs::exists(fs::symlink_status(dir / name))) << name;
  for (const char* name : {"other.tif", "other_dsm.tif", "o_notes.txt"})
    EXPECT_EQ(test::read_file_text(dir / name), "old") << name;
  EXPECT_EQ(test::read_file_text(running.partial), "being written");
  EXPECT_TRUE(fs::is_directory(dir / "o_preview_mask.png"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "o_diagnostics.zip")));
}

// An output that is not a regular file would be replaced by one; a folder that takes no new
// file would fail only after the long stages. Both are found before any stage runs, and the
// check leaves nothing behind but the output's folder.
TEST(OutputFiles, CheckOutputTarget) {
  test::TempDir dir;
  fs::create_directory(dir / "folder.tif");
  const bool have_fifo = test::run_command("mkfifo " + test::shell_quote((dir / "pipe.tif").string())).exit_code == 0;
  fs::create_directory(dir / "stale");
  test::write_file_text(dir / "stale" / "ortho.partial.tif", "left by a killed build");
  struct Case {
    std::string name;
    fs::path output;
    std::string error;  // empty: accepted
  };
  std::vector<Case> cases = {
      {"new file in a new folder", dir / "a" / "b" / "ortho.tif", ""},
      {"folder", dir / "folder.tif", "output " + (dir / "folder.tif").string() + " is a folder, not a file"},
      // Regression: the side files were renamed into place as "_seams.npz" before the mosaic's
      // rename failed.
      {"no file name", "", "output  names no file"},
      {"folder name only", dir.path() / "x" / "", "output " + (dir.path() / "x" / "").string() + " names no file"},
      // Left by a build that was killed: taken over and removed, never in the way.
      {"leftover partial file", dir / "stale" / "ortho.tif", ""},
  };
  if (have_fifo)
    cases.push_back({"FIFO", dir / "pipe.tif", "output " + (dir / "pipe.tif").string() + " is a FIFO, not a file"});
  if (fs::exists("/dev/null")) cases.push_back({"device", "/dev/null", "output /dev/null is a device, not a file"});
  if (fs::is_directory("/proc/self"))
    cases.push_back({"folder that takes no file", "/proc/self/ortho.tif", "cannot create /proc/self/ortho.partial.tif: "});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = check_output_target(c.output);
    if (c.error.empty()) {
      EXPECT_TRUE(r.has_value()) << r.error();
      EXPECT_TRUE(fs::is_directory(c.output.parent_path()));
      EXPECT_TRUE(fs::is_empty(c.output.parent_path()));
    } else {
      ASSERT_FALSE(r.has_value());
      EXPECT_TRUE(r.error().starts_with(c.error)) << r.error();
    }
  }
  EXPECT_TRUE(fs::is_directory(dir / "folder.tif"));
  EXPECT_FALSE(fs::exists(dir / "stale" / "ortho.partial.tif"));
  if (have_fifo) {
    EXPECT_EQ(fs::status(dir / "pipe.tif").type(), fs::file_type::fifo);
  }
  if (fs::exists("/dev/null")) {
    EXPECT_EQ(fs::status("/dev/null").type(), fs::file_type::character);
  }
}

TEST(OutputFiles, ReadTextFile) {
  test::TempDir dir;
  test::write_file_text(dir / "a.json", "{\"k\": \"\xc3\xa9\"}");
  auto ok = read_text_file(dir / "a.json");
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(*ok, "{\"k\": \"\xc3\xa9\"}");
  test::write_file_bytes(dir / "b.json", {0xff, 0xfe});
  EXPECT_EQ(read_text_file(dir / "b.json").error(), "stream did not contain valid UTF-8");
  EXPECT_EQ(read_text_file(dir / "c.json").error(), "No such file or directory (os error 2)");
  EXPECT_FALSE(read_text_file(dir.path()).has_value());
}

}  // namespace
}  // namespace tsl
