// Well-formedness check: one pass over the bytes, no recursion, a stack of
// the open element names as offsets into the document. Character data is
// skipped through byte-class tables; only markup, references and non-ASCII
// characters leave the fast loop.
#include "configurator/xml_check.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

namespace XmlCheck {

namespace {

// Deepest nesting of elements taken; it bounds the tag stack.
const size_t MAX_DEPTH = 4096;

const char TOO_LARGE[] = "document too large";
const char NO_DECLARATION[] = "no XML declaration";
const char BAD_DECLARATION[] = "malformed XML declaration";
const char UNSUPPORTED_ENCODING[] = "unsupported encoding";
const char DOCTYPE[] = "DOCTYPE not supported";
const char NON_ASCII_NAME[] = "non-ASCII character in a name";
const char NO_ROOT[] = "no root element";
const char TEXT_BEFORE_ROOT[] = "text before the root element";
const char TEXT_AFTER_ROOT[] = "text after the root element";
const char BAD_MARKUP[] = "malformed markup";
const char BAD_START_TAG[] = "malformed start tag";
const char UNQUOTED_VALUE[] = "unquoted attribute value";
const char LT_IN_VALUE[] = "'<' in an attribute value";
const char DUPLICATE_ATTRIBUTE[] = "duplicate attribute";
const char BAD_END_TAG[] = "malformed end tag";
const char MISMATCHED_END_TAG[] = "mismatched end tag";
const char UNCLOSED_ELEMENT[] = "unclosed element";
const char UNEXPECTED_END[] = "unexpected end of document";
const char DOUBLE_HYPHEN[] = "\"--\" in a comment";
const char CDATA_END_IN_TEXT[] = "\"]]>\" in text";
const char BAD_PI[] = "malformed processing instruction";
const char RESERVED_PI_TARGET[] = "reserved processing instruction target";
const char BAD_CHAR_REFERENCE[] = "malformed character reference";
const char INVALID_CHAR_REFERENCE[] = "reference to an invalid character";
const char BAD_ENTITY_REFERENCE[] = "malformed entity reference";
const char UNDEFINED_ENTITY[] = "undefined entity";
const char INVALID_CHARACTER[] = "invalid character";
const char INVALID_UTF8[] = "invalid UTF-8";
const char TOO_DEEP[] = "elements nested too deeply";
const char OUT_OF_MEMORY[] = "out of memory";

// Byte classes. In the four character-data tables a 1 marks a byte that
// stands for itself there: printable ASCII but that context's delimiters,
// and tab, line feed and carriage return.
struct Tables {
    uint8_t text[256];      // content: stops at '<' '&' ']'
    uint8_t value[256];     // attribute value: stops at '<' '&' and both quotes
    uint8_t comment[256];   // stops at '-'
    uint8_t cdata[256];     // stops at ']'
    uint8_t pi[256];        // stops at '?'
    uint8_t nameStart[256];
    uint8_t name[256];
    uint8_t space[256];
};

constexpr Tables MakeTables()
{
    Tables t{};
    for (int b = 0; b < 256; ++b) {
        const bool plain = (b >= 0x20 && b < 0x80) || b == '\t' || b == '\n' || b == '\r';
        t.text[b] = plain && b != '<' && b != '&' && b != ']';
        t.value[b] = plain && b != '<' && b != '&' && b != '"' && b != '\'';
        t.comment[b] = plain && b != '-';
        t.cdata[b] = plain && b != ']';
        t.pi[b] = plain && b != '?';
        const bool letter = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z');
        t.nameStart[b] = letter || b == '_' || b == ':';
        t.name[b] = t.nameStart[b] || (b >= '0' && b <= '9') || b == '-' || b == '.';
        t.space[b] = b == ' ' || b == '\t' || b == '\n' || b == '\r';
    }
    return t;
}

constexpr Tables TABLES = MakeTables();

// The first byte at or after p that table does not mark, or end.
inline const uint8_t* Skip(const uint8_t* p, const uint8_t* end, const uint8_t* table)
{
    while (end - p >= 8) {
        if (!table[p[0]]) return p;
        if (!table[p[1]]) return p + 1;
        if (!table[p[2]]) return p + 2;
        if (!table[p[3]]) return p + 3;
        if (!table[p[4]]) return p + 4;
        if (!table[p[5]]) return p + 5;
        if (!table[p[6]]) return p + 6;
        if (!table[p[7]]) return p + 7;
        p += 8;
    }
    while (p < end && table[*p])
        ++p;
    return p;
}

inline bool IsContinuation(uint8_t b)
{
    return (b & 0xC0) == 0x80;
}

// Length of the UTF-8 sequence of an XML character at p (*p >= 0x80), or 0:
// no overlong forms, surrogates, U+FFFE, U+FFFF or code points past U+10FFFF.
size_t Utf8Length(const uint8_t* p, const uint8_t* end)
{
    const size_t left = static_cast<size_t>(end - p);
    const uint8_t lead = p[0];
    if (lead >= 0xC2 && lead <= 0xDF)
        return left >= 2 && IsContinuation(p[1]) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (left < 3 || !IsContinuation(p[1]) || !IsContinuation(p[2]))
            return 0;
        if ((lead == 0xE0 && p[1] < 0xA0) || (lead == 0xED && p[1] >= 0xA0))
            return 0;
        if (lead == 0xEF && p[1] == 0xBF && p[2] >= 0xBE)
            return 0;
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (left < 4 || !IsContinuation(p[1]) || !IsContinuation(p[2]) || !IsContinuation(p[3]))
            return 0;
        if ((lead == 0xF0 && p[1] < 0x90) || (lead == 0xF4 && p[1] >= 0x90))
            return 0;
        return 4;
    }
    return 0;
}

bool IsXmlChar(uint32_t c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}

// A name in the document; 32 bits suffice below MAX_DOCUMENT_BYTES.
struct Span {
    uint32_t at;
    uint32_t length;
};

Span SpanOf(const uint8_t* begin, const uint8_t* from, const uint8_t* to)
{
    return Span{static_cast<uint32_t>(from - begin), static_cast<uint32_t>(to - from)};
}

class Checker {
public:
    Checker(const char* data, size_t size)
        : mBegin(reinterpret_cast<const uint8_t*>(data)), mP(mBegin), mEnd(mBegin + size)
    {
    }

