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

// Each cause in each layer, the file named in the text. A temporary file
// under a missing folder or a plain file fails to be created with that cause
// and leaves nothing behind.
TEST(FileErrors, EachLayerReportsItsOwnNumber) {
    const struct {
        int errnoValue;
        long engine, program;
        const char* target;
    } causes[] = {{ENOENT, err::CannotFindFile, err::FileNotFound, "missing/Books.M17"},
                  {ENOTDIR, err::CannotFindFile, err::PathNotFound, "plain/Books.M17"},
                  {EACCES, err::ReadOnlyFile, err::PermissionDenied, nullptr},
                  {EROFS, err::ReadOnlyFile, err::PermissionDenied, nullptr},
                  {ENOSPC, err::IoFailure, err::DiskFull, nullptr},
                  {EFBIG, err::IoFailure, err::DiskFull, nullptr},
                  {EIO, err::IoFailure, err::PathFileAccess, nullptr},
                  {EBADF, err::PathFileAccess, err::PathFileAccess, nullptr}};
    TempDir dir("repair-test");
    writeFile(dir / "plain", "x");
    for (const auto& c : causes)
        for (FileLayer layer : {FileLayer::Engine, FileLayer::Program}) {
            SCOPED_TRACE(testing::Message()
                         << "errno " << c.errnoValue << " in layer " << static_cast<int>(layer));
            const long expected = layer == FileLayer::Engine ? c.engine : c.program;
            try {
                engine::raiseFileError(c.errnoValue, "/a/file", layer, "Cannot");
            } catch (const engine::Error& e) {
                EXPECT_EQ(e.Number(), expected);
                EXPECT_NE(e.Text().find("/a/file"), std::string::npos) << e.Text();
            }
            if (c.target) {
                EXPECT_EQ(errorOf([&] { engine::TempFile(dir / c.target, "tmp", 0600, layer); }),
                          expected);
            }
        }
    EXPECT_EQ(dir.names(), std::set<std::string>{"plain"});
}

// Removed when dropped, vacated but still removed, renamed over its target,
// released to its new owner.
TEST(TempFile, RemovedUnlessRenamedOrReleased) {
    TempDir dir("repair-test");
    const std::string target = dir / "Books.M17";
    writeFile(target, "old");
    std::string name;
    {
        engine::TempFile t(target, "tmp", 0600, FileLayer::Program, true);
        name = t.path();
        ASSERT_EQ(name.rfind(target + ".tmp-", 0), 0u) << name;
        ASSERT_GE(t.fd(), 0);
        t.vacate();
        EXPECT_FALSE(fs::exists(name));
        writeFile(name, "someone else's");
    }
    EXPECT_FALSE(fs::exists(name));
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
        ASSERT_EQ(::link(t.path().c_str(), (dir / "linked").c_str()), 0);
        name = t.path();
        t.release();
        ::unlink(name.c_str());
    }
    EXPECT_TRUE(fs::exists(dir / "linked"));
    EXPECT_EQ(dir.names(), (std::set<std::string>{"Books.M17", "linked"}));
}

} // namespace
