// DeviceIoControl: FSCTL_GET_REPARSE_POINT, FSCTL_SET_REPARSE_POINT and
// FSCTL_SET_SPARSE.
//
// Where a record is kept, and in which form, is the volume's convention
// (DiskConvention): a record whose length disagrees with its header as the
// volume counts it is never stored, and a stored one is refused. A Linux
// symbolic link is a reparse point with IO_REPARSE_TAG_SYMLINK.
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <unistd.h>

#include "platform/little_endian.h"
#include "platform/posix/disk_convention.h"
#include "platform/posix/file_attributes.h"
#include "platform/posix/handle_objects.h"
#include "platform/posix/last_error.h"
#include "platform/posix/text_conversion.h"
#include "platform/reparse_data_buffer.h"

namespace posix {
namespace {

// The error for a record that could not be read (errno set by the read).
DWORD recordReadError() { return errno == ENODATA ? ERROR_NOT_A_REPARSE_POINT : win32ErrorFromErrno(errno); }

// The buffer a Windows client gets for a symbolic link: substitute and
// print name both the target, with '\' for '/'.
std::string symbolicLinkRecord(const FileObject& link)
{
    std::string target(PATH_MAX, '\0');
    ssize_t length = ::readlinkat(link.fd, "", target.data(), target.size());
    if (length < 0) {
        return {};
    }
    target.resize(static_cast<std::size_t>(length));
    WString name = decodeFileSystemBytes(target);
    for (WCHAR& unit : name) {
        if (unit == u'/') {
            unit = u'\\';
        }
    }
    auto nameBytes = static_cast<std::uint32_t>(name.size() * sizeof(WCHAR));
    using littleendian::append;
    std::string record;
    append<std::uint32_t>(record, IO_REPARSE_TAG_SYMLINK);
    append<std::uint16_t>(record, static_cast<std::uint16_t>(12 + 2 * nameBytes));  // ReparseDataLength
    append<std::uint16_t>(record, 0);                                               // Reserved
    append<std::uint16_t>(record, 0);                                               // SubstituteNameOffset
    append<std::uint16_t>(record, static_cast<std::uint16_t>(nameBytes));            // SubstituteNameLength
    append<std::uint16_t>(record, static_cast<std::uint16_t>(nameBytes));            // PrintNameOffset
    append<std::uint16_t>(record, static_cast<std::uint16_t>(nameBytes));            // PrintNameLength
    append<std::uint32_t>(record, target.starts_with('/') ? 0 : SYMLINK_FLAG_RELATIVE);
    for (int copy = 0; copy < 2; ++copy) {
        for (WCHAR unit : name) {
            append<std::uint16_t>(record, unit);
        }
    }
    return record;
}

DWORD getReparsePoint(FileObject& file, LPVOID out, DWORD outSize, LPDWORD bytesReturned)
{
    std::string record;
    const DiskConvention& disk = conventionOf(file);
    // A link the volume keeps no record for is a Linux link.
    auto linkRecord = [&]() -> DWORD {
        record = symbolicLinkRecord(file);
        return record.empty() ? win32ErrorFromErrno(errno) : ERROR_SUCCESS;
    };
    DWORD may = disk.mayHoldRecord(file);
    if (may != ERROR_SUCCESS && !file.isSymlink) {
        return may;
    }
    if (may != ERROR_SUCCESS) {
        if (DWORD made = linkRecord(); made != ERROR_SUCCESS) {
            return made;
        }
    } else if (outSize >= MAXIMUM_REPARSE_DATA_BUFFER_SIZE) {
        // The usual caller's buffer holds any record NTFS keeps: read straight into it.
        ssize_t length = disk.readRecordInto(file, static_cast<char*>(out), MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
        if (length >= 0) {
            std::string_view direct(static_cast<const char*>(out), static_cast<std::size_t>(length));
            if (!disk.isConsistentRecord(direct)) {
                std::memset(out, 0, direct.size());
                return ERROR_INVALID_REPARSE_DATA;
            }
            *bytesReturned = static_cast<DWORD>(length);
            return ERROR_SUCCESS;
        }
        // ERANGE: larger than any record NTFS keeps, read whole below.
        if (errno != ERANGE && (!file.isSymlink || errno != ENODATA)) {
            return recordReadError();
        }
        if (errno != ERANGE) {
            if (DWORD made = linkRecord(); made != ERROR_SUCCESS) {
                return made;
            }
        }
    }
    if (record.empty()) {
        if (std::optional<std::string> value = disk.readRecord(file)) {
            if (!disk.isConsistentRecord(*value)) {
                return ERROR_INVALID_REPARSE_DATA;
            }
            record = std::move(*value);
        } else if (file.isSymlink && errno == ENODATA) {
            if (DWORD made = linkRecord(); made != ERROR_SUCCESS) {
                return made;
            }
        } else {
            return recordReadError();
        }
    }
    if (record.size() > outSize) {
        // As NTFS: a buffer that cannot hold the header gets nothing; a
        // larger one gets as much as fits, and the call fails, so a partial
        // record is never passed off as the whole one.
        if (outSize < reparse::headerSize(reparse::tagOf(record.data()))) {
            return ERROR_INSUFFICIENT_BUFFER;
        }
        std::memcpy(out, record.data(), outSize);
        *bytesReturned = outSize;
        return ERROR_MORE_DATA;
    }
    std::memcpy(out, record.data(), record.size());
    *bytesReturned = static_cast<DWORD>(record.size());
    return ERROR_SUCCESS;
}

DWORD setReparsePoint(FileObject& file, LPVOID in, DWORD inSize)
{
    if ((file.access & GENERIC_WRITE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    // Samba's answers: STATUS_INVALID_BUFFER_SIZE for no buffer at all,
    // STATUS_IO_REPARSE_DATA_INVALID for a length its header disagrees with.
    if (inSize == 0) {
        return ERROR_INVALID_USER_BUFFER;
    }
    if (in == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    std::string_view record(static_cast<const char*>(in), inSize);
    const DiskConvention& disk = conventionOf(file);
    if (!disk.isConsistentRecord(record)) {
        return ERROR_INVALID_REPARSE_DATA;
    }
    // The record a reparse point already has (a stale one the volume would
    // not serve is none) keeps its tag, as on NTFS.
    if (std::optional<std::string> existing =
            disk.mayHoldRecord(file) == ERROR_SUCCESS ? disk.readRecord(file) : std::nullopt;
        existing && disk.isConsistentRecord(*existing) &&
        reparse::tagOf(existing->data()) != reparse::tagOf(record.data())) {
        return ERROR_REPARSE_TAG_MISMATCH;
    }
    return disk.writeRecord(file, record);
}

DWORD controlDevice(FileObject& file, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                    LPDWORD bytesReturned)
{
    *bytesReturned = 0;
    if (file.isStream) {
        return ERROR_INVALID_FUNCTION;
    }
    switch (code) {
    case FSCTL_GET_REPARSE_POINT:
        return out == nullptr ? ERROR_INVALID_PARAMETER : getReparsePoint(file, out, outSize, bytesReturned);
    case FSCTL_SET_REPARSE_POINT:
        return file.isSymlink ? ERROR_ACCESS_DENIED : setReparsePoint(file, in, inSize);
    case FSCTL_SET_SPARSE: {
        bool sparse = in == nullptr || inSize == 0 || *static_cast<const BYTE*>(in) != 0;
        if (file.isSymlink || (file.access & GENERIC_WRITE) == 0 || isFolder(file)) {
            return ERROR_ACCESS_DENIED;
        }
        return conventionOf(file).setSparse(file, sparse);
    }
    default:
        return ERROR_INVALID_FUNCTION;
    }
}

}  // namespace
}  // namespace posix

using namespace posix;

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                     LPDWORD bytesReturned, LPOVERLAPPED)
{
    // bytesReturned is required without an OVERLAPPED.
    return onHandle<FileObject>(device, {bytesReturned}, [&](FileObject& file) {
        return controlDevice(file, code, in, inSize, out, outSize, bytesReturned);
    });
}
