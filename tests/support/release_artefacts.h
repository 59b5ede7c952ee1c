// What a release carries, as the build declares it: the project version, the
// programs (cmake/programs.cmake) and the two artefacts that
// scripts/build-packages.sh makes in dist/.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

const std::string& projectVersion();
// Every program of the release, the main program first.
const std::vector<std::string>& releasePrograms();
// The same without the main program.
std::vector<std::string> companionPrograms();
// A program of the Linux build in build/.
std::string linuxProgram(const std::string& name);

std::string debianPackagePath();  // dist/stubwarden_<version>_amd64.deb
std::string windowsZipPath();     // dist/stubwarden-<version>-win64.zip
// dist/stubwarden-sample-ntfs.vhdx, and the report shipped beside it.
std::string sampleNtfsDiskPath();
std::string sampleNtfsReportPath();
// The one folder the zip holds: stubwarden-<version>-win64.
std::string windowsZipFolder();
// Unpacks the zip into `folder`; fails the test if unzip does not succeed.
void unpackWindowsZip(const std::string& folder);

}  // namespace testsupport
