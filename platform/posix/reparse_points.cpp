// DeviceIoControl: FSCTL_GET_REPARSE_POINT, FSCTL_SET_REPARSE_POINT and
// FSCTL_SET_SPARSE.
//
// A file is a reparse point when its attrib has FILE_ATTRIBUTE_REPARSE_POINT
// and it has user.SmbReparse, the reparse data buffer byte for byte. A
// symbolic link is a reparse point with IO_REPARSE_TAG_SYMLINK. Records are
// checked as Samba (4.22 and later) checks them, both ways: a record is
// 8 + ReparseDataLength bytes long whatever its tag, so for a tag with a
// GUID the GUID is counted in ReparseDataLength, unlike on NTFS. A record
// of any other length is never stored, and a stored one is refused as
// Samba refuses to serve it to a client.
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

// True when the record's length agrees with its header as Samba counts it,
// and it is no larger than the largest record NTFS keeps.
bool isConsistentRecord(std::string_view record)
{
    return record.size() >= reparse::kMicrosoftHeaderSize && record.size() <= MAXIMUM_REPARSE_DATA_BUFFER_SIZE &&
           record.size() == reparse::kMicrosoftHeaderSize + reparse::dataLengthOf(record.data());
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

DWORD getReparsePoint(FileObject& file, LPVOID out, DWORD outSize, LPDWORD bytesReturned)
{
    std::string record;
    if (file.isSymlink) {
        record = symbolicLinkRecord(file);
        if (record.empty()) {
            return win32ErrorFromErrno(errno);
        }
    } else {
        // The attribute of the entry this handle has open, although the
        // listing read it too: the entry listed may have been swapped for
        // another between the listing and the open, and a file without the
        // attribute is no reparse point, whatever user.SmbReparse a former
        // one left. Read into the stack, as large as the listing's buffer,
        // so that both take or ignore the same values.
        char attributes[kDosAttribReadLimit];
        ssize_t length = readDosAttribInto(
            [&](char* buffer, std::size_t size) { return readXattrInto(file.fd, kDosAttribXattr, buffer, size); },
            attributes);
        std::optional<DosAttrib> stored =
            length >= 0 ? decodeDosAttrib(std::string_view(attributes, static_cast<std::size_t>(length)))
                        : std::nullopt;
        // Samba serves reparse points of regular files only.
        if (!stored || (stored->attrib & FILE_ATTRIBUTE_REPARSE_POINT) == 0 || isFolder(file)) {
            return ERROR_NOT_A_REPARSE_POINT;
        }
        // The usual caller's buffer holds any record NTFS keeps: read straight into it.
        if (outSize >= MAXIMUM_REPARSE_DATA_BUFFER_SIZE) {
            length = readXattrInto(file.fd, kReparseXattr, static_cast<char*>(out), MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
            if (length >= 0) {
                std::string_view direct(static_cast<const char*>(out), static_cast<std::size_t>(length));
                if (!isConsistentRecord(direct)) {
                    std::memset(out, 0, direct.size());
                    return ERROR_INVALID_REPARSE_DATA;
                }
                *bytesReturned = static_cast<DWORD>(length);
                return ERROR_SUCCESS;
            }
            if (errno != ERANGE) {
                return recordReadError();
            }
        }
        std::optional<std::string> value = readXattr(file.fd, kReparseXattr);
        if (!value) {
            return recordReadError();
        }
        if (!isConsistentRecord(*value)) {
            return ERROR_INVALID_REPARSE_DATA;
        }
        record = std::move(*value);
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

// Sets or clears an attribute in user.DOSATTRIB, keeping the create time; a
// value that already says so is left untouched.
DWORD changeAttribute(FileObject& file, DWORD attribute, bool set)
{
    DosAttrib stored = storedDosAttrib(file.fd, isFolder(file));
    if (((stored.attrib & attribute) != 0) == set) {
        return ERROR_SUCCESS;
    }
    stored.attrib = set ? stored.attrib | attribute : stored.attrib & ~attribute;
    return writeDosAttrib(file.fd, stored) ? ERROR_SUCCESS : win32ErrorFromErrno(errno);
}

DWORD setReparsePoint(FileObject& file, LPVOID in, DWORD inSize)
{
    if ((file.access & GENERIC_WRITE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    // Samba keeps reparse points on regular files only.
    if (isFolder(file)) {
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
    std::string record(static_cast<const char*>(in), inSize);
    if (!isConsistentRecord(record)) {
        return ERROR_INVALID_REPARSE_DATA;
    }
    // The record a reparse point already has (a stale xattr without the
    // attribute is none, and neither is one Samba would not serve) keeps
    // its tag.
    bool isReparsePoint = (storedDosAttrib(file.fd, isFolder(file)).attrib & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (std::optional<std::string> existing = isReparsePoint ? readXattr(file.fd, kReparseXattr) : std::nullopt;
        existing && isConsistentRecord(*existing) && reparse::tagOf(existing->data()) != reparse::tagOf(record.data())) {
        return ERROR_REPARSE_TAG_MISMATCH;
    }
    // One setxattr replaces the whole value: the old record or the new one,
    // never a mix.
    if (!writeXattr(file.fd, kReparseXattr, record)) {
        return win32ErrorFromErrno(errno);
    }
    return changeAttribute(file, FILE_ATTRIBUTE_REPARSE_POINT, true);
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
        // Only the attribute: Linux files have holes whatever it says.
        return changeAttribute(file, FILE_ATTRIBUTE_SPARSE_FILE, sparse);
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
