// The XML component behind the archive point marker: encodings found from
// the byte-order mark or the declaration, queries, and documents with a
// DOCTYPE refused.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

#include "platform/text_conversion.h"
#include "platform/xml/xml_document.h"
#include "tests/support/test_support.h"

namespace {

struct Loaded {
    xml::DocumentBytes bytes;
    xml::Document document;
};

// Fills the bytes as the marker reader does and loads them.
bool load(Loaded& loaded, const std::string& content)
{
    EXPECT_TRUE(loaded.bytes.allocate(static_cast<ULONG>(content.size())));
    {
        xml::DataAccess access(loaded.bytes);
        EXPECT_EQ(access.result(), S_OK);
        if (!content.empty()) {
            std::memcpy(access.data(), content.data(), content.size());
        }
        EXPECT_EQ(access.unlock(), S_OK);
    }
    EXPECT_TRUE(loaded.document.create());
    return loaded.document.load(loaded.bytes);
}

std::optional<std::string> text(Loaded& loaded, const char16_t* path)
{
    std::optional<WString> found = loaded.document.selectFirstNodeText(path);
    if (!found) {
        return std::nullopt;
    }
    return utf8Text(*found);
}

TEST(XmlDocument, FindsTheEncodingFromTheByteOrderMarkOrTheDeclaration)
{
    const struct {
        const char* label;
        std::string bytes;
    } cases[] = {
        {"UTF-8 declared", "<?xml version=\"1.0\" encoding=\"UTF-8\"?><archivePoint><name>Caf\xC3\xA9</name></archivePoint>"},
        {"UTF-8 undeclared", "<archivePoint><name>Caf\xC3\xA9</name></archivePoint>"},
        {"UTF-8 with BOM", "\xEF\xBB\xBF<archivePoint><name>Caf\xC3\xA9</name></archivePoint>"},
        {"UTF-16LE with BOM",
         "\xFF\xFE" + testsupport::utf16le("<?xml version=\"1.0\"?><archivePoint><name>Caf\xC3\xA9</name></archivePoint>")},
        {"ISO-8859-1 declared",
         "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><archivePoint><name>Caf\xE9</name></archivePoint>"},
    };
    for (const auto& c : cases) {
        Loaded loaded;
        ASSERT_TRUE(load(loaded, c.bytes)) << c.label;
        EXPECT_EQ(text(loaded, u"/archivePoint/name"), std::optional<std::string>("Caf\xC3\xA9")) << c.label;
    }
}

TEST(XmlDocument, SelectsTheFirstNodeAtAnAbsolutePath)
{
    const struct {
        std::string document;
        const char16_t* path;
        std::optional<std::string> expected;
    } cases[] = {
        {"<archivePoint><archiveQEID>first</archiveQEID><archiveQEID>second</archiveQEID></archivePoint>",
         u"/archivePoint/archiveQEID", "first"},
        {"<archivePoint><archiveQEID/><name>n</name></archivePoint>", u"/archivePoint/archiveQEID", ""},
        {"<archivePoint><name>n</name></archivePoint>", u"/archivePoint/archiveQEID", std::nullopt},
        {"<other><archiveQEID>x</archiveQEID></other>", u"/archivePoint/archiveQEID", std::nullopt},
        {"<archivePoint><x><archiveQEID>deeper</archiveQEID></x></archivePoint>", u"/archivePoint/archiveQEID",
         std::nullopt},
        {"<archivePoint><ArchiveQEID>case</ArchiveQEID></archivePoint>", u"/archivePoint/archiveQEID", std::nullopt},
        {"<archivePoint a=\"1\"><name>a<b>b</b><![CDATA[<c>]]>&amp;&#x41;</name></archivePoint>",
         u"/archivePoint/name", "ab<c>&A"},
        {"<archivePoint><name>  padded  </name></archivePoint>", u"/archivePoint/name", "  padded  "},
    };
    for (const auto& c : cases) {
        Loaded loaded;
        ASSERT_TRUE(load(loaded, c.document)) << c.document;
        EXPECT_EQ(text(loaded, c.path), c.expected) << c.document;
    }
}

TEST(XmlDocument, BytesThatAreNoDocumentDoNotLoad)
{
    const std::string cases[] = {
        "",
        "<?xml version=\"1.0\"?>",
        "<archivePoint><name>unclosed</archivePoint>",
        "not xml at all",
        "<archivePoint/><second/>",
    };
    for (const std::string& bytes : cases) {
        Loaded loaded;
        EXPECT_FALSE(load(loaded, bytes)) << bytes;
    }
}

// A marker can be planted by anyone who can write to the folder, and the
// program reads it with the backup privilege: no DTD at all.
TEST(XmlDocument, DocumentsWithADoctypeDoNotLoad)
{
    testsupport::TempDir work;
    std::string secret = work / "secret.txt";
    {
        FILE* file = std::fopen(secret.c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fputs("top secret", file);
        std::fclose(file);
    }
    const std::string cases[] = {
        // external entity
        "<?xml version=\"1.0\"?><!DOCTYPE archivePoint [<!ENTITY x SYSTEM \"file://" + secret +
            "\">]><archivePoint><archiveQEID>&x;</archiveQEID></archivePoint>",
        // entity expansion bomb
        "<?xml version=\"1.0\"?><!DOCTYPE archivePoint [<!ENTITY a \"aaaaaaaaaa\">"
        "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">"
        "<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\"><!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\">"
        "<!ENTITY f \"&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;\"><!ENTITY g \"&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;\">"
        "<!ENTITY h \"&g;&g;&g;&g;&g;&g;&g;&g;&g;&g;\"><!ENTITY i \"&h;&h;&h;&h;&h;&h;&h;&h;&h;&h;\">]>"
        "<archivePoint><archiveQEID>&i;</archiveQEID></archivePoint>",
        // external DTD
        "<!DOCTYPE archivePoint SYSTEM \"file://" + secret + "\"><archivePoint><name>n</name></archivePoint>",
        // a bare DOCTYPE
        "<!DOCTYPE archivePoint><archivePoint><name>n</name></archivePoint>",
    };
    for (const std::string& bytes : cases) {
        Loaded loaded;
        EXPECT_FALSE(load(loaded, bytes)) << bytes;
    }
    // Without its DOCTYPE the document loads.
    Loaded loaded;
    EXPECT_TRUE(load(loaded, "<archivePoint><name>n</name></archivePoint>"));
}

}  // namespace