    Verdict Run()
    {
        if (mEnd - mP >= 3 && mP[0] == 0xEF && mP[1] == 0xBB && mP[2] == 0xBF)
            mP += 3;   // a UTF-8 byte order mark
        const bool wellFormed = Declaration() && Misc(false) && Elements() && Misc(true);
        Verdict verdict{wellFormed, static_cast<size_t>((wellFormed ? mEnd : mFailAt) - mBegin),
                        wellFormed ? "" : mpReason};
        verdict.rootAt = mRoot.at;
        verdict.rootLength = mRoot.length;
        return verdict;
    }

    // Up to the end of the root's start tag only.
    std::string Root()
    {
        if (mEnd - mP >= 3 && mP[0] == 0xEF && mP[1] == 0xBB && mP[2] == 0xBF)
            mP += 3;
        if (!Declaration() || !Misc(false) || !StartTag())
            return std::string();
        return std::string(reinterpret_cast<const char*>(mBegin + mRoot.at), mRoot.length);
    }

private:
    bool Fail(const uint8_t* at, const char* reason)
    {
        mFailAt = at;
        mpReason = reason;
        return false;
    }

    bool StartsWith(const char* text) const
    {
        const size_t length = std::strlen(text);
        return static_cast<size_t>(mEnd - mP) >= length && std::memcmp(mP, text, length) == 0;
    }

    bool SkipSpace()
    {
        const uint8_t* start = mP;
        while (mP < mEnd && TABLES.space[*mP])
            ++mP;
        return mP != start;
    }

    // Skips bytes that table marks and valid non-ASCII characters; stops at
    // the end or at a delimiter of table, fails on any other byte.
    bool Chars(const uint8_t* table)
    {
        for (;;) {
            mP = Skip(mP, mEnd, table);
            if (mP == mEnd)
                return true;
            if (*mP < 0x80)
                return *mP >= 0x20 || Fail(mP, INVALID_CHARACTER);
            const size_t length = Utf8Length(mP, mEnd);
            if (length == 0)
                return Fail(mP, INVALID_UTF8);
            mP += length;
        }
    }

    // An ASCII name; reason when none starts at mP.
    bool Name(const char* reason)
    {
        if (mP == mEnd)
            return Fail(mP, UNEXPECTED_END);
        if (*mP >= 0x80)
            return Fail(mP, NON_ASCII_NAME);
        if (!TABLES.nameStart[*mP])
            return Fail(mP, reason);
        ++mP;
        while (mP < mEnd && TABLES.name[*mP])
            ++mP;
        return mP == mEnd || *mP < 0x80 || Fail(mP, NON_ASCII_NAME);
    }

    // S? '=' S?
    bool Equals(const char* reason)
    {
        SkipSpace();
        if (mP == mEnd || *mP != '=')
            return Fail(mP, reason);
        ++mP;
        SkipSpace();
        return true;
    }

