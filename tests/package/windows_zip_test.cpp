// The Windows zip in dist/: every file it must hold and nothing else, and in
// each program the version resource and the manifest that Windows reads,
// taken out of the PE resource section with wrestool (icoutils).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>
#include <sstream>

#include "tests/support/document_links.h"
#include "tests/support/release_artefacts.h"
#include "tests/support/test_support.h"

using namespace testsupport;

namespace {

// One block of a VS_VERSIONINFO resource: wLength, wValueLength, wType
// (1: text), the key in UTF-16, then the value and the children, each
// aligned to 4 bytes from the start of the resource.
struct VersionBlock {
    std::string key;    // as UTF-8
    std::string value;  // text as UTF-8 without its NUL, or the bytes
    std::vector<VersionBlock> children;

    [[nodiscard]] const VersionBlock* child(const std::string& name) const
    {
        for (const VersionBlock& block : children) {
            if (block.key == name) {
                return &block;
            }
        }
        return nullptr;
    }
};

std::uint16_t word(const std::string& data, std::size_t at)
{
    if (at + 2 > data.size()) {
        throw std::runtime_error("the version resource ends inside a block");
    }
    return static_cast<std::uint16_t>(static_cast<unsigned char>(data[at]) | static_cast<unsigned char>(data[at + 1]) << 8);
}

std::size_t aligned(std::size_t at) { return (at + 3) & ~std::size_t{3}; }

VersionBlock parseBlock(const std::string& data, std::size_t start)
{
    const std::size_t end = start + word(data, start);
    const std::uint16_t valueLength = word(data, start + 2);
    const bool text = word(data, start + 4) == 1;
    if (end > data.size() || end < start + 6) {
        throw std::runtime_error("a block's length lies outside the resource");
    }
    VersionBlock block;
    std::size_t at = start + 6;
    std::string key16;
    for (; word(data, at) != 0; at += 2) {
        key16 += data.substr(at, 2);
    }
    block.key = fromUtf16le(key16);
    at = aligned(at + 2);
    // A text value's length counts UTF-16 units, its NUL included.
    const std::size_t valueBytes = text ? std::size_t{valueLength} * 2 : valueLength;
    if (at + valueBytes > end) {
        throw std::runtime_error("the value of \"" + block.key + "\" runs past its block");
    }
    block.value = data.substr(at, valueBytes);
    if (text) {
        std::size_t units = 0;
        while (units * 2 + 1 < block.value.size() && word(block.value, units * 2) != 0) {
            ++units;
        }
        block.value = fromUtf16le(block.value.substr(0, units * 2));
    }
    for (at = aligned(at + valueBytes); at < end; at = aligned(at + word(data, at))) {
        block.children.push_back(parseBlock(data, at));
    }
    return block;
}

std::uint32_t dword(const std::string& data, std::size_t at) { return word(data, at) | std::uint32_t{word(data, at + 2)} << 16; }

// A resource of the exe, raw, as wrestool extracts it.
std::string resource(const std::string& exe, const std::string& type)
{
    RunResult extracted = runProgram("/usr/bin/wrestool", {"--extract", "--raw", "--type=" + type, "--name=1", exe});
    EXPECT_EQ(extracted.exitCode, 0) << extracted.standardError;
    EXPECT_FALSE(extracted.standardOutput.empty()) << exe << " has no resource of type " << type;
    return extracted.standardOutput;
}

}  // namespace

TEST(WindowsZip, HoldsEveryFileOfTheReleaseAndNothingElse)
{
    const std::string top = windowsZipFolder() + "/";
    std::set<std::string> expected = {
        top + "README.md",
        top + "docs/",
        top + "docs/building.md",
        top + "docs/performance.md",
        top + "docs/platform-differences.md",
        top + "docs/rehearsal-trees.md",
        top + "docs/nightly-audits.md",
        top + "docs/ntfs-volumes.md",
        top + "docs/tests.md",
        top + "man/",
        top + "samples/",
        top + "samples/sample-share.tree",
    };
    for (const std::string& name : releasePrograms()) {
        expected.insert(top + name + ".exe");
        expected.insert(top + "man/" + name + ".1.txt");
    }
    RunResult listing = runProgram("/usr/bin/unzip", {"-Z1", windowsZipPath()});
    ASSERT_EQ(listing.exitCode, 0) << windowsZipPath() << " (scripts/build-packages.sh makes it):\n"
                                   << listing.standardError;
    std::set<std::string> actual;
    std::istringstream lines(listing.standardOutput);
    for (std::string line; std::getline(lines, line);) {
        actual.insert(line);
    }
    EXPECT_EQ(actual, expected) << "unzip -Z1:\n" << listing.standardOutput;
}

