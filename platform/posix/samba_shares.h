// The shares of this host, as Windows clients reach them through Samba.
//
// On Windows, \\fs01\users\ann goes to the SMB redirector, which asks the
// server fs01 for its share "users". On the Samba server itself the layer
// does the same from Samba's share table: when the server of a UNC path
// names this host, its share is looked up among Samba's shares, and the path
// names ann in that share's folder. The names of this host are its host name
// and fully qualified name, "localhost", "127.0.0.1", and Samba's NetBIOS
// name and aliases, all compared without regard to ASCII case.
//
// The table is what Samba's own parser makes of its configuration, includes
// and registry shares with it: the output of testparm, run once per process
// when a UNC path first needs it, with a fixed environment and a time limit.
// Without testparm, or when it fails, every UNC path keeps its literal
// meaning (\\srv\x\y is /srv/x/y), as it does for every other server. A
// server that is not the host's own name, whose literal /server/share
// exists, keeps it without asking: testparm is run only when the server may
// be this host.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/layer_private.h"
#include "platform/win32.h"

namespace posix {

// This host's NetBIOS names and its shares, as testparm prints them.
class SambaConfiguration {
public:
    // From the output of `testparm --suppress-prompt --verbose`; nullopt
    // when it holds no [global] section.
    static std::optional<SambaConfiguration> parse(std::string_view testparmOutput);

    // Whether `server` is the NetBIOS name or one of the NetBIOS aliases.
    [[nodiscard]] bool isNetbiosName(WStringView server) const;

    // The folder of the share `share`, as smbd would connect a client to
    // it: a share of that name (ASCII case ignored), or else [homes] for the
    // user of that name. ERROR_SUCCESS and its Linux path in `folder`, with
    // no '/' at its end (empty for the root); ERROR_BAD_NET_NAME when there is
    // no such share, or it is no disk share (a printer, unavailable, a DFS
    // proxy), or it has no absolute path, or its path holds substitutions
    // (%U, %S, ...) that only a client's connection decides.
    DWORD shareFolder(WStringView share, std::string& folder) const;

private:
    // One section's own values; the [global] section's stand in for those
    // a share does not set.
    struct Section {
        WString name;
        std::optional<std::string> path;
        std::optional<bool> printable;
        std::optional<bool> available;
        std::optional<std::string> msdfsProxy;
    };

    // The user whose [homes] share is asked for.
    struct HomesUser {
        std::string name;
        std::string home;
    };

    [[nodiscard]] const Section* find(WStringView name) const;
    DWORD diskFolder(const Section& share, const HomesUser* user, std::string& folder) const;

    Section global_;
    std::vector<Section> shares_;
    std::vector<WString> netbiosNames_;
};

// Where mapPath asks. `unc` is what follows "\\?\UNC\" or "\\":
// "server\share[\rest]", server and share not empty.
//   ERROR_SUCCESS, `consumed` 0: the server is not this host, or Samba is not
//     here; the path keeps its literal meaning.
//   ERROR_SUCCESS, `consumed` the length of "server\share" (the share's name
//     ends at '\', ':' or the end): `folder` is the share's folder, and the
//     rest of the path follows it.
//   ERROR_BAD_NET_NAME: the server is this host, and Samba serves no disk
//     share of that name from a folder of its own.
DWORD mapSambaShare(WStringView unc, std::string& folder, std::size_t& consumed);

}  // namespace posix
