// Placeholder until the full checker lands: only the declaration is checked.
#include "platform/xml_check.h"

#include <cstring>

namespace XmlCheck {

Verdict CheckDocument(const char* data, size_t size)
{
    if (size < 5 || std::memcmp(data, "<?xml", 5) != 0)
        return Verdict{false, 0, "no XML declaration"};
    return Verdict{true, size, ""};
}

}  // namespace XmlCheck