    // name Eq value, a pseudo-attribute of the declaration whose value is a
    // run of name characters but ':'; its bytes in [from, to).
    bool PseudoAttribute(const char* name, const uint8_t*& from, const uint8_t*& to)
    {
        const size_t length = std::strlen(name);
        if (!StartsWith(name))
            return Fail(mP, BAD_DECLARATION);
        mP += length;
        if (!Equals(BAD_DECLARATION))
            return false;
        if (mP == mEnd || (*mP != '"' && *mP != '\''))
            return Fail(mP, BAD_DECLARATION);
        const uint8_t quote = *mP++;
        from = mP;
        while (mP < mEnd && TABLES.name[*mP] && *mP != ':')
            ++mP;
        if (mP == mEnd || *mP != quote)
            return Fail(mP, BAD_DECLARATION);
        to = mP++;
        return true;
    }

    static bool IsText(const uint8_t* from, const uint8_t* to, const char* text)
    {
        return static_cast<size_t>(to - from) == std::strlen(text) && std::memcmp(from, text, std::strlen(text)) == 0;
    }

    // '<?xml' S version (S encoding)? (S standalone)? S? '?>'. Any version
    // value is taken, as common parsers do; the encoding name must be UTF-8
    // in any case, standalone "yes" or "no".
    bool Declaration()
    {
        if (!StartsWith("<?xml") || mEnd - mP < 6 || !TABLES.space[mP[5]])
            return Fail(mP, NO_DECLARATION);
        mP += 5;
        SkipSpace();
        const uint8_t* from = nullptr;
        const uint8_t* to = nullptr;
        if (!PseudoAttribute("version", from, to))
            return false;
        bool spaced = SkipSpace();
        if (spaced && StartsWith("encoding")) {
            if (!PseudoAttribute("encoding", from, to))
                return false;
            if (from == to || !((*from | 0x20) >= 'a' && (*from | 0x20) <= 'z'))
                return Fail(from, BAD_DECLARATION);
            bool utf8 = to - from == 5;
            for (size_t i = 0; utf8 && i < 5; ++i)
                utf8 = (i == 3 ? from[i] : from[i] | 0x20) == "utf-8"[i];
            if (!utf8)
                return Fail(from, UNSUPPORTED_ENCODING);
            spaced = SkipSpace();
        }
        if (spaced && StartsWith("standalone")) {
            if (!PseudoAttribute("standalone", from, to))
                return false;
            if (!IsText(from, to, "yes") && !IsText(from, to, "no"))
                return Fail(from, BAD_DECLARATION);
            SkipSpace();
        }
        if (!StartsWith("?>"))
            return Fail(mP, BAD_DECLARATION);
        mP += 2;
        return true;
    }

    // Comments, processing instructions and white space: before the root up
    // to its '<', after it up to the end.
    bool Misc(bool afterRoot)
    {
        for (;;) {
            SkipSpace();
            if (mP == mEnd)
                return afterRoot || Fail(mP, NO_ROOT);
            if (StartsWith("<?")) {
                if (!ProcessingInstruction())
                    return false;
            } else if (StartsWith("<!--")) {
                if (!Comment())
                    return false;
            } else if (afterRoot) {
                return Fail(mP, TEXT_AFTER_ROOT);
            } else if (*mP != '<') {
                return Fail(mP, TEXT_BEFORE_ROOT);
            } else if (StartsWith("<!DOCTYPE")) {
                return Fail(mP, DOCTYPE);
            } else {
                return !StartsWith("<!") || Fail(mP, BAD_MARKUP);
            }
        }
    }

    // The root element and everything in it; mP is at its '<'.
    bool Elements()
    {
        if (!StartTag())
            return false;
        while (!mStack.empty()) {
            if (!Chars(TABLES.text))
                return false;
            if (mP == mEnd)
                return Fail(mP, UNCLOSED_ELEMENT);
            if (*mP == '&') {
                if (!Reference())
                    return false;
            } else if (*mP == ']') {
                if (StartsWith("]]>"))
                    return Fail(mP, CDATA_END_IN_TEXT);
                ++mP;
            } else if (mEnd - mP < 2) {
                return Fail(mEnd, UNEXPECTED_END);
            } else if (mP[1] == '/') {
                if (!EndTag())
                    return false;
            } else if (mP[1] == '?') {
                if (!ProcessingInstruction())
                    return false;
            } else if (StartsWith("<!--")) {
                if (!Comment())
                    return false;
            } else if (StartsWith("<![CDATA[")) {
                if (!Cdata())
                    return false;
            } else if (mP[1] == '!') {
                return Fail(mP, BAD_MARKUP);
            } else if (!StartTag()) {
                return false;
            }
        }
        return true;
    }

