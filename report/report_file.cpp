#include "report/report_file.h"

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "platform/own_file.h"
#include "platform/unique_resource.h"
#include "report/text_format.h"
#include "runcontrol/scan_session.h"

namespace {

// The name's characters in the ANSI code page: one byte each, or two for a
// double-byte character, whose second byte is never taken for a backslash.
std::vector<std::string> ansiCharacters(const WString& target)
{
    std::string narrow;
    if (!target.empty()) {
        int length = WideCharToMultiByte(CP_ACP, 0, target.data(), static_cast<int>(target.size()), nullptr, 0,
                                         nullptr, nullptr);
        if (length > 0) {
            narrow.resize(static_cast<std::size_t>(length));
            WideCharToMultiByte(CP_ACP, 0, target.data(), static_cast<int>(target.size()), narrow.data(), length,
                                nullptr, nullptr);
        }
    }
    std::vector<std::string> characters;
    for (std::size_t i = 0; i < narrow.size(); ++i) {
        std::size_t width =
            IsDBCSLeadByteEx(CP_ACP, static_cast<BYTE>(narrow[i])) && i + 1 < narrow.size() ? 2 : 1;
        characters.push_back(narrow.substr(i, width));
        i += width - 1;
    }
    return characters;
}

// Removes every occurrence of `pattern` (single-byte characters), scanning
// left to right without overlap.
void removeAll(std::vector<std::string>& characters, std::string_view pattern)
{
    std::vector<std::string> kept;
    std::size_t i = 0;
    while (i < characters.size()) {
        bool match = i + pattern.size() <= characters.size();
        for (std::size_t k = 0; match && k < pattern.size(); ++k) {
            match = characters[i + k].size() == 1 && characters[i + k][0] == pattern[k];
        }
        if (match) {
            i += pattern.size();
        } else {
            kept.push_back(std::move(characters[i++]));
        }
    }
    characters = std::move(kept);
}

// A name may hold 255 bytes on Linux and 255 UTF-16 code units on Windows,
// which an ANSI name never has more of than it has bytes.
constexpr std::size_t kLongestName = 255;

// FNV-1a, 64 bits, as 16 hexadecimal digits.
std::string hashText(std::string_view bytes)
{
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (char byte : bytes) {
        hash = (hash ^ static_cast<unsigned char>(byte)) * 0x100000001b3ULL;
    }
    constexpr char kDigits[] = "0123456789abcdef";
    std::string text(16, '0');
    for (std::size_t i = 16; i-- > 0; hash >>= 4) {
        text[i] = kDigits[hash & 0xF];
    }
    return text;
}

// The bytes at the end of `text` that begin a UTF-8 sequence and do not
// finish it, so that a cut never leaves half a character of a UTF-8 code
// page. (In another code page this may drop a character or two more: the
// name is only shorter.)
std::size_t unfinishedUtf8Tail(std::string_view text)
{
    for (std::size_t back = 1; back <= 4 && back <= text.size(); ++back) {
        auto byte = static_cast<unsigned char>(text[text.size() - back]);
        if ((byte & 0xC0) != 0x80) {
            std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
            return length > back ? back : 0;
        }
    }
    return 0;
}

}  // namespace

std::string reportFileName(const WString& target, std::time_t startTime)
{
    std::vector<std::string> characters = ansiCharacters(target);
    removeAll(characters, "\\\\?\\UNC\\");
    removeAll(characters, "\\\\");
    // A forward slash separates folders too: kept, it would put the report
    // in another folder, or fail the run where that folder does not exist.
    std::string part;
    std::vector<std::size_t> ends;  // where each character ends in `part`
    for (const std::string& character : characters) {
        part += character == "\\" || character == "/" ? "-" : character;
        ends.push_back(part.size());
    }
    const std::string tail = "-" + std::to_string(static_cast<long long>(startTime)) + ".txt";
    if (part.size() + tail.size() <= kLongestName) {
        return part + tail;
    }
    // Too long to be a name: cut at a character's end so that the name fits
    // with "~" and a hash of the whole part after the cut, and two targets
    // that differ only beyond it still get two names. The seconds stay.
    const std::string hash = "~" + hashText(part);
    std::size_t room = kLongestName - tail.size() - hash.size();
    std::size_t cut = 0;
    for (std::size_t end : ends) {
        if (end > room) {
            break;
        }
        cut = end;
    }
    std::string_view kept(part.data(), cut);
    kept.remove_suffix(unfinishedUtf8Tail(kept));
    return std::string(kept) + hash + tail;
}

// The name is known in advance (target and second), so whoever may write the
// current folder can plant something under it: a link, a pipe that she
// reads, a file of her own that she keeps open or reads afterwards. The
// report is made as a new file that only its owner may read (it lists what
// the privilege let the program see). Only a file the caller already owns
// is used in its place, a report of the same name from the same second: it
// is opened on itself, and a reparse point (a symbolic link, a junction, a
// placeholder), anything but a regular file, or a file with another name (a
// hard link) is refused before a byte of it changes. Only then is it
// emptied, so that no stale tail stays; a new, empty file is left as it is:
// on ext4, emptying a file makes its close write out all the report's data
// at once.
HANDLE openReportFile(const std::string& name)
{
    constexpr DWORD kFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    UniqueHandle report(createPrivateFile(name.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, kFlags));
    if (!report && GetLastError() == ERROR_FILE_EXISTS) {
        report.reset(CreateFileA(name.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES | READ_CONTROL, 0, nullptr,
                                 OPEN_EXISTING, kFlags, nullptr));
        BY_HANDLE_FILE_INFORMATION information{};
        if (report && (!isOwnRegularFile(report.get()) || !GetFileInformationByHandle(report.get(), &information) ||
                       (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
                       information.nNumberOfLinks != 1 ||
                       ((information.nFileSizeHigh | information.nFileSizeLow) != 0 && !SetEndOfFile(report.get())))) {
            report.reset();
        }
    }
    if (!report) {
        throw std::runtime_error("Failed to open report file:" + name);
    }
    return report.release();
}

ScanSession::Output::~Output()
{
    if (owned_) {
        CloseHandle(handle_);
    }
}

void ScanSession::Output::adopt(HANDLE reportFile)
{
    handle_ = reportFile;
    owned_ = true;
}

// One system write per call: nothing is buffered, so a report keeps every
// line written before a failure.
void ScanSession::writeText(WStringView text)
{
    if (text.empty()) {
        return;
    }
    auto byteCount = static_cast<DWORD>(text.size() * sizeof(WCHAR));
    DWORD written = 0;
    if (!WriteFile(output.get(), text.data(), byteCount, &written, nullptr)) {
        throw std::runtime_error("Failed to write report file");
    }
    if (written != byteCount) {
        throw std::runtime_error("Failed to write report file.  Incomplete write");
    }
}

void ScanSession::writeLine(WStringView text)
{
    writeText(text);
    writeText(WSTR("\r\n"));
}
