// The path conversions of the Linux platform layer: file-system bytes to
// UTF-16 and back with the surrogate escape, Win32 paths (UNC and the rest)
// to Linux paths, and UTF-16 to the ANSI and UTF-8 code pages.
//
// The input is taken both as bytes (a Linux name) and as little-endian
// UTF-16 code units (a Win32 path).
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "platform/ascii_case.h"
#include "platform/little_endian.h"
#include "platform/posix/path_mapping.h"
#include "platform/posix/samba_shares.h"
#include "platform/posix/text_conversion.h"
#include "report/report_file.h"

namespace {

// Bytes -> UTF-16 never fails; every byte string comes back whole, through
// the file-system encoding when it holds no NUL, and through the display form always.
void fromBytes(std::string_view bytes)
{
    WString text = posix::decodeFileSystemBytes(bytes);
    FUZZ_CHECK(text.size() <= bytes.size());
    FUZZ_CHECK(posix::toDisplayBytes(text) == bytes);
    std::optional<std::string> back = posix::encodeFileSystemBytes(text);
    FUZZ_CHECK(back.has_value() == (bytes.find('\0') == std::string_view::npos));
    if (back) {
        FUZZ_CHECK(*back == bytes);
    }
    // As a name (no '/' and no NUL, as Linux names): one component that
    // names no stream, and the same bytes again through a path's mapping.
    if (bytes.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos) {
        return;
    }
    WString name = posix::decodeFileName(bytes);
    FUZZ_CHECK(name.size() <= bytes.size());
    for (WCHAR unit : name) {
        FUZZ_CHECK(unit >= 0x20 && WStringView(WSTR("\\\"/:*?<>|")).find(unit) == WStringView::npos);
    }
    std::string again;
    FUZZ_CHECK(posix::appendPathBytes(name, again) && again == bytes);
}

// UTF-16 -> bytes: refused only for a NUL or a lone surrogate outside the
// escape range; what it gives holds no NUL and is a fixed point of the round trip.
void fromUtf16(WStringView text)
{
    bool representable = true;
    for (std::size_t i = 0; i < text.size(); ++i) {
        WCHAR unit = text[i];
        bool high = unit >= 0xD800 && unit <= 0xDBFF;
        if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            ++i;
        } else if (unit == 0 || ((high || unit >= 0xDC00) && unit <= 0xDFFF && !(unit >= 0xDC80 && unit <= 0xDCFF))) {
            representable = false;
        }
    }
    std::optional<std::string> bytes = posix::encodeFileSystemBytes(text);
    FUZZ_CHECK(bytes.has_value() == representable);
    if (bytes) {
        FUZZ_CHECK(bytes->find('\0') == std::string::npos);
        FUZZ_CHECK(posix::encodeFileSystemBytes(posix::decodeFileSystemBytes(*bytes)) == bytes);
    }
}

// A path maps to a Linux path without NUL; a UNC path to "/" and the rest
// of it with '/' for '\', never to the bare root nor climbing out of its
// share through "." or ".."; a ':' in the last component is a stream, which
// a call that takes none refuses.
void asPath(const WString& path)
{
    std::string fsPath;
    std::string stream;
    if (posix::mapPath(path.c_str(), fsPath, &stream) != ERROR_SUCCESS) {
        return;
    }
    FUZZ_CHECK(!fsPath.empty() && fsPath.find('\0') == std::string::npos);
    const WStringView whole(path);
    WStringView::size_type lastSeparator = whole.find_last_of(WSTR("\\/"));
    WStringView::size_type colon = whole.find(u':', lastSeparator == WStringView::npos ? 0 : lastSeparator + 1);
    std::string unused;
    FUZZ_CHECK((posix::mapPath(path.c_str(), unused) == ERROR_INVALID_NAME) == (colon != WStringView::npos));
    const WStringView text = whole.substr(0, colon);
    WStringView rest;
    if (startsWithIgnoringAsciiCase(text, WSTR("\\\\?\\UNC\\"))) {
        rest = text.substr(8);
    } else if (startsWithIgnoringAsciiCase(text, WSTR("\\\\"))) {
        FUZZ_CHECK(!startsWithIgnoringAsciiCase(text, WSTR("\\\\?\\")) &&
                   !startsWithIgnoringAsciiCase(text, WSTR("\\\\.\\")));
        rest = text.substr(2);
    } else {
        return;
    }
    // A share of this host is its folder in Samba's share table, followed by
    // the rest; any other server is the literal path.
    std::string folder;
    std::size_t share = 0;
    FUZZ_CHECK(posix::mapSambaShare(rest, folder, share) == ERROR_SUCCESS);
    std::string after;
    FUZZ_CHECK(posix::appendPathBytes(rest.substr(share), after));
    FUZZ_CHECK(share != 0 || (fsPath != "/" && fsPath.size() > 3));
    std::string expected = share == 0 ? "/" + after
                           : folder.empty() && (after.empty() || after.front() != '/') ? "/" + after
                                                                                        : folder + after;
    FUZZ_CHECK(fsPath == expected);
    for (std::string_view names = after; !names.empty();) {
        std::string_view name = names.substr(0, names.find('/'));
        FUZZ_CHECK(name != "." && name != "..");
        names.remove_prefix(std::min(names.size(), name.size() + 1));
    }
}

// The size a conversion announces is the size it then writes.
void toCodePages(WStringView text)
{
    if (text.empty()) {
        return;
    }
    for (UINT codePage : {static_cast<UINT>(CP_ACP), static_cast<UINT>(CP_UTF8)}) {
        int length = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                         nullptr);
        FUZZ_CHECK(length > 0);
        std::string narrow(static_cast<std::size_t>(length) + 1, '#');
        int written = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), narrow.data(),
                                          length, nullptr, nullptr);
        FUZZ_CHECK(written == length && narrow.back() == '#');
        // One byte short fails (a length of 0 would ask for the size instead).
        FUZZ_CHECK(length == 1 || WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()),
                                                      narrow.data(), length - 1, nullptr, nullptr) == 0);
    }
}

// The report's name: the target's characters, and the start time.
void asReportName(const WString& target)
{
    std::string name = reportFileName(target, 1700000000);
    FUZZ_CHECK(name.ends_with("-1700000000.txt"));
    FUZZ_CHECK(name.find('\\') == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fromBytes(std::string_view(reinterpret_cast<const char*>(data), size));
    WString units;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        units += static_cast<WCHAR>(littleendian::read<std::uint16_t>(data + i));
    }
    fromUtf16(units);
    toCodePages(units);
    WString path(units.c_str());  // up to the first NUL, as a Win32 call takes it
    asPath(path);
    asReportName(path);
    return 0;
}
