// The verdict on a placeholder record: GUID, magic value, signature and URL,
// in that order; the first fault found is the one reported.
#include "placeholder/placeholder_record.h"
#include "platform/ascii_case.h"
#include "runcontrol/scan_session.h"

namespace placeholder {
namespace {

// The record's UTF-16 text at offset equals `expected` and ends there.
bool textIs(const BYTE* buffer, std::size_t offset, WStringView expected)
{
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (codeUnitAt(buffer, offset + 2 * i) != expected[i]) {
            return false;
        }
    }
    return codeUnitAt(buffer, offset + 2 * expected.size()) == 0;
}

// The record's text at offset starts with `expected`; it stops at a U+0000,
// so a shorter text does not match.
bool textStartsWith(const BYTE* buffer, std::size_t offset, WStringView expected, bool ignoreAsciiCase)
{
    for (std::size_t i = 0; i < expected.size(); ++i) {
        WCHAR unit = codeUnitAt(buffer, offset + 2 * i);
        if (unit == 0) {
            return false;
        }
        if (ignoreAsciiCase ? asciiLower(unit) != asciiLower(expected[i]) : unit != expected[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace
}  // namespace placeholder

using namespace placeholder;

bool ScanSession::validatePlaceholder(const WString& filePath, const BYTE* reparseBuffer, std::size_t dataLength,
                                      bool& canFix)
{
    canFix = false;
    GUID recordGuid;
    std::memcpy(&recordGuid, reparseBuffer + reparse::kGuidOffset, sizeof recordGuid);
    GUID expectedGuid = kGuid;
    RPC_STATUS status = 0;

    const WCHAR* fault = nullptr;
    if (!UuidEqual(&recordGuid, &expectedGuid, &status)) {
        fault = WSTR("Incorrect GUID");
    } else if (littleendian::read<std::uint32_t>(reparseBuffer + kMagicOffset) != kMagic) {
        fault = WSTR("Incorrect magic value");
    } else if (!textIs(reparseBuffer, kSignatureOffset, kSignature)) {
        fault = WSTR("Incorrect signature");
    } else if (!textStartsWith(reparseBuffer, kUrlOffset, kUrlScheme, true)) {
        // The threshold is the data length, although the text examined lies
        // at 604 to 611: the length of the data read, which on NTFS is what
        // the header says, and on Samba 16 less than its header says.
        canFix = dataLength > kRepairableDataLength &&
                 textStartsWith(reparseBuffer, kMisplacedUrlOffset, kUrlScheme, false);
        fault = WSTR("Invalid URL");
    }

    if (fault == nullptr) {
        if (verbose) {
            writeText(WSTR("Valid QM PH"));
        }
        return true;
    }
    if (!verbose) {
        writeText(filePath);
        writeText(WSTR(": "));
    }
    writeText(fault);
    return false;
}
