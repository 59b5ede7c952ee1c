#include "tests/support/release_artefacts.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>

#include "tests/support/test_support.h"

namespace testsupport {

const std::string& projectVersion()
{
    static const std::string version = STUBWARDEN_VERSION;
    return version;
}

const std::vector<std::string>& releasePrograms()
{
    static const std::vector<std::string> programs = [] {
        std::vector<std::string> names;
        std::istringstream list(STUBWARDEN_PROGRAMS);
        for (std::string name; std::getline(list, name, ',');) {
            names.push_back(name);
        }
        return names;
    }();
    return programs;
}

std::vector<std::string> companionPrograms()
{
    std::vector<std::string> companions;
    for (const std::string& name : releasePrograms()) {
        if (name != "stubwarden") {
            companions.push_back(name);
        }
    }
    return companions;
}

std::string linuxProgram(const std::string& name)
{
    return std::filesystem::path(STUBWARDEN_BINARY).parent_path() / name;
}

std::string debianPackagePath()
{
    return std::string(STUBWARDEN_DIST_DIR) + "/stubwarden_" + projectVersion() + "_amd64.deb";
}

std::string windowsZipFolder() { return "stubwarden-" + projectVersion() + "-win64"; }

std::string sampleNtfsDiskPath() { return std::string(STUBWARDEN_DIST_DIR) + "/stubwarden-sample-ntfs.vhdx"; }

std::string sampleNtfsReportPath() { return std::string(STUBWARDEN_DIST_DIR) + "/stubwarden-sample-ntfs-report.txt"; }

std::string windowsZipPath() { return std::string(STUBWARDEN_DIST_DIR) + "/" + windowsZipFolder() + ".zip"; }

void unpackWindowsZip(const std::string& folder)
{
    RunResult unzip = runProgram("/usr/bin/unzip", {"-q", windowsZipPath(), "-d", folder});
    ASSERT_EQ(unzip.exitCode, 0) << "unzip " << windowsZipPath() << " (scripts/build-packages.sh makes it):\n"
                                 << unzip.standardOutput << unzip.standardError;
}

}  // namespace testsupport
