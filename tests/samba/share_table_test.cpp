// Samba's share table as the platform layer reads it: configurations of
// every kind of share, made into testparm's output by the real testparm,
// and the folder (or ERROR_BAD_NET_NAME) that each share name gives.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <optional>
#include <pwd.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/posix/samba_shares.h"
#include "platform/posix/text_conversion.h"
#include "tests/samba/samba_server.h"

using namespace testsupport;

namespace {

// testparm's output for a configuration, run as the layer runs it.
std::optional<posix::SambaConfiguration> parsedConfiguration(const TempDir& folder, const std::string& config)
{
    const std::string path = folder / "smb.conf";
    std::ofstream(path, std::ios::trunc) << config;
    RunResult printed = runProgram(sambatest::findProgram("testparm"),
                                   {"--suppress-prompt", "--verbose", "--skip-logic-checks", path});
    EXPECT_EQ(printed.exitCode, 0) << printed.standardError;
    return posix::SambaConfiguration::parse(printed.standardOutput);
}

struct ShareCase {
    std::string share;
    std::optional<std::string> folder;  // nullopt: ERROR_BAD_NET_NAME
};

void expectFolders(const posix::SambaConfiguration& samba, const std::vector<ShareCase>& cases)
{
    for (const ShareCase& c : cases) {
        SCOPED_TRACE(c.share);
        std::string folder = "unchanged";
        DWORD error = samba.shareFolder(posix::decodeFileSystemBytes(c.share), folder);
        if (c.folder) {
            EXPECT_EQ(error, static_cast<DWORD>(ERROR_SUCCESS));
            EXPECT_EQ(folder, *c.folder);
        } else {
            EXPECT_EQ(error, static_cast<DWORD>(ERROR_BAD_NET_NAME));
            EXPECT_EQ(folder, "unchanged");
        }
    }
}

// An account every Debian system has, and its home folder.
std::string homeOf(const char* user)
{
    const struct passwd* account = ::getpwnam(user);
    return account != nullptr ? account->pw_dir : "";
}

}  // namespace

TEST(SambaShareTable, EachShareGivesItsFolderOrBadNetName)
{
    TempDir folder;
    std::ofstream(folder / "included.conf") << "[included]\n  path = /srv/included\n";
    std::optional<posix::SambaConfiguration> samba = parsedConfiguration(folder,
        "[global]\n"
        "  netbios name = fs01\n"
        "  include = " + folder / "included.conf" + "\n"
        "[users]\n  path = /srv/samba/users/\n"
        "[Dépôt]\n  path = /srv/dépôt\n"
        "[tidy]\n  path = /srv//tidy//\n"
        "[whole]\n  path = /\n"
        "[pers]\n  path = /srv/pers/%U\n"
        "[served]\n  path = /srv/%S\n"
        "[printer]\n  path = /var/spool/samba\n  printable = yes\n"
        "[off]\n  path = /srv/off\n  available = no\n"
        "[nopath]\n  comment = no path at all\n"
        "[relative]\n  path = srv/relative\n"
        "[proxy]\n  path = /srv/proxy\n  msdfs proxy = \\\\other\\share\n"
        "[percent]\n  path = /srv/100%\n"
        "[sale]\n  path = /srv/50%-off/%%\n"
        "[environment]\n  path = /srv/%$(TEAM)\n");
    ASSERT_TRUE(samba);
    expectFolders(*samba, {
        {"users", "/srv/samba/users"},
        {"USERS", "/srv/samba/users"},            // share names: ASCII case ignored
        {"included", "/srv/included"},            // from an included file
        {"Dépôt", "/srv/dépôt"},
        {"dépôt", "/srv/dépôt"},
        {"DÉPÔT", std::nullopt},                  // other letters' case is not
        {"tidy", "/srv/tidy"},
        {"whole", ""},                            // the root, to which "\rest" adds "/rest"
        {"pers", std::nullopt},                   // substitutions only a connection decides
        {"served", std::nullopt},
        {"percent", "/srv/100%"},                 // a '%' before no letter is no substitution
        {"sale", "/srv/50%-off/%%"},
        {"environment", std::nullopt},
        {"printer", std::nullopt},                // not a disk share
        {"off", std::nullopt},
        {"nopath", std::nullopt},
        {"relative", std::nullopt},
        {"proxy", std::nullopt},                  // served by another server
        {"nosuch", std::nullopt},
        {"global", std::nullopt},
        {"root", std::nullopt},                   // a user, but there is no [homes]
    });
}