TEST(WindowsZip, EveryProgramCarriesItsVersionResource)
{
    TempDir unpacked;
    unpackWindowsZip(unpacked.path());
    const std::string version = projectVersion();
    unsigned major = 0, minor = 0, patch = 0;
    ASSERT_EQ(std::sscanf(version.c_str(), "%u.%u.%u", &major, &minor, &patch), 3) << version;
    for (const std::string& name : releasePrograms()) {
        SCOPED_TRACE(name);
        const std::string exe = unpacked / (windowsZipFolder() + "/" + name + ".exe");
        VersionBlock root = parseBlock(resource(exe, "16"), 0);
        EXPECT_EQ(root.key, "VS_VERSION_INFO");

        // VS_FIXEDFILEINFO: the signature, then file and product versions
        // as major << 16 | minor, patch << 16 | 0; an application for NT.
        const std::string& fixed = root.value;
        ASSERT_EQ(fixed.size(), 52u);
        EXPECT_EQ(dword(fixed, 0), 0xFEEF04BDu);
        for (std::size_t at : {8u, 16u}) {
            EXPECT_EQ(dword(fixed, at), major << 16 | minor);
            EXPECT_EQ(dword(fixed, at + 4), patch << 16);
        }
        EXPECT_EQ(dword(fixed, 32), 0x00040004u);  // VOS_NT_WINDOWS32
        EXPECT_EQ(dword(fixed, 36), 1u);           // VFT_APP

        const VersionBlock* strings = root.child("StringFileInfo");
        ASSERT_NE(strings, nullptr);
        ASSERT_EQ(strings->children.size(), 1u);
        const VersionBlock& table = strings->children.front();
        EXPECT_EQ(table.key, "040904B0");  // US English, UTF-16
        std::map<std::string, std::string> values;
        for (const VersionBlock& entry : table.children) {
            values[entry.key] = entry.value;
        }
        ASSERT_NE(values.count("FileDescription"), 0u);
        EXPECT_FALSE(values["FileDescription"].empty());
        EXPECT_EQ(values, (std::map<std::string, std::string>{{"ProductName", "Stubwarden"},
                                                              {"ProductVersion", version},
                                                              {"FileDescription", values["FileDescription"]},
                                                              {"FileVersion", version},
                                                              {"InternalName", name},
                                                              {"OriginalFilename", name + ".exe"}}));
        const VersionBlock* translations = root.child("VarFileInfo");
        ASSERT_NE(translations, nullptr);
        ASSERT_NE(translations->child("Translation"), nullptr);
        EXPECT_EQ(translations->child("Translation")->value, bytes("09 04 b0 04"));

        std::cout << name << ".exe:";
        for (const auto& [key, value] : values) {
            std::cout << " " << key << "=\"" << value << "\"";
        }
        std::cout << std::endl;
    }
}

TEST(WindowsZip, EveryProgramAsksToRunAsItsCaller)
{
    TempDir unpacked;
    unpackWindowsZip(unpacked.path());
    for (const std::string& name : releasePrograms()) {
        SCOPED_TRACE(name);
        const std::string manifest = resource(unpacked / (windowsZipFolder() + "/" + name + ".exe"), "24");
        EXPECT_NE(manifest.find(R"(<requestedExecutionLevel level="asInvoker" uiAccess="false"/>)"), std::string::npos)
            << manifest;
        EXPECT_NE(manifest.find(R"(name="Stubwarden.)" + name + R"(" version=")" + projectVersion() + ".0\""),
                  std::string::npos)
            << manifest;
        // The code page the program works in stays the system's ANSI one.
        EXPECT_EQ(manifest.find("activeCodePage"), std::string::npos) << manifest;
    }
}

// The manual pages, as text made from the same sources as the Debian
// package's: each names its program and the version, has the sections of a
// manual page, and the main program's gives its synopsis and error codes.
TEST(WindowsZip, HoldsEveryManualPageAsText)
{
    TempDir unpacked;
    unpackWindowsZip(unpacked.path());
    for (const std::string& name : releasePrograms()) {
        SCOPED_TRACE(name);
        const std::string text = readFileBytes(unpacked / (windowsZipFolder() + "/man/" + name + ".1.txt"));
        EXPECT_EQ(text.find_first_not_of('\n'), text.find(name + "(1)")) << text;
        for (const char* section : {"\nNAME\n", "\nSYNOPSIS\n", "\nDESCRIPTION\n", "\nOPTIONS\n", "\nEXIT STATUS\n",
                                    "\nEXAMPLES\n", "\nSEE ALSO\n"}) {
            EXPECT_NE(text.find(section), std::string::npos) << section << " in\n" << text;
        }
        EXPECT_NE(text.find("Stubwarden " + projectVersion()), std::string::npos) << text;
        // Plain text: no terminal escapes, no overstrikes, only ASCII.
        for (char c : text) {
            ASSERT_TRUE(c == '\n' || (c >= ' ' && c <= '~')) << "byte " << int(static_cast<unsigned char>(c));
        }
    }
    // The main program's synopsis and its error codes, as the page has them.
    const std::string page = readFileBytes(unpacked / (windowsZipFolder() + "/man/stubwarden.1.txt"));
    for (const char* expected : {"stubwarden [-v] [-d] [-fixphs] [-ArchiveUsage] target", "\nERRORS\n",
                                 "Failed to fix:CreateFile:5"}) {
        EXPECT_NE(page.find(expected), std::string::npos) << expected << " in\n" << page;
    }
}

// The README's links, and those of the documents in docs/, lead to files
// that the zip holds beside them.
TEST(WindowsZip, TheDocumentsLinksResolveInsideTheZip)
{
    TempDir unpacked;
    unpackWindowsZip(unpacked.path());
    expectLinksResolve(unpacked / windowsZipFolder());
}
