// A real Samba server for the interop suite: smbd on the loopback address,
// serving a temporary folder as a guest share with streams_xattr and
// "store dos attributes", and smbclient talking to it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>

#include "tests/support/test_support.h"

namespace sambatest {

// smbd with a private configuration, private lock, state, cache, pid and
// private folders, on a free high port of 127.0.0.1. Besides "share" it
// serves "users", "pers" (a folder per user: its path holds %U) and
// [homes], under the NetBIOS name kNetbiosName and the alias kNetbiosAlias. The constructor waits
// until the share answers smbclient and throws std::runtime_error (with
// smbd's log) when it does not; the destructor stops smbd and its helpers.
inline constexpr const char* kNetbiosName = "STUBWARDEN-FS";
inline constexpr const char* kNetbiosAlias = "SW-ARCHIVE";

// Samba's own clients (smbclient aside) connect to port 445 only, so the
// suite runs in a network namespace of its own where smbd may take that
// port on a loopback address nobody else sees. Call before any thread or
// child starts; false (and nothing changed) where this process may not
// make one.
bool enterOwnNetwork();

class SambaServer {
public:
    // On port 445 when `standardPort`, else on a free high port.
    explicit SambaServer(bool standardPort);
    ~SambaServer();
    SambaServer(const SambaServer&) = delete;
    SambaServer& operator=(const SambaServer&) = delete;

    // The folder the share serves (the Linux path of "\\127.0.0.1\share").
    [[nodiscard]] const std::string& sharePath() const { return sharePath_; }
    // The folder of the share "users", and the folder that holds smb.conf.
    [[nodiscard]] const std::string& usersPath() const { return usersPath_; }
    [[nodiscard]] const std::string& configFolder() const { return configFolder_; }
    [[nodiscard]] int port() const { return port_; }
    // True when Samba's Python client can reach the server (port 445).
    [[nodiscard]] bool onStandardPort() const { return port_ == kStandardPort; }
    static constexpr int kStandardPort = 445;
    [[nodiscard]] std::string log() const;

    // Runs `smbclient -c commands` against a share, in TZ=UTC.
    [[nodiscard]] testsupport::RunResult client(const std::string& commands,
                                                const std::string& shareName = "share") const;

private:
    bool startOnce(std::string& failure);
    void stop();

    testsupport::TempDir root_;
    std::string sharePath_;
    std::string usersPath_;
    std::string configFolder_;
    std::string configPath_;
    std::string logPath_;
    std::string smbclient_;
    int port_ = 0;
    pid_t pid_ = -1;  // smbd, and the id of its process group
    bool exited_ = false;  // smbd itself is reaped; its helpers may not be
};

// The path of one of Samba's programs; throws std::runtime_error, naming the
// packages, when it is not installed.
std::string findProgram(const std::string& name);

// The server main() started for the whole run.
SambaServer& server();
void setServer(SambaServer* server);

// What `smbclient allinfo` says of a file or folder.
struct AllInfo {
    std::uint32_t attributes = 0;
    std::int64_t createSeconds = 0;  // Unix seconds, UTC
    // Named streams ("notes" for ":notes:$DATA") and their sizes; the data
    // stream "::$DATA" is `size`.
    std::map<std::string, std::uint64_t> streams;
    std::optional<std::uint64_t> size;
};

// allinfo of a path relative to the share ('/' or '\' between names); fails
// the test (and returns nullopt) when smbclient reports an error.
std::optional<AllInfo> allinfo(const std::string& relativePath);

// Runs commands and fails the test when smbclient reports an error.
void smbclient(const std::string& commands);

}  // namespace sambatest
