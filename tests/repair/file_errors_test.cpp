// The errors of failed file operations: each cause gets the engine's own
// number from the engine and the file system's number from the program's own
// file operations, through the mapping and through real failing creates; and
// every way out of a temporary file's life.
#include "fileops.h"
#include "harness.h"

#include <cerrno>

using namespace testsupport;
using engine::FileLayer;
namespace err = engine::err;

namespace {

struct Cause {
    const char* name;
    int errnoValue;
    long engine, program;
    const char* target; // a temporary file beside it fails to be created with this cause
};

void PrintTo(const Cause& c, std::ostream* os) {
    *os << c.name;
}

class FileErrorTest : public testing::TestWithParam<Cause> {};

TEST_P(FileErrorTest, EachLayerReportsItsOwnNumber) {
    const Cause& c = GetParam();
    for (FileLayer layer : {FileLayer::Engine, FileLayer::Program}) {
        const long expected = layer == FileLayer::Engine ? c.engine : c.program;
        std::string text;
        EXPECT_EQ(raised([&] { engine::raiseFileError(c.errnoValue, "/a/file", layer, "Cannot"); },
                         &text),
                  expected);
        EXPECT_NE(text.find("/a/file"), std::string::npos) << text;
        if (!c.target)
            continue;
        ScratchDir dir;
        writeFile(dir.at("plain"), "x");
        EXPECT_EQ(raised([&] { engine::TempFile(dir.at(c.target), "tmp", 0600, layer); }),
                  expected);
        EXPECT_EQ(snapshot(dir.work).size(), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Causes, FileErrorTest,
    testing::Values(
        Cause{"Missing", ENOENT, err::CannotFindFile, err::FileNotFound, "missing/Books.M17"},
        Cause{"NotAFolder", ENOTDIR, err::CannotFindFile, err::PathNotFound, "plain/Books.M17"},
        Cause{"Permission", EACCES, err::ReadOnlyFile, err::PermissionDenied, nullptr},
        Cause{"ReadOnlyFileSystem", EROFS, err::ReadOnlyFile, err::PermissionDenied, nullptr},
        Cause{"DiskFull", ENOSPC, err::IoFailure, err::DiskFull, nullptr},
        Cause{"TooLarge", EFBIG, err::IoFailure, err::DiskFull, nullptr},
        Cause{"InputOutput", EIO, err::IoFailure, err::PathFileAccess, nullptr},
        Cause{"Other", EBADF, err::PathFileAccess, err::PathFileAccess, nullptr}),
    [](const auto& row) { return std::string(row.param.name); });

// Removed when dropped, vacated but still removed, renamed over its target,
// released to its new owner.
TEST(TempFile, RemovedUnlessRenamedOrReleased) {
    ScratchDir dir;
    const std::string target = dir.at("Books.M17");
    writeFile(target, "old");
    std::string name;
    {
        engine::TempFile t(target, "tmp", 0600, FileLayer::Program, true);
        name = t.path();
        ASSERT_EQ(name.rfind(target + ".tmp-", 0), 0u) << name;
        ASSERT_GE(t.fd(), 0);
        t.vacate();
        EXPECT_FALSE(exists(name));
        writeFile(name, "someone else's");
    }
    EXPECT_FALSE(exists(name));
    {
        engine::TempFile t(target, "tmp", 0600, FileLayer::Program, true);
        ASSERT_EQ(::write(t.fd(), "new", 3), 3);
        t.renameOver();
        EXPECT_TRUE(t.path().empty());
    }
    EXPECT_EQ(readFile(target), "new");
    {
        engine::TempFile t(target, "compact", 0600);
        EXPECT_LT(t.fd(), 0); // closed at once unless asked to stay open
        ASSERT_EQ(::link(t.path().c_str(), dir.at("linked").c_str()), 0);
        name = t.path();
        t.release();
        ::unlink(name.c_str());
    }
    EXPECT_TRUE(exists(dir.at("linked")));
    EXPECT_EQ(snapshot(dir.work).size(), 2u);
}

} // namespace
