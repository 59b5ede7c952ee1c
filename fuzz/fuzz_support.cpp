#include "fuzz/fuzz_support.h"

#include <dirent.h>
#include <fstream>
#include <climits>
#include <cstring>
#include <ftw.h>
#include <sstream>
#include <unistd.h>
#include <vector>

#include "platform/text_conversion.h"

namespace fuzzsupport {
namespace {

void removeScratch()
{
    ::nftw(
        scratchFolder().c_str(), [](const char* path, const struct stat*, int, struct FTW*) { return std::remove(path); },
        16, FTW_DEPTH | FTW_PHYS);
}

std::string reportFile;

}  // namespace

const std::string& scratchFolder()
{
    static const std::string folder = [] {
        std::string pattern = (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + std::string("/stubwarden-fuzz-XXXXXX");
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("scratch folder");
            std::abort();
        }
        return pattern;
    }();
    static const bool removedAtExit = std::atexit(removeScratch) == 0;
    (void)removedAtExit;
    return folder;
}

WString uncName(const std::string& linuxPath)
{
    std::string unc = "\\\\?\\UNC";
    for (char c : linuxPath) {
        unc += c == '/' ? '\\' : c;
    }
    return wideText(unc);
}

ScanSession& session(std::initializer_list<const char*> options)
{
    // Never destroyed: its destructor would call into the platform layer
    // after the layer's own statics are gone.
    static ScanSession* run = nullptr;
    if (!run) {
        CoInitialize(nullptr);
        std::vector<WString> arguments{WSTR("stubwarden")};
        for (const char* option : options) {
            arguments.push_back(wideText(option));
        }
        arguments.push_back(uncName(scratchFolder()));
        std::vector<WCHAR*> argv;
        for (WString& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        // The report goes to the current folder; libFuzzer's own paths are
        // relative to the one it started in.
        std::string started(PATH_MAX, '\0');
        FUZZ_CHECK(::getcwd(started.data(), started.size()) != nullptr);
        FUZZ_CHECK(::chdir(scratchFolder().c_str()) == 0);
        run = new ScanSession(static_cast<int>(arguments.size()), argv.data());
        FUZZ_CHECK(::chdir(started.c_str()) == 0);
        if (DIR* folder = ::opendir(scratchFolder().c_str())) {
            while (struct dirent* entry = ::readdir(folder)) {
                std::string name = entry->d_name;
                if (name.size() > 4 && name.ends_with(".txt")) {
                    reportFile = scratchFolder() + "/" + name;
                }
            }
            ::closedir(folder);
        }
        FUZZ_CHECK(!reportFile.empty());
    }
    return *run;
}

void clearReport(ScanSession& run)
{
    LARGE_INTEGER start{};
    FUZZ_CHECK(SetFilePointerEx(run.output.get(), start, nullptr, FILE_BEGIN));
    FUZZ_CHECK(SetEndOfFile(run.output.get()));
}

WString reportText()
{
    std::ifstream in(reportFile, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    std::string data = bytes.str();
    FUZZ_CHECK(data.size() % 2 == 0);
    WString text(data.size() / 2, 0);
    std::memcpy(text.data(), data.data(), data.size());  // little-endian, as the report
    return text;
}

}  // namespace fuzzsupport
