// The report file's name: the target as given, in the ANSI code page (UTF-8
// on Linux), without every "\\?\UNC\", then without every "\\" (left to
// right, no overlap), every "\" and "/" left a "-", then "-<start time>.txt".
#include <gtest/gtest.h>

#include "platform/text_conversion.h"
#include "report/report_file.h"

namespace {

TEST(ReportFileNameRules, FromTheTargetAsGivenAndTheStartTime)
{
    const struct {
        WString target;
        std::time_t startTime;
        const char* expected;
    } cases[] = {
        {WSTR("\\\\fs01\\users\\ann"), 1700000000, "fs01-users-ann-1700000000.txt"},
        // Both forms of a share give one name.
        {WSTR("\\\\?\\UNC\\fs01\\users\\ann"), 1700000000, "fs01-users-ann-1700000000.txt"},
        {WSTR("\\\\?\\unc\\fs01\\users"), 0, "?-unc-fs01-users-0.txt"},  // the prefix is matched in its case only
        // A trailing backslash gives a doubled hyphen.
        {WSTR("\\\\fs01\\users\\"), 5, "fs01-users--5.txt"},
        // Three backslashes leave one.
        {WSTR("\\\\\\srv\\share"), 1, "-srv-share-1.txt"},
        // The prefix goes wherever it stands, before the doubled backslashes.
        {WSTR("\\\\srv\\a\\\\?\\UNC\\b"), 2, "srv-ab-2.txt"},
        // Forward slashes separate folders too.
        {WSTR("\\\\srv\\share/dir/../x"), 3, "srv-share-dir-..-x-3.txt"},
        // A drive letter path keeps its colon.
        {WSTR("D:\\data"), 4, "D:-data-4.txt"},
        {WString(), 6, "-6.txt"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(reportFileName(c.target, c.startTime), c.expected) << utf8Text(c.target);
    }
}

// Letters beyond ASCII are the ANSI code page's bytes: UTF-8 here, escaped
// bytes of a non-UTF-8 name as they were, any other lone surrogate the
// default character.
TEST(ReportFileNameRules, TakesTheAnsiCodePagesBytes)
{
    EXPECT_EQ(reportFileName(WSTR("\\\\srv\\Gr\u00fc\u00dfe"), 7), "srv-Gr\xc3\xbc\xc3\x9f" "e-7.txt");
    EXPECT_EQ(reportFileName(WString(WSTR("\\\\srv\\x")) + WCHAR(0xDCE9), 8), "srv-x\xe9-8.txt");
    EXPECT_EQ(reportFileName(WString(WSTR("\\\\srv\\x")) + WCHAR(0xD800), 9), "srv-x?-9.txt");
}

// A name may hold 255 bytes. One that fits stays as it is, to the last
// byte; a longer one keeps its start, cut where "~", 16 hexadecimal digits
// of a hash (FNV-1a, 64 bits) of the whole part before the seconds, and the
// seconds fit in 255 bytes. Targets that differ only beyond the cut get
// different names, and a cut never splits a UTF-8 character.
TEST(ReportFileNameRules, ANameTooLongForTheFileSystemIsCutAndGetsAHashOfTheWhole)
{
    const WString server = WSTR("\\\\srv\\");
    const struct {
        const char* what;
        WString target;
        std::string expected;
    } cases[] = {
        {"255 bytes: as it is", server + WString(236, u'a'), "srv-" + std::string(236, 'a') + "-1700000000.txt"},
        {"256 bytes: cut", server + WString(237, u'a'),
         "srv-" + std::string(219, 'a') + "~55a8cf9f0bd22698-1700000000.txt"},
        {"256 bytes, another end", server + WString(236, u'a') + WSTR("b"),
         "srv-" + std::string(219, 'a') + "~55a8d29f0bd22bb1-1700000000.txt"},
        {"a two-byte character across the cut", server + WString(218, u'x') + WString(20, u'\u00fc'),
         "srv-" + std::string(218, 'x') + "~ebd69dc146ac18d5-1700000000.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string name = reportFileName(c.target, 1700000000);
        EXPECT_EQ(name, c.expected);
        EXPECT_LE(name.size(), 255u);
    }
    // Both forms of one share still give one name.
    EXPECT_EQ(reportFileName(WSTR("\\\\?\\UNC\\srv\\") + WString(237, u'a'), 1700000000),
              reportFileName(server + WString(237, u'a'), 1700000000));
}

}  // namespace
