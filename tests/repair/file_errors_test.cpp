// The errors of failed file operations, the engine's numbers in the engine and
// the file system's in the program, and every way out of a temporary file's life.
#include "fileops.h"
#include "harness.h"

#include <cerrno>

using namespace testsupport;
using engine::FileLayer;
namespace err = engine::err;

namespace {

// Each cause in each layer, the file named in the text; a temporary file under
// a missing folder or a plain file fails with that cause and leaves nothing.
TEST(FileErrors, EachLayerReportsItsOwnNumber) {
    const std::tuple<int, long, long, const char*> causes[] = {
        {ENOENT, err::CannotFindFile, err::FileNotFound, "missing/Books.M17"},
        {ENOTDIR, err::CannotFindFile, err::PathNotFound, "plain/Books.M17"},
        {EACCES, err::ReadOnlyFile, err::PermissionDenied, nullptr},
        {EROFS, err::ReadOnlyFile, err::PermissionDenied, nullptr},
        {ENOSPC, err::IoFailure, err::DiskFull, nullptr},
        {EFBIG, err::IoFailure, err::DiskFull, nullptr},
        {EIO, err::IoFailure, err::PathFileAccess, nullptr},
        {EBADF, err::PathFileAccess, err::PathFileAccess, nullptr}};
    TempDir dir("repair-test");
    writeFile(dir / "plain", "x");
    for (const auto& [errnoValue, inEngine, inProgram, target] : causes)
        for (FileLayer layer : {FileLayer::Engine, FileLayer::Program}) {
            SCOPED_TRACE(testing::Message() << errnoValue << " in " << static_cast<int>(layer));
            const long expected = layer == FileLayer::Engine ? inEngine : inProgram;
            try {
                engine::raiseFileError(errnoValue, "/a/file", layer, "Cannot");
            } catch (const engine::Error& e) {
                EXPECT_EQ(e.Number(), expected);
                EXPECT_NE(e.Text().find("/a/file"), std::string::npos) << e.Text();
            }
            if (target) {
                EXPECT_EQ(
                    errorOf([&, at = dir / target] { engine::TempFile(at, "tmp", 0600, layer); }),
                    expected);
            }
        }
    EXPECT_EQ(dir.names(), std::set<std::string>{"plain"});
}

// Vacated yet removed when dropped, renamed over its target, released to a new owner.
TEST(TempFile, RemovedUnlessRenamedOrReleased) {
    TempDir dir("repair-test");
    const std::string target = dir / "Books.M17";
    writeFile(target, "old");
    std::string name;
    {
        engine::TempFile t(target, "tmp", 0600, FileLayer::Program, true);
        name = t.path();
        ASSERT_EQ(name.rfind(target + ".tmp-", 0), 0u) << name;
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
        name = t.path();
        t.release();
    }
    EXPECT_EQ(dir.names(), (std::set<std::string>{"Books.M17", fs::path(name).filename()}));
}

} // namespace
