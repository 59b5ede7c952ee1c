// The data area of a bad record as hexadecimal rows of 16 bytes with a
// character column:
//
//   0000:  61 1e 00 00 51 00 2d 00  4d 00 41 00 52 00 4c 00  a...Q.-.M.A.R.L.
#include <algorithm>
#include <string>

#include "placeholder/placeholder_record.h"
#include "report/text_format.h"
#include "runcontrol/scan_session.h"

using namespace placeholder;

namespace {

// Graphic Latin-1 characters are shown as themselves, everything else as ".".
WCHAR shownCharacter(BYTE byte)
{
    bool graphic = (byte >= 0x21 && byte <= 0x7E) || byte >= 0xA1;
    return graphic ? static_cast<WCHAR>(byte) : WSTR('.');
}

}  // namespace

void ScanSession::writeReparseDump(const BYTE* reparseBuffer, std::size_t dataLength)
{
    // The data the read returned, and never bytes it did not: on NTFS that
    // is what the header says, on Samba 16 bytes less (it counts the GUID).
    // The rows never read beyond the buffer.
    std::size_t length = std::min(dataLength, kBufferSize - kDataOffset);
    const BYTE* data = reparseBuffer + kDataOffset;

    WString text = WSTR("\r\nReparse Data Length: ");
    text += length == 0 ? WString(WSTR("0")) : WSTR("0x") + hexText(length);
    text += WSTR("\r\nReparse Data:\r\n");
    WString characters;
    for (std::size_t i = 0; i < length; ++i) {
        if (i % 16 == 0) {
            if (i != 0) {
                text += WSTR(" ") + characters + WSTR("\r\n");
                characters.clear();
            }
            text += hexText(i, 4) + WSTR(": ");
        }
        if (i % 8 == 0) {
            text += WSTR(" ");
        }
        text += hexText(data[i], 2) + WSTR(" ");
        characters += shownCharacter(data[i]);
    }
    if (length != 0) {
        text += WSTR(" ") + characters;
    }
    writeLine(text);
}
