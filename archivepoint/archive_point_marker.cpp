// The archive point marker: the stream "QMArchivePoint.xml" of a folder,
// holding <archivePoint><archiveQEID>id</archiveQEID><name>name</name></archivePoint>.
//
// The stream is read whole, in one ReadFile, and its bytes go to the XML
// component unchanged: the component finds the encoding. A marker that is
// there but cannot be read or parsed is a std::runtime_error, which the walk
// reports before skipping the folder; so is a failing call of the component.
#include <stdexcept>
#include <string>

#include "archivepoint/archive_point_marker.h"
#include "platform/path_parts.h"
#include "platform/unique_resource.h"
#include "platform/xml/xml_document.h"
#include "runcontrol/scan_session.h"

namespace {

constexpr const WCHAR* kIdentifierQuery = WSTR("/archivePoint/archiveQEID");
constexpr const WCHAR* kNameQuery = WSTR("/archivePoint/name");
// Markers are a few hundred bytes. Whoever may write a folder's stream must
// not make a privileged run allocate gigabytes, so a larger one is not read.
constexpr ULONGLONG kLargestMarker = 1024 * 1024;

// The open errors that mean "no marker here".
bool meansNoMarker(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_BAD_NETPATH ||
           error == ERROR_BAD_NET_NAME;
}

HRESULT hresultFromWin32(DWORD error)
{
    auto value = static_cast<HRESULT>(error);
    return value <= 0 ? value : static_cast<HRESULT>((error & 0xFFFF) | 0x80070000);
}

[[noreturn]] void throwWin32Failure(const char* words, DWORD error)
{
    throw std::runtime_error(words + xml::errorSuffix(hresultFromWin32(error)));
}

}  // namespace

bool ScanSession::CheckIsFolderAnArchivePoint(const WString& folderPath, WString& archivePointId,
                                              WString& archiveName)
{
    // Asked of every folder walked, with a path as long as the folder is
    // deep. A new string each time, freed again between the allocations that
    // each level keeps for the rest of the walk (its enumeration), would
    // leave a hole behind every level that the next, longer path no longer
    // fits: memory would grow with the square of the depth. One buffer,
    // grown as the walk goes deeper, is reused.
    thread_local WString streamPath;
    streamPath.assign(folderPath).append(WSTR(":")).append(kMarkerStreamName);
    UniqueHandle stream(
        CreateFileW(streamPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!stream) {
        DWORD error = GetLastError();
        if (meansNoMarker(error)) {
            return false;
        }
        throwWin32Failure("Failed to open archive point stream", error);
    }

    LARGE_INTEGER size{};
    if (!GetFileSizeEx(stream.get(), &size)) {
        throwWin32Failure("GetFileSizeEx Failed", GetLastError());
    }
    if (static_cast<ULONGLONG>(size.QuadPart) > kLargestMarker) {
        throw std::runtime_error("Archive point stream too large, " + std::to_string(size.QuadPart) +
                                 " bytes (at most " + std::to_string(kLargestMarker) + " are read)");
    }
    auto count = static_cast<DWORD>(size.QuadPart);

    // The bytes are declared before the document, so the document goes first.
    xml::DocumentBytes bytes;
    if (!bytes.allocate(count)) {
        throw std::runtime_error("Unable to allocate memory");
    }
    {
        xml::DataAccess access(bytes);
        if (access.result() < 0) {
            throw std::runtime_error("Failed to acess data from SafeArray" + xml::errorSuffix(access.result()));
        }
        DWORD read = 0;  // not compared with the size
        if (!ReadFile(stream.get(), access.data(), count, &read, nullptr)) {
            throwWin32Failure("Failed to read archive point stream", GetLastError());
        }
        HRESULT unlocked = access.unlock();
        if (unlocked < 0) {
            throw std::runtime_error("SafeArrayUnaccessData failed" + xml::errorSuffix(unlocked));
        }
    }
    stream.reset();  // closed before any parsing

    xml::Document document;
    if (!document.create()) {
        return false;  // no XML component: treated as no archive point
    }
    if (!document.load(bytes)) {
        throw std::runtime_error("Failed to load archive point xml");
    }
    std::optional<WString> identifier = document.selectFirstNodeText(kIdentifierQuery);
    archivePointId = identifier ? *identifier : folderPath;
    std::optional<WString> name = document.selectFirstNodeText(kNameQuery);
    // The part after the last backslash: all of it without one, nothing when
    // it ends in one.
    archiveName = name ? *name : WString(splitAtLastSeparator(WStringView(folderPath), WSTR('\\')).name);
    return true;
}
