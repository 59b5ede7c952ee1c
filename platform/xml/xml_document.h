// The XML component that reads archive point markers, behind the three
// operations a marker needs: load a byte buffer (the encoding found from its
// byte-order mark or its declaration), select the first node at an absolute
// path, give that node's text.
//
//   Windows  MSXML 3.0 (DOMDocument30, as IXMLDOMDocument2) through COM; the
//            bytes are a VT_UI1 SAFEARRAY with lower bound 1 owned by a
//            VARIANT, and `load` gets a copy of that VARIANT.
//   Linux    libxml2; the bytes are plain memory.
//
// A marker is written by whoever can write to its folder, and the program
// reads it with the backup privilege. So a document is loaded with DTDs
// prohibited (a DOCTYPE fails the load), with no external entity and no
// network access.
#pragma once

#include <charconv>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/win32.h"

namespace xml {

// ", error 0x" and the HRESULT in lower-case hexadecimal, no leading zeros.
inline std::string errorSuffix(HRESULT result)
{
    char digits[8];
    auto end = std::to_chars(digits, digits + sizeof digits, static_cast<std::uint32_t>(result), 16).ptr;
    return ", error 0x" + std::string(digits, end);
}

// The bytes handed to the parser.
class DocumentBytes {
public:
    DocumentBytes();
    ~DocumentBytes();
    DocumentBytes(const DocumentBytes&) = delete;
    DocumentBytes& operator=(const DocumentBytes&) = delete;

    // Room for `count` bytes (SafeArrayCreateVector(VT_UI1, 1, count));
    // false when there is not enough memory.
    [[nodiscard]] bool allocate(ULONG count);
    // SafeArrayAccessData and SafeArrayUnaccessData; always S_OK on Linux.
    [[nodiscard]] HRESULT accessData(BYTE** data);
    [[nodiscard]] HRESULT unaccessData();

private:
    friend class Document;
    struct Storage;
    std::unique_ptr<Storage> storage_;
};

// The bytes locked for writing until unlock() or the end of the scope.
class DataAccess {
public:
    explicit DataAccess(DocumentBytes& bytes) : bytes_(bytes), result_(bytes.accessData(&data_)) {}
    ~DataAccess()
    {
        if (locked()) {
            (void)bytes_.unaccessData();
        }
    }
    DataAccess(const DataAccess&) = delete;
    DataAccess& operator=(const DataAccess&) = delete;

    // The result of the lock; a negative HRESULT means no access.
    [[nodiscard]] HRESULT result() const { return result_; }
    [[nodiscard]] BYTE* data() const { return data_; }
    // Ends the access early; the HRESULT of the unlock.
    [[nodiscard]] HRESULT unlock()
    {
        unlocked_ = true;
        return bytes_.unaccessData();
    }

private:
    [[nodiscard]] bool locked() const { return result_ >= 0 && !unlocked_; }

    DocumentBytes& bytes_;
    BYTE* data_ = nullptr;
    HRESULT result_;
    bool unlocked_ = false;
};

// One document. A failing call of the component itself (as opposed to bytes
// that are no document) throws std::runtime_error naming the call.
class Document {
public:
    Document();
    ~Document();
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;

    // Creates the component; false when it cannot be created.
    [[nodiscard]] bool create();
    // Parses the bytes; false when they are not a well-formed document, or
    // when the document has a DOCTYPE.
    [[nodiscard]] bool load(const DocumentBytes& bytes);
    // The text content of the first node at an absolute path, such as
    // "/root/child"; nullopt when no node matches.
    [[nodiscard]] std::optional<WString> selectFirstNodeText(const WCHAR* path);

private:
    struct Component;
    std::unique_ptr<Component> component_;
};

}  // namespace xml