    // '<' Name (S Attribute)* S? ('>' | '/>'): pushes the name unless empty.
    bool StartTag()
    {
        ++mP;
        const uint8_t* name = mP;
        if (!Name(BAD_MARKUP))
            return false;
        const Span element = SpanOf(mBegin, name, mP);
        if (mRoot.length == 0)
            mRoot = element;
        mAttributes.clear();
        for (;;) {
            const bool spaced = SkipSpace();
            if (mP == mEnd)
                return Fail(mP, UNEXPECTED_END);
            if (*mP == '>') {
                if (mStack.size() == MAX_DEPTH)
                    return Fail(name - 1, TOO_DEEP);
                ++mP;
                mStack.push_back(element);
                break;
            }
            if (*mP == '/') {
                if (mEnd - mP < 2)
                    return Fail(mEnd, UNEXPECTED_END);
                if (mP[1] != '>')
                    return Fail(mP, BAD_START_TAG);
                mP += 2;
                break;
            }
            if (!spaced)
                return Fail(mP, BAD_START_TAG);
            const uint8_t* attribute = mP;
            if (!Name(BAD_START_TAG))
                return false;
            mAttributes.push_back(SpanOf(mBegin, attribute, mP));
            if (!Equals(BAD_START_TAG) || !AttributeValue())
                return false;
        }
        return UniqueAttributes();
    }

    bool AttributeValue()
    {
        if (mP == mEnd)
            return Fail(mP, UNEXPECTED_END);
        if (*mP != '"' && *mP != '\'')
            return Fail(mP, UNQUOTED_VALUE);
        const uint8_t quote = *mP++;
        for (;;) {
            if (!Chars(TABLES.value))
                return false;
            if (mP == mEnd)
                return Fail(mP, UNEXPECTED_END);
            if (*mP == quote) {
                ++mP;
                return true;
            }
            if (*mP == '<')
                return Fail(mP, LT_IN_VALUE);
            if (*mP == '&') {
                if (!Reference())
                    return false;
            } else {
                ++mP;   // the other quote
            }
        }
    }

    bool SameName(const Span& a, const Span& b) const
    {
        return a.length == b.length && std::memcmp(mBegin + a.at, mBegin + b.at, a.length) == 0;
    }

    // Pairwise for the usual few attributes, sorted for many.
    bool UniqueAttributes()
    {
        const size_t count = mAttributes.size();
        if (count <= 16) {
            for (size_t i = 1; i < count; ++i)
                for (size_t j = 0; j < i; ++j)
                    if (SameName(mAttributes[i], mAttributes[j]))
                        return Fail(mBegin + mAttributes[i].at, DUPLICATE_ATTRIBUTE);
            return true;
        }
        std::sort(mAttributes.begin(), mAttributes.end(), [this](const Span& a, const Span& b) {
            if (a.length != b.length)
                return a.length < b.length;
            const int order = std::memcmp(mBegin + a.at, mBegin + b.at, a.length);
            return order != 0 ? order < 0 : a.at < b.at;
        });
        for (size_t i = 1; i < count; ++i)
            if (SameName(mAttributes[i], mAttributes[i - 1]))
                return Fail(mBegin + mAttributes[i].at, DUPLICATE_ATTRIBUTE);
        return true;
    }

    // '</' Name S? '>' matching the innermost open element.
    bool EndTag()
    {
        const uint8_t* tag = mP;
        mP += 2;
        const uint8_t* name = mP;
        if (!Name(BAD_END_TAG))
            return false;
        const Span& open = mStack.back();
        if (static_cast<size_t>(mP - name) != open.length || std::memcmp(name, mBegin + open.at, open.length) != 0)
            return Fail(tag, MISMATCHED_END_TAG);
        SkipSpace();
        if (mP == mEnd)
            return Fail(mP, UNEXPECTED_END);
        if (*mP != '>')
            return Fail(mP, BAD_END_TAG);
        ++mP;
        mStack.pop_back();
        return true;
    }

    // '<!--' text without '--' '-->'
    bool Comment()
    {
        mP += 4;
        for (;;) {
            if (!Chars(TABLES.comment))
                return false;
            if (mEnd - mP < 3)
                return Fail(mEnd, UNEXPECTED_END);
            if (mP[1] != '-') {
                ++mP;
            } else if (mP[2] == '>') {
                mP += 3;
                return true;
            } else {
                return Fail(mP, DOUBLE_HYPHEN);
            }
        }
    }

