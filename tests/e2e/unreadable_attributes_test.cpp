// Files whose attributes the account may not read (no read permission, no
// backup privilege): the run reports that it could not read them, it never
// counts them as files that are not placeholders.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/e2e/normal_mode_fixtures.h"
#include "tests/support/test_support.h"
#include "tools/tree_builder.h"

using namespace testsupport;
using namespace normalmode;

namespace {

TEST(UnreadableAttributes, AFileWhoseAttributesCannotBeReadIsAFailureToRead)
{
    TempDir share;
    placeholder(share / "archived.doc", treebuilder::PlaceholderKind::Good);
    treebuilder::makeFile(wideUncPath(share / "plain.txt"), plainFile(10));
    ::chmod((share / "archived.doc").c_str(), 0);
    ::chmod((share / "plain.txt").c_str(), 0);

    for (const char* name : {"archived.doc", "plain.txt"}) {
        TempDir work;
        ::chmod(work.path().c_str(), 0777);
        RunResult result = runAsNobody({uncPath(share / name)}, {.workingDirectory = work.path()});
        EXPECT_EQ(result.exitCode, 0) << name;
        EXPECT_EQ(onlyReportBytes(work.path()),
                  utf16le(reportPath(share / name) + ", Failed to interogate file due to Error:CreateFile:5\n" +
                          summary(1, 1, 0, 0, 0, 0, 0, 0)))
            << name;
    }
}

}  // namespace
