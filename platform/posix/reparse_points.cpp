// DeviceIoControl: FSCTL_GET_REPARSE_POINT, FSCTL_SET_REPARSE_POINT and
// FSCTL_SET_SPARSE.
//
// A file is a reparse point when its attrib has FILE_ATTRIBUTE_REPARSE_POINT
// and it has user.SmbReparse, the reparse data buffer byte for byte. A
// symbolic link is a reparse point with IO_REPARSE_TAG_SYMLINK. Records are
// checked as NTFS checks them: a length that disagrees with the header is
// never stored and never handed out.
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform/little_endian.h"
#include "platform/posix/file_attributes.h"
#include "platform/posix/handle_objects.h"
#include "platform/posix/last_error.h"
#include "platform/posix/samba_xattrs.h"
#include "platform/posix/text_conversion.h"
#include "platform/reparse_data_buffer.h"

namespace posix {
namespace {

constexpr DWORD kLastReservedTag = 2;  // IO_REPARSE_TAG_RESERVED_ZERO .. _TWO

// True when the record's length agrees with its header, as NTFS demands.
bool isConsistentRecord(std::string_view record)
{
    if (record.size() < reparse::kMicrosoftHeaderSize || record.size() > MAXIMUM_REPARSE_DATA_BUFFER_SIZE) {
        return false;
    }
    std::size_t header = reparse::headerSize(reparse::tagOf(record.data()));
    return record.size() >= header && record.size() == header + reparse::dataLengthOf(record.data());
}

// True for a stored record a reader may be given: consistent, and of a tag
// that is not reserved.
bool isReadableRecord(std::string_view record)
{
    return isConsistentRecord(record) && reparse::tagOf(record.data()) > kLastReservedTag;
}

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

BOOL getReparsePoint(FileObject& file, LPVOID out, DWORD outSize, LPDWORD bytesReturned)
{
    std::string record;
    if (file.isSymlink) {
        record = symbolicLinkRecord(file);
        if (record.empty()) {
            return fail(win32ErrorFromErrno(errno), FALSE);
        }
    } else {
        // Only the attribute is needed here: read into the stack, decoded,
        // nothing written. As large as the listing's buffer, so that both
        // take or ignore the same values.
        char attributes[kDosAttribReadLimit];
        ssize_t length = readXattrInto(file.fd, kDosAttribXattr, attributes, sizeof attributes);
        std::optional<DosAttrib> stored =
            length >= 0 ? decodeDosAttrib(std::string_view(attributes, static_cast<std::size_t>(length)))
                        : std::nullopt;
        if (!stored || (stored->attrib & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
            return fail(ERROR_NOT_A_REPARSE_POINT, FALSE);
        }
        // The usual caller's buffer holds any record NTFS keeps: read straight into it.
        if (outSize >= MAXIMUM_REPARSE_DATA_BUFFER_SIZE) {
            length = readXattrInto(file.fd, kReparseXattr, static_cast<char*>(out), MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
            if (length >= 0) {
                std::string_view direct(static_cast<const char*>(out), static_cast<std::size_t>(length));
                if (!isReadableRecord(direct)) {
                    std::memset(out, 0, direct.size());
                    return fail(ERROR_INVALID_REPARSE_DATA, FALSE);
                }
                *bytesReturned = static_cast<DWORD>(length);
                return TRUE;
            }
            if (errno != ERANGE) {
                return fail(recordReadError(), FALSE);
            }
        }
        std::optional<std::string> value = readXattr(file.fd, kReparseXattr);
        if (!value) {
            return fail(recordReadError(), FALSE);
        }
        if (!isReadableRecord(*value)) {
            return fail(ERROR_INVALID_REPARSE_DATA, FALSE);
        }
        record = std::move(*value);
    }
    if (record.size() > outSize) {
        // As NTFS: a buffer that cannot hold the header gets nothing; a
        // larger one gets as much as fits, and the call fails, so a partial
        // record is never passed off as the whole one.
        if (outSize < reparse::headerSize(reparse::tagOf(record.data()))) {
            return fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
        }
        std::memcpy(out, record.data(), outSize);
        *bytesReturned = outSize;
        return fail(ERROR_MORE_DATA, FALSE);
    }
    std::memcpy(out, record.data(), record.size());
    *bytesReturned = static_cast<DWORD>(record.size());
    return TRUE;
}

// Sets or clears an attribute in user.DOSATTRIB, keeping the create time; a
// value that already says so is left untouched.
bool changeAttribute(FileObject& file, DWORD attribute, bool set)
{
    DosAttrib stored = storedDosAttrib(file.fd, file.fsPath, file.isDirectory);
    if (((stored.attrib & attribute) != 0) == set) {
        return true;
    }
    stored.attrib = set ? stored.attrib | attribute : stored.attrib & ~attribute;
    if (!writeDosAttrib(file.fd, stored)) {
        SetLastError(win32ErrorFromErrno(errno));
        return false;
    }
    return true;
}

BOOL setReparsePoint(FileObject& file, LPVOID in, DWORD inSize)
{
    if ((file.access & GENERIC_WRITE) == 0) {
        return fail(ERROR_ACCESS_DENIED, FALSE);
    }
    if (in == nullptr) {
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    std::string record(static_cast<const char*>(in), inSize);
    if (!isConsistentRecord(record)) {
        return fail(ERROR_INVALID_REPARSE_DATA, FALSE);
    }
    DWORD tag = reparse::tagOf(record.data());
    if (tag <= kLastReservedTag) {
        return fail(ERROR_REPARSE_TAG_INVALID, FALSE);
    }
    // The record a reparse point already has (a stale xattr without the
    // attribute is none) keeps its tag, and a GUID its GUID.
    bool isReparsePoint =
        (storedDosAttrib(file.fd, file.fsPath, file.isDirectory).attrib & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (std::optional<std::string> existing = isReparsePoint ? readXattr(file.fd, kReparseXattr) : std::nullopt;
        existing && isConsistentRecord(*existing)) {
        if (reparse::tagOf(existing->data()) != tag) {
            return fail(ERROR_REPARSE_TAG_MISMATCH, FALSE);
        }
        if (!reparse::isMicrosoftTag(tag) && existing->compare(reparse::kGuidOffset, reparse::kGuidSize, record,
                                                               reparse::kGuidOffset, reparse::kGuidSize) != 0) {
            return fail(ERROR_REPARSE_ATTRIBUTE_CONFLICT, FALSE);
        }
    }
    // One setxattr replaces the whole value: the old record or the new one,
    // never a mix.
    if (!writeXattr(file.fd, kReparseXattr, record)) {
        return fail(win32ErrorFromErrno(errno), FALSE);
    }
    return changeAttribute(file, FILE_ATTRIBUTE_REPARSE_POINT, true) ? TRUE : FALSE;
}

}  // namespace
}  // namespace posix

using namespace posix;

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                     LPDWORD bytesReturned, LPOVERLAPPED)
{
    auto* file = handleAs<FileObject>(device);
    if (file == nullptr) {
        return FALSE;
    }
    if (bytesReturned == nullptr) {
        return fail(ERROR_INVALID_PARAMETER, FALSE);  // required without an OVERLAPPED
    }
    *bytesReturned = 0;
    if (file->isStream) {
        return fail(ERROR_INVALID_FUNCTION, FALSE);
    }
    switch (code) {
    case FSCTL_GET_REPARSE_POINT:
        if (out == nullptr) {
            return fail(ERROR_INVALID_PARAMETER, FALSE);
        }
        return getReparsePoint(*file, out, outSize, bytesReturned);
    case FSCTL_SET_REPARSE_POINT:
        if (file->isSymlink) {
            return fail(ERROR_ACCESS_DENIED, FALSE);
        }
        return setReparsePoint(*file, in, inSize);
    case FSCTL_SET_SPARSE: {
        bool sparse = in == nullptr || inSize == 0 || *static_cast<const BYTE*>(in) != 0;
        if (file->isSymlink || file->isDirectory || (file->access & GENERIC_WRITE) == 0) {
            return fail(ERROR_ACCESS_DENIED, FALSE);
        }
        // Only the attribute: Linux files have holes whatever it says.
        return changeAttribute(*file, FILE_ATTRIBUTE_SPARSE_FILE, sparse) ? TRUE : FALSE;
    }
    default:
        return fail(ERROR_INVALID_FUNCTION, FALSE);
    }
}
