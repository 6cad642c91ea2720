// Well-formedness check of one XML document, as the configurator makes it
// before it installs a file.
#ifndef PLATFORM_XML_CHECK_H
#define PLATFORM_XML_CHECK_H

#include <cstddef>
#include <string>

namespace XmlCheck {

// Largest document the configurator installs.
const size_t MAX_DOCUMENT_BYTES = 16u << 20;

struct Verdict {
    bool wellFormed;      // true: one well-formed document
    size_t offset;        // where it stopped being one (byte offset); size when well-formed
    const char* reason;   // static text, e.g. "mismatched end tag"; "" when well-formed
    size_t rootAt = 0;       // the root element's name is data[rootAt, rootAt + rootLength),
    size_t rootLength = 0;   // set once its start tag has been read (0: not reached)
};

// Checks data[0, size): XML declaration, exactly one root element, balanced
// and nested tags, quoted attributes, comments, CDATA, processing
// instructions, character and entity references, only whitespace after the
// root. Allocates nothing but its tag stack and the attribute names of one
// tag. Documents above MAX_DOCUMENT_BYTES are refused ("document too large").
//
// Stricter than XML 1.0 by choice, each with its own reason text:
// - a DOCTYPE declaration is refused ("DOCTYPE not supported"): without a DTD
//   the five predefined entities are the only ones, so nothing is expanded
//   and nothing external is ever named;
// - the declared encoding, when there is one, must be UTF-8 ("unsupported
//   encoding"); the text must be valid UTF-8 in any case;
// - names (elements, attributes, entities, processing-instruction targets)
//   are ASCII ("non-ASCII character in a name");
// - elements nest at most 4096 deep ("elements nested too deeply"), which
//   bounds the tag stack; and a start tag with more attributes than memory
//   allows is refused ("out of memory") rather than thrown.
Verdict CheckDocument(const char* data, size_t size);

// The root element's name of the document data[0, size) begins with, read as
// CheckDocument reads it up to the end of the root's start tag: only that part
// needs to be there. Empty when that part is not well-formed or not complete.
std::string RootElement(const char* data, size_t size);

// The refusals above that a general XML parser may accept: true for the
// reason texts of the choices listed there.
bool IsStricterThanXml(const char* reason);

}  // namespace XmlCheck

#endif
