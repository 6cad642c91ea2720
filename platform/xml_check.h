// Well-formedness check of one XML document, as the configurator makes it
// before it installs a file.
#ifndef PLATFORM_XML_CHECK_H
#define PLATFORM_XML_CHECK_H

#include <cstddef>

namespace XmlCheck {

// Largest document the configurator installs.
const size_t MAX_DOCUMENT_BYTES = 16u << 20;

struct Verdict {
    bool wellFormed;      // true: one well-formed document
    size_t offset;        // where it stopped being one (byte offset)
    const char* reason;   // static text, e.g. "mismatched end tag"; "" when well-formed
};

// Checks data[0, size): XML declaration, exactly one root element, balanced
// and nested tags, quoted attributes, comments, CDATA, processing
// instructions, character and entity references, only whitespace after the
// root. Allocates nothing but its tag stack.
Verdict CheckDocument(const char* data, size_t size);

}  // namespace XmlCheck

#endif
