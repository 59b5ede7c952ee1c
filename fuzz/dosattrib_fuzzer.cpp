// The user.DOSATTRIB decoder, and what a file shows for any value of it.
//
// Every value either decodes or counts as absent; one that decodes comes
// back the same through the version 5 the layer writes. Stored on a file,
// the value gives the same attributes through GetFileAttributesW and
// FindFirstFileW, never the folder bit, and a description line whatever its
// create time.
#include <cstdint>
#include <sys/xattr.h>

#include "fuzz/fuzz_support.h"
#include "placeholder/file_description.h"
#include "platform/posix/samba_xattrs.h"

namespace {

void decoded(std::string_view value)
{
    std::optional<posix::DosAttrib> info = posix::decodeDosAttrib(value);
    if (!info) {
        return;
    }
    std::optional<posix::DosAttrib> again = posix::decodeDosAttrib(posix::encodeDosAttrib(*info));
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(again->attrib == info->attrib);
    FUZZ_CHECK(again->createTime == info->createTime);
}

void shownByAFile(std::string_view value)
{
    static const std::string path = fuzzsupport::scratchFolder() + "/attributes.doc";
    static const WString name = [] {
        HANDLE file = CreateFileW(fuzzsupport::uncName(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        FUZZ_CHECK(file != INVALID_HANDLE_VALUE);
        CloseHandle(file);
        return fuzzsupport::uncName(path);
    }();
    if (::setxattr(path.c_str(), "user.DOSATTRIB", value.data(), value.size(), 0) != 0) {
        return;
    }
    DWORD attributes = GetFileAttributesW(name.c_str());
    FUZZ_CHECK(attributes != INVALID_FILE_ATTRIBUTES);
    FUZZ_CHECK((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0);
    WIN32_FIND_DATAW findData{};
    HANDLE find = FindFirstFileW(name.c_str(), &findData);
    FUZZ_CHECK(find != INVALID_HANDLE_VALUE);
    FindClose(find);
    FUZZ_CHECK(findData.dwFileAttributes == attributes);
    WString description = placeholder::fileDescription(findData);
    FUZZ_CHECK(description.starts_with(WSTR("(Created:")) && description.ends_with(WSTR("):")));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view value(reinterpret_cast<const char*>(data), size);
    decoded(value);
    shownByAFile(value);
    return 0;
}
