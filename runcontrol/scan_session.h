// The context of one run: options, target, report, archive usage table and
// counters. Every examining operation of the program is one of its members;
// each is defined in the folder of its subsystem.
#pragma once

#include <cstdint>

#include "archivepoint/archive_point_usage.h"
#include "platform/win32.h"
#include "report/file_identity.h"

// The command line is not acceptable.
class Usage {};

class ScanSession {
public:
    ScanSession(int argc, WCHAR* argv[]);
    ~ScanSession();
    ScanSession(const ScanSession&) = delete;
    ScanSession& operator=(const ScanSession&) = delete;

    int run();
    static bool setPrivilege(const WString& privilegeName, bool enable);

    void writeText(WStringView text);
    void writeLine(WStringView text);
    void writeSummary();

    void walkFolder(WString folderPath, WString archivePointId);

    // `dataLength`: the bytes of data the read returned after the header.
    bool validatePlaceholder(const WString& filePath, const BYTE* reparseBuffer, std::size_t dataLength, bool& canFix);
    void checkFile(const WString& filePath, const WIN32_FIND_DATAW& findData);
    // `validatedFile`: the file the record in the buffer was read from.
    void repairPlaceholder(const WString& filePath, BYTE* reparseBuffer, DWORD bytesReturned,
                           const FileIdentity& validatedFile);
    void writeReparseDump(const BYTE* reparseBuffer, std::size_t dataLength);

    bool CheckIsFolderAnArchivePoint(const WString& folderPath, WString& archivePointId, WString& archiveName);
    void accountArchiveUsage(const WString& filePath, const WIN32_FIND_DATAW& findData,
                             const WString& archivePointId);
    bool isArchivedPlaceholder(const WString& filePath, const WIN32_FIND_DATAW& findData);
    ArchivePointUsage& usageOf(const WString& archivePointId);  // looks it up and keeps it as the last

    // The report handle. It starts as standard output, which the run never
    // closes, and owns the report file once that is open.
    class Output {
    public:
        Output() : handle_(GetStdHandle(STD_OUTPUT_HANDLE)) {}
        ~Output();
        Output(const Output&) = delete;
        Output& operator=(const Output&) = delete;
        void adopt(HANDLE reportFile);
        [[nodiscard]] HANDLE get() const { return handle_; }

    private:
        HANDLE handle_;
        bool owned_ = false;
    };

    Output output;
    WString targetPath;
    bool verbose = false;
    bool fixPlaceholders = false;
    bool dumpReparseData = false;
    bool archiveUsage = false;
    UsageTable usageTable;
    // The entry found last: every file of a folder asks for the same.
    WString lastUsagePointId;
    ArchivePointUsage* lastUsage = nullptr;
    std::uint32_t totalFiles = 0;
    std::uint32_t failedToRead = 0;
    std::uint32_t notPlaceholders = 0;
    std::uint32_t goodPlaceholders = 0;
    std::uint32_t badPlaceholders = 0;
    std::uint32_t unfixablePlaceholders = 0;
    std::uint32_t fixedPlaceholders = 0;
    std::uint32_t failedFixes = 0;
};
