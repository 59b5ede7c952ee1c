// CheckIsFolderAnArchivePoint on real folders with real marker streams: the
// answer, the identifier and name with their fallbacks, the out-strings left
// alone when there is no marker, and the messages of markers that do not load.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>
#include <unistd.h>

#include "runcontrol/scan_session.h"
#include "tests/support/test_support.h"
#include "tools/tree_builder.h"

using namespace testsupport;

namespace {

// A session for the test (its report goes to a folder of its own), and a
// share to put folders in.
class ArchivePointMarker : public ::testing::Test {
protected:
    void SetUp() override
    {
        char* previous = ::getcwd(nullptr, 0);
        previousDirectory_ = previous;
        std::free(previous);
        ASSERT_EQ(::chdir(work_.path().c_str()), 0);
        std::vector<WString> arguments = {u"stubwarden", u"-archiveusage", wideUncPath(share_.path())};
        std::vector<WCHAR*> argv;
        for (WString& argument : arguments) {
            argv.push_back(argument.data());
        }
        session_ = std::make_unique<ScanSession>(static_cast<int>(argv.size()), argv.data());
    }

    void TearDown() override
    {
        session_.reset();
        ASSERT_EQ(::chdir(previousDirectory_.c_str()), 0);
    }

    WString folderWithMarker(const std::string& name, const std::optional<std::string>& marker)
    {
        WString path = wideUncPath(share_ / name);
        treebuilder::makeFolder(path);
        if (marker) {
            treebuilder::makeArchivePoint(path, *marker);
        }
        return path;
    }

    TempDir work_;
    TempDir share_;
    std::string previousDirectory_;
    std::unique_ptr<ScanSession> session_;
};

TEST_F(ArchivePointMarker, NoMarkerLeavesTheOutStringsAlone)
{
    const WString paths[] = {
        folderWithMarker("plain", std::nullopt),
        wideUncPath(share_ / "missing"),
        wideUncPath(share_ / "missing/deeper"),
        u"\\\\?\\UNC\\no-such-server-h2\\share",
    };
    for (const WString& path : paths) {
        WString identifier = u"keep-id";
        WString name = u"keep-name";
        EXPECT_FALSE(session_->CheckIsFolderAnArchivePoint(path, identifier, name));
        EXPECT_EQ(identifier, u"keep-id");
        EXPECT_EQ(name, u"keep-name");
    }
}

TEST_F(ArchivePointMarker, IdentifierAndNameWithTheirFallbacks)
{
    const WString base = wideUncPath(share_.path());
    const struct {
        std::string folder;
        std::string marker;
        std::optional<WString> identifier;  // nullopt: the folder path
        WString name;
    } cases[] = {
        {"both", treebuilder::archivePointXml("Q-1", "Finance"), u"Q-1", u"Finance"},
        {"empty", "<archivePoint><archiveQEID/><name></name></archivePoint>", u"", u""},
        {"first", "<archivePoint><name>N1</name><archiveQEID>A</archiveQEID><archiveQEID>B</archiveQEID>"
                  "<name>N2</name></archivePoint>",
         u"A", u"N1"},
        {"other-root", "<archivePoints><archiveQEID>x</archiveQEID><name>y</name></archivePoints>", std::nullopt, u"other-root"},
        {"no-name", "<archivePoint><archiveQEID>only</archiveQEID></archivePoint>", u"only", u"no-name"},
    };
    for (const auto& c : cases) {
        WString path = folderWithMarker(c.folder, c.marker);
        WString identifier = u"before";
        WString name = u"before";
        EXPECT_TRUE(session_->CheckIsFolderAnArchivePoint(path, identifier, name)) << c.folder;
        EXPECT_EQ(identifier, c.identifier.value_or(path)) << c.folder;
        EXPECT_EQ(name, c.name) << c.folder;
    }
    // The stream of a path that ends in a backslash; its fallback name is empty.
    WString identifier;
    WString name = u"before";
    folderWithMarker("trailing", "<other/>");
    WString trailing = base + u"\\trailing\\";
    EXPECT_TRUE(session_->CheckIsFolderAnArchivePoint(trailing, identifier, name));
    EXPECT_EQ(identifier, trailing);
    EXPECT_EQ(name, u"");
}

TEST_F(ArchivePointMarker, AMarkerThatDoesNotLoadThrowsItsMessage)
{
    const std::string markers[] = {
        "",
        "<archivePoint>",
        "<!DOCTYPE archivePoint><archivePoint><archiveQEID>x</archiveQEID></archivePoint>",
    };
    int index = 0;
    for (const std::string& marker : markers) {
        WString path = folderWithMarker("bad" + std::to_string(index++), marker);
        WString identifier = u"keep";
        WString name = u"keep";
        try {
            session_->CheckIsFolderAnArchivePoint(path, identifier, name);
            ADD_FAILURE() << "no exception for: " << marker;
        } catch (const std::runtime_error& failure) {
            EXPECT_STREQ(failure.what(), "Failed to load archive point xml");
        }
        EXPECT_EQ(identifier, u"keep");
        EXPECT_EQ(name, u"keep");
    }
}

}  // namespace
