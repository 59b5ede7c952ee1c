// The XML component on Linux: libxml2.
//
// The parser detects the encoding itself (byte-order mark, then the XML
// declaration). It is asked for no DTD loading, no entity substitution and
// no network access, and it stops at the first DOCTYPE: with no DTD there
// are no entities to declare, so an external entity or an expansion bomb
// never gets as far as being read. Its messages are dropped, since the
// console carries only the run's error line.
#include <new>
#include <stdexcept>
#include <vector>

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xpath.h>

#include "platform/text_conversion.h"
#include "platform/xml/xml_document.h"

namespace xml {
namespace {

void dropError(void*, xmlErrorPtr) {}

// The internalSubset event comes as soon as "<!DOCTYPE name ..." is read,
// before any declaration of the subset.
void refuseDoctype(void* userData, const xmlChar*, const xmlChar*, const xmlChar*)
{
    auto* context = static_cast<xmlParserCtxtPtr>(userData);
    *static_cast<bool*>(context->_private) = true;
    xmlStopParser(context);
}

struct ParserContextDeleter {
    void operator()(xmlParserCtxtPtr context) const { xmlFreeParserCtxt(context); }
};
struct DocDeleter {
    void operator()(xmlDocPtr document) const { xmlFreeDoc(document); }
};
struct XPathContextDeleter {
    void operator()(xmlXPathContextPtr context) const { xmlXPathFreeContext(context); }
};
struct XPathObjectDeleter {
    void operator()(xmlXPathObjectPtr object) const { xmlXPathFreeObject(object); }
};
struct XmlCharDeleter {
    void operator()(xmlChar* text) const { xmlFree(text); }
};

}  // namespace

struct DocumentBytes::Storage {
    std::vector<BYTE> bytes;
};

DocumentBytes::DocumentBytes() : storage_(std::make_unique<Storage>()) {}
DocumentBytes::~DocumentBytes() = default;

bool DocumentBytes::allocate(ULONG count)
{
    try {
        storage_->bytes.assign(count, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

HRESULT DocumentBytes::accessData(BYTE** data)
{
    *data = storage_->bytes.data();
    return S_OK;
}

HRESULT DocumentBytes::unaccessData() { return S_OK; }

struct Document::Component {
    std::unique_ptr<xmlParserCtxt, ParserContextDeleter> parser;
    std::unique_ptr<xmlDoc, DocDeleter> document;
    bool doctypeSeen = false;
};

Document::Document() = default;
Document::~Document() = default;

bool Document::create()
{
    xmlInitParser();
    xmlSetStructuredErrorFunc(nullptr, dropError);
    auto component = std::make_unique<Component>();
    component->parser.reset(xmlNewParserCtxt());
    if (!component->parser) {
        return false;
    }
    component_ = std::move(component);
    return true;
}

bool Document::load(const DocumentBytes& bytes)
{
    const std::vector<BYTE>& data = bytes.storage_->bytes;
    xmlParserCtxtPtr parser = component_->parser.get();
    parser->sax->internalSubset = refuseDoctype;
    parser->_private = &component_->doctypeSeen;
    constexpr int kOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    component_->doctypeSeen = false;
    // An empty buffer is no document; libxml2 wants at least one byte.
    std::unique_ptr<xmlDoc, DocDeleter> document(
        data.empty() ? nullptr
                     : xmlCtxtReadMemory(parser, reinterpret_cast<const char*>(data.data()),
                                         static_cast<int>(data.size()), nullptr, nullptr, kOptions));
    if (!document || component_->doctypeSeen || document->intSubset != nullptr ||
        xmlDocGetRootElement(document.get()) == nullptr) {
        return false;
    }
    component_->document = std::move(document);
    return true;
}

std::optional<WString> Document::selectFirstNodeText(const WCHAR* path)
{
    std::unique_ptr<xmlXPathContext, XPathContextDeleter> context(xmlXPathNewContext(component_->document.get()));
    if (!context) {
        throw std::runtime_error("Failed to query archive point xml");
    }
    std::string expression = utf8Text(path);
    std::unique_ptr<xmlXPathObject, XPathObjectDeleter> result(
        xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(expression.c_str()), context.get()));
    if (!result || result->type != XPATH_NODESET) {
        throw std::runtime_error("Failed to query archive point xml");
    }
    if (xmlXPathNodeSetIsEmpty(result->nodesetval)) {
        return std::nullopt;
    }
    std::unique_ptr<xmlChar, XmlCharDeleter> text(xmlNodeGetContent(xmlXPathNodeSetItem(result->nodesetval, 0)));
    if (!text) {
        return WString();
    }
    return wideText(reinterpret_cast<const char*>(text.get()));
}

}  // namespace xml
