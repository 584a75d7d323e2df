// The errors of failed file operations: each cause gets the engine's own
// number from the engine and the file system's number from the program's own
// file operations, through the mapping and through real failing creates.
#include "harness.h"
#include "repair_fs.h"

#include <gtest/gtest.h>

#include <cerrno>

using namespace repairtest;
using engine::FileLayer;

namespace {

struct Cause {
    const char* name;
    int errnoValue;
    long engine;
    long program;
};

void PrintTo(const Cause& c, std::ostream* os) {
    *os << c.name;
}

long raisedNumber(int e, FileLayer layer) {
    try {
        engine::raiseFileError(e, "/some/file", layer, "Cannot write");
    } catch (const engine::Error& error) {
        EXPECT_NE(error.Text().find("/some/file"), std::string::npos) << error.Text();
        return error.Number();
    }
    return 0;
}

class FileErrorTest : public testing::TestWithParam<Cause> {};

TEST_P(FileErrorTest, EachLayerReportsItsOwnNumber) {
    const Cause& c = GetParam();
    EXPECT_EQ(raisedNumber(c.errnoValue, FileLayer::Engine), c.engine);
    EXPECT_EQ(raisedNumber(c.errnoValue, FileLayer::Program), c.program);
}

namespace err = engine::err;

INSTANTIATE_TEST_SUITE_P(
    Causes, FileErrorTest,
    testing::Values(Cause{"Missing", ENOENT, err::CannotFindFile, err::FileNotFound},
                    Cause{"NotAFolder", ENOTDIR, err::CannotFindFile, err::PathNotFound},
                    Cause{"Permission", EACCES, err::ReadOnlyFile, err::PermissionDenied},
                    Cause{"ReadOnlyFileSystem", EROFS, err::ReadOnlyFile, err::PermissionDenied},
                    Cause{"DiskFull", ENOSPC, err::IoFailure, err::DiskFull},
                    Cause{"TooLarge", EFBIG, err::IoFailure, err::DiskFull},
                    Cause{"InputOutput", EIO, err::IoFailure, err::PathFileAccess},
                    Cause{"Other", EBADF, err::PathFileAccess, err::PathFileAccess}),
    [](const testing::TestParamInfo<Cause>& c) { return std::string(c.param.name); });

// A temporary file the system refuses to create raises in its layer's numbers
// and leaves nothing behind.
TEST(TempFile, RefusedCreateRaisesInItsLayer) {
    TempDir dir;
    writeFile(dir.at("plain"), "x");
    const struct {
        std::string target;
        long engine;
        long program;
    } rows[] = {{dir.at("missing/Books.M17"), err::CannotFindFile, err::FileNotFound},
                {dir.at("plain/Books.M17"), err::CannotFindFile, err::PathNotFound}};
    for (const auto& row : rows) {
        for (FileLayer layer : {FileLayer::Engine, FileLayer::Program}) {
            long number = 0;
            try {
                engine::TempFile t(row.target, "tmp", 0600, layer);
            } catch (const engine::Error& e) {
                number = e.Number();
            }
            EXPECT_EQ(number, layer == FileLayer::Engine ? row.engine : row.program) << row.target;
        }
    }
    EXPECT_EQ(snapshot(dir.work()).size(), 1u);
}

// Every way out of a temporary file's life: removed when dropped, vacated
// but still removed, renamed over its target, released to its new owner.
TEST(TempFile, RemovedUnlessRenamedOrReleased) {
    TempDir dir;
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
    EXPECT_EQ(snapshot(dir.work()).size(), 2u);
}

} // namespace