    // '<![CDATA[' text ']]>'
    bool Cdata()
    {
        mP += 9;
        for (;;) {
            if (!Chars(TABLES.cdata))
                return false;
            if (mP == mEnd)
                return Fail(mP, UNEXPECTED_END);
            if (StartsWith("]]>")) {
                mP += 3;
                return true;
            }
            ++mP;
        }
    }

    // '<?' Name (S text)? '?>', the name not "xml" in any case.
    bool ProcessingInstruction()
    {
        const uint8_t* start = mP;
        mP += 2;
        const uint8_t* target = mP;
        if (!Name(BAD_PI))
            return false;
        if (mP - target == 3 && (target[0] | 0x20) == 'x' && (target[1] | 0x20) == 'm' && (target[2] | 0x20) == 'l')
            return Fail(start, RESERVED_PI_TARGET);
        if (mP == mEnd)
            return Fail(mP, UNEXPECTED_END);
        if (!TABLES.space[*mP]) {
            if (!StartsWith("?>"))
                return mEnd - mP < 2 ? Fail(mEnd, UNEXPECTED_END) : Fail(mP, BAD_PI);
            mP += 2;
            return true;
        }
        for (;;) {
            if (!Chars(TABLES.pi))
                return false;
            if (mEnd - mP < 2)
                return Fail(mEnd, UNEXPECTED_END);
            if (mP[1] == '>') {
                mP += 2;
                return true;
            }
            ++mP;
        }
    }

    // '&#' digits ';', '&#x' hex digits ';' or '&' one of the five predefined names ';'.
    bool Reference()
    {
        const uint8_t* start = mP++;
        if (mP < mEnd && *mP == '#') {
            ++mP;
            const bool hex = mP < mEnd && *mP == 'x';
            if (hex)
                ++mP;
            const uint8_t* digits = mP;
            uint32_t value = 0;
            for (; mP < mEnd; ++mP) {
                const uint8_t b = *mP;
                uint32_t digit;
                if (b >= '0' && b <= '9')
                    digit = b - '0';
                else if (hex && (b | 0x20) >= 'a' && (b | 0x20) <= 'f')
                    digit = (b | 0x20) - 'a' + 10;
                else
                    break;
                value = std::min<uint32_t>(value * (hex ? 16 : 10) + digit, 0x110000);
            }
            if (mP == mEnd)
                return Fail(mP, UNEXPECTED_END);
            if (mP == digits || *mP != ';')
                return Fail(mP, BAD_CHAR_REFERENCE);
            ++mP;
            return IsXmlChar(value) || Fail(start, INVALID_CHAR_REFERENCE);
        }
        const uint8_t* name = mP;
        if (!Name(BAD_ENTITY_REFERENCE))
            return false;
        if (mP == mEnd)
            return Fail(mP, UNEXPECTED_END);
        if (*mP != ';')
            return Fail(mP, BAD_ENTITY_REFERENCE);
        const size_t length = static_cast<size_t>(mP - name);
        static const char* const PREDEFINED[] = {"lt", "gt", "amp", "apos", "quot"};
        for (const char* entity : PREDEFINED) {
            if (std::strlen(entity) == length && std::memcmp(entity, name, length) == 0) {
                ++mP;
                return true;
            }
        }
        return Fail(start, UNDEFINED_ENTITY);
    }

    const uint8_t* const mBegin;
    const uint8_t* mP;
    const uint8_t* const mEnd;
    const uint8_t* mFailAt = nullptr;
    const char* mpReason = "";
    Span mRoot{0, 0};                // the root element's name, once read
    std::vector<Span> mStack;        // the open elements' names
    std::vector<Span> mAttributes;   // the names of the current start tag's attributes
};

}  // namespace

Verdict CheckDocument(const char* data, size_t size)
{
    if (size > MAX_DOCUMENT_BYTES)
        return Verdict{false, MAX_DOCUMENT_BYTES, TOO_LARGE};
    try {
        return Checker(data, size).Run();
    } catch (const std::bad_alloc&) {   // the attribute names of a huge start tag
        return Verdict{false, 0, OUT_OF_MEMORY};
    }
}

std::string RootElement(const char* data, size_t size)
{
    try {
        return Checker(data, std::min(size, MAX_DOCUMENT_BYTES)).Root();
    } catch (const std::bad_alloc&) {
        return std::string();
    }
}

bool IsStricterThanXml(const char* reason)
{
    for (const char* text : {DOCTYPE, UNSUPPORTED_ENCODING, NON_ASCII_NAME, TOO_DEEP, OUT_OF_MEMORY})
        if (std::strcmp(reason, text) == 0)
            return true;
    return false;
}

}  // namespace XmlCheck
