// The XML component on Windows: MSXML 3.0 through COM.
//
// The document is DOMDocument30, requested as IXMLDOMDocument2 in any class
// context. Before loading, ProhibitDTD is set and resolveExternals cleared
// (MSXML 3.0 allows DTDs and resolves externals by default), so a DOCTYPE
// fails the load; a document that has one anyway is refused after it. Every COM object, BSTR and VARIANT is held by a scoped
// owner.
#include <msxml2.h>
#include <oleauto.h>

#include <new>
#include <stdexcept>

#include "platform/unique_resource.h"
#include "platform/xml/xml_document.h"

namespace xml {
namespace {

// MinGW's import libraries lack these GUIDs; private names keep them from
// clashing with a library that has them.
constexpr CLSID kDomDocument30 = {0xF5078F32, 0xC551, 0x11D3, {0x89, 0xB9, 0x00, 0x00, 0xF8, 0x1F, 0xE2, 0x21}};
constexpr IID kXmlDomDocument2 = {0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

template <typename Interface>
struct ComTraits {
    using Value = Interface*;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value value) noexcept { value->Release(); }
};
template <typename Interface>
using ComPointer = UniqueResource<ComTraits<Interface>>;

struct BstrTraits {
    using Value = BSTR;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value value) noexcept { SysFreeString(value); }
};
using UniqueBstr = UniqueResource<BstrTraits>;

class ScopedVariant {
public:
    ScopedVariant() { VariantInit(&value); }
    ~ScopedVariant() { clear(); }
    ScopedVariant(const ScopedVariant&) = delete;
    ScopedVariant& operator=(const ScopedVariant&) = delete;
    void clear() { VariantClear(&value); }

    VARIANT value;
};

UniqueBstr makeBstr(const WCHAR* text)
{
    UniqueBstr result(SysAllocString(text));
    if (!result) {
        throw std::bad_alloc();
    }
    return result;
}

void check(HRESULT result, const char* call)
{
    if (FAILED(result)) {
        throw std::runtime_error(std::string(call) + " failed on archive point xml" + errorSuffix(result));
    }
}

}  // namespace

struct DocumentBytes::Storage {
    ScopedVariant variant;  // VT_ARRAY | VT_UI1 once allocated
};

DocumentBytes::DocumentBytes() : storage_(std::make_unique<Storage>()) {}
DocumentBytes::~DocumentBytes() = default;

bool DocumentBytes::allocate(ULONG count)
{
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 1, count);
    if (array == nullptr) {
        return false;
    }
    storage_->variant.clear();
    storage_->variant.value.vt = VT_ARRAY | VT_UI1;
    storage_->variant.value.parray = array;
    return true;
}

HRESULT DocumentBytes::accessData(BYTE** data)
{
    void* raw = nullptr;
    HRESULT result = SafeArrayAccessData(storage_->variant.value.parray, &raw);
    *data = static_cast<BYTE*>(raw);
    return result;
}

HRESULT DocumentBytes::unaccessData() { return SafeArrayUnaccessData(storage_->variant.value.parray); }

struct Document::Component {
    ComPointer<IXMLDOMDocument2> document;
};

Document::Document() = default;
Document::~Document() = default;

bool Document::create()
{
    IXMLDOMDocument2* raw = nullptr;
    HRESULT result = CoCreateInstance(kDomDocument30, nullptr, CLSCTX_ALL, kXmlDomDocument2,
                                      reinterpret_cast<void**>(&raw));
    auto component = std::make_unique<Component>();
    component->document.reset(raw);
    if (FAILED(result) || !component->document) {
        return false;
    }
    component_ = std::move(component);
    return true;
}

bool Document::load(const DocumentBytes& bytes)
{
    IXMLDOMDocument2* document = component_->document.get();
    ScopedVariant prohibit;
    prohibit.value.vt = VT_BOOL;
    prohibit.value.boolVal = VARIANT_TRUE;
    check(document->setProperty(makeBstr(L"ProhibitDTD").get(), prohibit.value), "setProperty(ProhibitDTD)");
    check(document->put_resolveExternals(VARIANT_FALSE), "put_resolveExternals");

    ScopedVariant copy;
    check(VariantCopy(&copy.value, &bytes.storage_->variant.value), "VariantCopy");
    VARIANT_BOOL loaded = VARIANT_FALSE;
    HRESULT result = document->load(copy.value, &loaded);
    copy.clear();
    check(result, "load");
    if (loaded == VARIANT_FALSE) {
        return false;
    }
    // A component that ignores ProhibitDTD (Wine's does) still refuses a DOCTYPE.
    IXMLDOMDocumentType* rawType = nullptr;
    result = document->get_doctype(&rawType);
    ComPointer<IXMLDOMDocumentType> doctype(rawType);
    check(result, "doctype");
    return !doctype;
}

std::optional<WString> Document::selectFirstNodeText(const WCHAR* path)
{
    IXMLDOMNode* rawNode = nullptr;
    HRESULT result = component_->document.get()->selectSingleNode(makeBstr(path).get(), &rawNode);
    ComPointer<IXMLDOMNode> node(rawNode);
    check(result, "selectSingleNode");
    if (!node) {
        return std::nullopt;
    }
    BSTR rawText = nullptr;
    result = node.get()->get_text(&rawText);
    UniqueBstr text(rawText);
    check(result, "text");
    return text ? WString(text.get(), SysStringLen(text.get())) : WString();
}

}  // namespace xml