// [homes] serves, for a share named like a user, that user's home folder,
// or its own path with the user's name put in.
TEST(SambaShareTable, HomesServesTheUserNamedAsTheShare)
{
    ASSERT_FALSE(homeOf("root").empty());
    ASSERT_FALSE(homeOf("nobody").empty());
    TempDir folder;
    std::optional<posix::SambaConfiguration> homeFolders =
        parsedConfiguration(folder, "[global]\n[homes]\n  browseable = no\n[nobody]\n  path = /srv/nobody\n");
    ASSERT_TRUE(homeFolders);
    expectFolders(*homeFolders, {
        {"root", homeOf("root")},
        {"ROOT", homeOf("root")},                 // the name in lower case, as Samba tries it
        {"nobody", "/srv/nobody"},                // a share of that name comes first
        {"homes", std::nullopt},                  // whose home would depend on who connects
        {"stubwarden-no-such-user", std::nullopt},
    });
    std::optional<posix::SambaConfiguration> templated =
        parsedConfiguration(folder, "[global]\n[homes]\n  path = /srv/homes/%S/%U/%u\n");
    ASSERT_TRUE(templated);
    expectFolders(*templated, {{"root", "/srv/homes/root/root/root"}, {"ROOT", "/srv/homes/root/root/root"}});
    std::optional<posix::SambaConfiguration> otherSubstitution =
        parsedConfiguration(folder, "[global]\n[homes]\n  path = /srv/homes/%G/%S\n");
    ASSERT_TRUE(otherSubstitution);
    expectFolders(*otherSubstitution, {{"root", std::nullopt}});
    std::optional<posix::SambaConfiguration> unavailable =
        parsedConfiguration(folder, "[global]\n[homes]\n  available = no\n");
    ASSERT_TRUE(unavailable);
    expectFolders(*unavailable, {{"root", std::nullopt}});
}

TEST(SambaShareTable, TheNetbiosNameAndAliasesNameThisHost)
{
    TempDir folder;
    std::optional<posix::SambaConfiguration> samba = parsedConfiguration(
        folder, "[global]\n  netbios name = fs01\n  netbios aliases = files, \"old one\" archive\n");
    ASSERT_TRUE(samba);
    const struct {
        std::string server;
        bool named;
    } cases[] = {
        {"fs01", true},   {"FS01", true},  {"files", true}, {"Archive", true},
        {"old one", true}, {"old", false}, {"fs02", false}, {"fs01.corp.example", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(samba->isNetbiosName(posix::decodeFileSystemBytes(c.server)), c.named) << c.server;
    }
    // Without a NetBIOS name of its own, Samba's is the host name's first
    // label in capitals.
    std::optional<posix::SambaConfiguration> defaulted = parsedConfiguration(folder, "[global]\n");
    ASSERT_TRUE(defaulted);
    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    std::string label(host, std::strcspn(host, "."));
    EXPECT_TRUE(defaulted->isNetbiosName(posix::decodeFileSystemBytes(label.substr(0, 15)))) << label;
}

TEST(SambaShareTable, WhatIsNotTestparmsOutputIsNoTable)
{
    for (const char* output : {"", "Load smb config files from /etc/samba/smb.conf\n", "[users]\n\tpath = /srv\n"}) {
        EXPECT_FALSE(posix::SambaConfiguration::parse(output)) << output;
    }
}
