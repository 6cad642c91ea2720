// The configurator's document check against expat on any input: the two
// verdicts must agree, but where the check is stricter by choice (its reason
// says so) and expat takes the document. expat is linked into this target only.
#include <expat.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "configurator/xml_check.h"

namespace {

// expat takes documents without a declaration; the check does not.
bool OpensWithDeclaration(const char* data, size_t size)
{
    const size_t start = size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
    return size > start + 5 && std::memcmp(data + start, "<?xml", 5) == 0 &&
           std::strchr(" \t\r\n", data[start + 5]) != nullptr && data[start + 5] != '\0';
}

bool ExpatTakes(const char* data, size_t size)
{
    XML_Parser parser = XML_ParserCreate(nullptr);
    if (parser == nullptr)
        abort();
    const bool taken = XML_Parse(parser, data, static_cast<int>(size), 1) == XML_STATUS_OK;
    XML_ParserFree(parser);
    return taken;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    if (size > INT_MAX)
        return 0;
    const char* data = reinterpret_cast<const char*>(bytes);
    const XmlCheck::Verdict verdict = XmlCheck::CheckDocument(data, size);
    if (verdict.reason == nullptr || verdict.offset > size || verdict.wellFormed != (verdict.reason[0] == '\0'))
        abort();
    const bool expected = ExpatTakes(data, size) && OpensWithDeclaration(data, size);
    if (verdict.wellFormed != expected && !(expected && XmlCheck::IsStricterThanXml(verdict.reason))) {
        std::fprintf(stderr, "verdicts differ: expat %s the document, the check says \"%s\" at %zu\n",
                     expected ? "takes" : "refuses", verdict.reason, verdict.offset);
        abort();
    }
    return 0;
}
