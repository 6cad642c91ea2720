// The document check: its reasons and offsets on a table, and its verdicts
// against python3's expat on generated and mutated documents.
#include "configurator/xml_check.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "testing/test_support.h"

namespace {

const std::string DECL = "<?xml version=\"1.0\"?>";

std::string Repeat(const std::string& text, size_t times)
{
    std::string out;
    while (times-- > 0)
        out += text;
    return out;
}

TEST(XmlCheckTest, ReasonAndOffsetOfEachRefusal)
{
    const struct {
        std::string document;
        const char* reason;   // "" for well-formed
        size_t offset;        // size when well-formed
    } rows[] = {
        {"\xEF\xBB\xBF<?xml version='1.0' encoding='utf-8' standalone='no' ?>\n<!-- c --><?pi x?>"
         "<a:b x=\"&lt;&#x10FFFF;'\" y='\"&#65;'><![CDATA[<&]]]><c\t/></a:b >\n<?pi?><!---->\n", "", 0},
        {" " + DECL + "<a/>", "no XML declaration", 0},
        {"<?xmlx version=\"1.0\"?><a/>", "no XML declaration", 0},
        {"<?xml version=\"1 0\"?><a/>", "malformed XML declaration", 16},
        {"<?xml version=\"1.0\"encoding=\"UTF-8\"?><a/>", "malformed XML declaration", 19},
        {"<?xml version=\"1.0\" encoding=\"latin1\"?><a/>", "unsupported encoding", 30},
        {"<?xml version=\"1.0\" standalone=\"YES\"?><a/>", "malformed XML declaration", 32},
        {DECL + "<!DOCTYPE a><a/>", "DOCTYPE not supported", 21},
        {DECL + "<a\xC3\xA9/>", "non-ASCII character in a name", 23},
        {DECL + "\n", "no root element", 22},
        {DECL + "x<a/>", "text before the root element", 21},
        {DECL + "<a/><b/>", "text after the root element", 25},
        {DECL + "<a><!x></a>", "malformed markup", 24},
        {DECL + "<a x='1'y='2'/>", "malformed start tag", 29},
        {DECL + "<a x=1/>", "unquoted attribute value", 26},
        {DECL + "<a x='<'/>", "'<' in an attribute value", 27},
        {DECL + "<a x='1' y='2' x='3'/>", "duplicate attribute", 36},
        {DECL + "<a></a/>", "malformed end tag", 27},
        {DECL + "<a><b></a></b>", "mismatched end tag", 27},
        {DECL + "<a><b>", "unclosed element", 27},
        {DECL + "<a x='", "unexpected end of document", 27},
        {DECL + "<a><!-- a -- b --></a>", "\"--\" in a comment", 31},
        {DECL + "<a>]]></a>", "\"]]>\" in text", 24},
        {DECL + "<a><? x?></a>", "malformed processing instruction", 26},
        {DECL + "<a><?XmL x?></a>", "reserved processing instruction target", 24},
        {DECL + "<a>&#x41</a>", "malformed character reference", 29},
        {DECL + "<a>&#xD800;</a>", "reference to an invalid character", 24},
        {DECL + "<a>&lt </a>", "malformed entity reference", 27},
        {DECL + "<a>&nbsp;</a>", "undefined entity", 24},
        {DECL + "<a>\x0B</a>", "invalid character", 24},
        {DECL + "<a>\xED\xA0\x80</a>", "invalid UTF-8", 24},
        {DECL + "<a>\xEF\xBF\xBE</a>", "invalid UTF-8", 24},
        {DECL + Repeat("<a>", 4096) + "<b/>" + Repeat("</a>", 4096), "", 0},
        {DECL + Repeat("<a>", 4097), "elements nested too deeply", 21 + 4096 * 3},
        {std::string(XmlCheck::MAX_DOCUMENT_BYTES + 1, ' '), "document too large", XmlCheck::MAX_DOCUMENT_BYTES},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.document.substr(0, 200));
        XmlCheck::Verdict verdict = XmlCheck::CheckDocument(row.document.data(), row.document.size());
        EXPECT_EQ(row.reason[0] == '\0', verdict.wellFormed);
        EXPECT_STREQ(row.reason, verdict.reason);
        EXPECT_EQ(row.reason[0] == '\0' ? row.document.size() : row.offset, verdict.offset);
    }

    // The root element's name, from the whole document and from its start up to the root's start tag.
    const std::string& document = rows[0].document;
    const XmlCheck::Verdict verdict = XmlCheck::CheckDocument(document.data(), document.size());
    EXPECT_EQ("a:b", document.substr(verdict.rootAt, verdict.rootLength));
    const size_t tagEnd = document.find("'>") + 2;
    EXPECT_EQ("a:b", XmlCheck::RootElement(document.data(), tagEnd));
    EXPECT_EQ("", XmlCheck::RootElement(document.data(), tagEnd - 1));
    EXPECT_EQ("", XmlCheck::RootElement(rows[1].document.data(), rows[1].document.size()));
}

// Deterministic across platforms: the engine's raw output, reduced by modulo.
class Random {
public:
    explicit Random(uint32_t seed) : mState(seed) {}
    size_t Below(size_t n)
    {
        mState ^= mState << 13;
        mState ^= mState >> 7;
        mState ^= mState << 17;
        return static_cast<size_t>(mState % n);
    }
    bool OneIn(size_t n) { return Below(n) == 0; }
    template <size_t N>
    const char* Pick(const char* const (&choices)[N]) { return choices[Below(N)]; }

private:
    uint64_t mState;
};

// Well-formed documents with everything the checker knows. It stays away
// from what the checker refuses by choice (DOCTYPE, encodings but UTF-8,
// non-ASCII names), where a general parser may accept.
class DocumentGenerator {
public:
    explicit DocumentGenerator(Random& random) : mRandom(random) {}

    std::string Document()
    {
        std::string out = mRandom.OneIn(8) ? "\xEF\xBB\xBF" : "";
        out += "<?xml" + Space() + "version" + Eq() + Quoted("1.0");
        if (mRandom.OneIn(2))
            out += Space() + "encoding" + Eq() + Quoted(mRandom.Pick({"UTF-8", "utf-8", "Utf-8"}));
        if (mRandom.OneIn(3))
            out += Space() + "standalone" + Eq() + Quoted(mRandom.Pick({"yes", "no"}));
        out += (mRandom.OneIn(3) ? Space() : "") + "?>";
        Misc(out);
        Element(out, 0);
        Misc(out);
        return out;
    }

private:
    std::string Space() { return mRandom.Pick({" ", " ", "\n", "\t", "\r\n", "  "}); }
    std::string Eq() { return mRandom.OneIn(4) ? Space() + "=" + Space() : "="; }
    std::string Quoted(const std::string& text) { return mRandom.OneIn(3) ? "'" + text + "'" : "\"" + text + "\""; }
    std::string Name()
    {
        static const char START[] = "abcxyzABCXYZ_:";
        static const char REST[] = "abcxyz09-._:";
        std::string name(1, START[mRandom.Below(sizeof(START) - 1)]);
        for (size_t n = mRandom.Below(6); n > 0; --n)
            name += REST[mRandom.Below(sizeof(REST) - 1)];
        return name;
    }
    // Characters, ASCII and multi-byte, without the delimiters of any context.
    std::string Text(size_t most)
    {
        std::string text;
        for (size_t n = mRandom.Below(most + 1); n > 0; --n)
            text += mRandom.Pick({"a", "Z", "0", " ", "\t", "\n", "\r", ">", "=", "/", "!", ";", "#", "x",
                                  "\xC3\xA9", "\xC2\x80", "\xE2\x82\xAC", "\xEF\xBF\xBD", "\xEE\x80\x80",
                                  "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF", "\x7F"});
        return text;
    }
    std::string Reference()
    {
        switch (mRandom.Below(3)) {
        case 0: return std::string("&") + mRandom.Pick({"lt", "gt", "amp", "apos", "quot"}) + ";";
        case 1:
            return std::string("&#") +
                   mRandom.Pick({"9", "10", "13", "32", "0065", "55295", "57344", "65533", "65536", "1114111"}) + ";";
        default:
            return std::string("&#x") +
                   mRandom.Pick({"9", "A", "d", "20", "D7FF", "e000", "FFFD", "10000", "10FFFF", "00041"}) + ";";
        }
    }
    void Comment(std::string& out) { out += "<!--" + Text(12) + (mRandom.OneIn(2) ? "-x" : "") + "-->"; }
    void Pi(std::string& out)
    {
        std::string target = Name();
        if (target.size() == 3 && (target[0] | 0x20) == 'x' && (target[1] | 0x20) == 'm' && (target[2] | 0x20) == 'l')
            target += "p";
        out += "<?" + target + (mRandom.OneIn(2) ? Space() + Text(10) + "?" : "") + "?>";
    }
    void Misc(std::string& out)
    {
        for (size_t n = mRandom.Below(4); n > 0; --n) {
            switch (mRandom.Below(3)) {
            case 0: out += Space(); break;
            case 1: Comment(out); break;
            default: Pi(out); break;
            }
        }
    }
    void Element(std::string& out, int depth)
    {
        const std::string name = Name();
        out += "<" + name;
        std::vector<std::string> names;
        for (size_t n = mRandom.Below(4); n > 0; --n) {
            std::string attribute = Name() + std::to_string(names.size());
            names.push_back(attribute);
            const std::string quote = mRandom.OneIn(2) ? "\"" : "'";
            std::string value = Text(6) + (mRandom.OneIn(3) ? Reference() : "") + (quote == "'" ? "\"" : "'");
            out += Space() + attribute + Eq() + quote + value + quote;
        }
        if (mRandom.OneIn(3))
            out += Space();
        if (mRandom.OneIn(4)) {
            out += "/>";
            return;
        }
        out += ">";
        for (size_t n = mRandom.Below(depth < 5 ? 6 : 2); n > 0; --n) {
            switch (mRandom.Below(7)) {
            case 0: out += Text(20) + (mRandom.OneIn(3) ? "]]" : ""); break;
            case 1: out += Reference(); break;
            case 2: out += "<![CDATA[" + Text(10) + mRandom.Pick({"", "]", "]]", "<&", "]>"}) + "]]>"; break;
            case 3: Comment(out); break;
            case 4: Pi(out); break;
            default:
                if (depth < 5)
                    Element(out, depth + 1);
                break;
            }
            if (out.size() > 4 && out.compare(out.size() - 3, 3, "]]]") == 0)
                out += "x";
        }
        out += "</" + name + (mRandom.OneIn(4) ? Space() : "") + ">";
    }

    Random& mRandom;
};

// One to three random changes: cuts, flips, insertions, deletions, copies
// of a span, swapped tags, repeated attributes, junk after the end.
std::string Mutate(std::string doc, Random& random)
{
    static const char* const SNIPPETS[] = {
        "<", ">", "&", "\"", "'", ";", "/", "-", "]", "?", "!", "=", " ", "#", "x", ":", "\x00", "\x0B", "\xFF",
        "\xC3", "\x80", "\xED\xA0\x80", "\xEF\xBF\xBE", "\xC0\x80", "]]>", "--", "<!--", "-->", "?>", "<?",
        "<?xml ?>", "<![CDATA[", "&#0;", "&#xD800;", "&#x110000;", "&foo;", "&amp", "</x>", "<x>", "<x/>",
        " a='1'", " a=\"1\" a=\"2\"", "xml", "&#65;", "<!x>", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF",
        "\xF4\x90\x80\x80", "&#xDFFF;", "&#;", "&#x;", "<?XmL?>", "<?xml-stylesheet?>", "\xF5\x80\x80\x80"};
    for (size_t changes = 1 + random.Below(3); changes > 0 && !doc.empty(); --changes) {
        const size_t at = random.Below(doc.size() + 1);
        switch (random.Below(9)) {
        case 0: doc.resize(at); break;
        case 1:
            if (at < doc.size())
                doc[at] = random.OneIn(2) ? SNIPPETS[random.Below(20)][0] : static_cast<char>(random.Below(256));
            break;
        case 2:
        case 3: doc.insert(at, SNIPPETS[random.Below(sizeof(SNIPPETS) / sizeof(SNIPPETS[0]))]); break;
        case 4: doc.erase(at, 1 + random.Below(4)); break;
        case 5: {   // the span's start is drawn before its length
            const size_t from = random.Below(doc.size());
            doc.insert(at, doc.substr(from, 1 + random.Below(12)));
            break;
        }
        case 6: {   // swap two markup spans
            std::vector<size_t> opens;
            for (size_t i = 0; i < doc.size(); ++i)
                if (doc[i] == '<')
                    opens.push_back(i);
            if (opens.size() < 2)
                break;
            size_t a = opens[random.Below(opens.size())];
            size_t b = opens[random.Below(opens.size())];
            if (a > b)
                std::swap(a, b);
            const size_t aEnd = doc.find('>', a);
            const size_t bEnd = doc.find('>', b);
            if (a == b || aEnd == std::string::npos || bEnd == std::string::npos || aEnd >= b)
                break;
            const std::string first = doc.substr(a, aEnd + 1 - a);
            const std::string second = doc.substr(b, bEnd + 1 - b);
            doc.replace(b, second.size(), first);
            doc.replace(a, first.size(), second);
            break;
        }
        case 7: {   // repeat an attribute: from the blank before a '=' to the quote closing its value
            const size_t eq = doc.find('=', at);
            const size_t blank = eq == std::string::npos ? eq : doc.find_last_of(" \t\r\n", eq);
            const size_t open = eq == std::string::npos ? eq : doc.find_first_of("\"'", eq);
            const size_t close = open == std::string::npos ? open : doc.find(doc[open], open + 1);
            if (blank != std::string::npos && close != std::string::npos)
                doc.insert(close + 1, doc.substr(blank, close + 1 - blank));
            break;
        }
        default: doc += random.Pick({"x", "<a/>", "<!-- c -->", " \n", "&amp;", "<?p?>", "\x00", "</a>"}); break;
        }
    }
    return doc;
}

// What expat's verdict means for the checker: well-formed and opening with
// the XML declaration (expat takes documents without one).
bool OpensWithDeclaration(const std::string& doc)
{
    const size_t start = doc.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    return doc.size() > start + 5 && doc.compare(start, 5, "<?xml") == 0 &&
           std::string(" \t\r\n").find(doc[start + 5]) != std::string::npos;
}

// Reads length-prefixed documents from the file in argv[1], prints one digit
// per document: 1 when expat takes it.
const char EXPAT_DRIVER[] = R"(import sys, pyexpat
data = open(sys.argv[1], 'rb').read()
out, i = [], 0
while i < len(data):
    n = int.from_bytes(data[i:i + 4], 'big')
    parser = pyexpat.ParserCreate()
    try:
        parser.Parse(data[i + 4:i + 4 + n], True)
        out.append('1')
    except Exception:
        out.append('0')
    i += 4 + n
sys.stdout.write(''.join(out))
)";

std::string Printable(const std::string& doc)
{
    std::string out;
    for (unsigned char c : doc) {
        char escaped[8];
        snprintf(escaped, sizeof(escaped), c >= 0x20 && c < 0x7F && c != '\\' ? "%c" : "\\x%02X", c);
        out += escaped;
    }
    return out;
}

// Every verdict equals expat's, but where the checker is stricter by choice
// (its reason says so) and expat takes the document.
TEST(XmlCheckTest, VerdictsEqualExpatsOnGeneratedAndMutatedDocuments)
{
    if (system("python3 -c 'import pyexpat' > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "python3 with pyexpat is not available";
    const int DOCUMENTS = 20000;
    Random random(20240611);
    DocumentGenerator generator(random);
    std::vector<std::string> docs;
    std::string packed;
    for (int i = 0; i < DOCUMENTS; ++i) {
        std::string doc = generator.Document();
        if (i % 4 != 0)
            doc = Mutate(doc, random);
        for (int shift = 24; shift >= 0; shift -= 8)   // the length, big-endian
            packed += static_cast<char>(doc.size() >> shift);
        packed += doc;
        docs.push_back(doc);
    }
    testing_support::TempDir dir;
    testing_support::WriteFile(dir.File("driver.py"), EXPAT_DRIVER);
    testing_support::WriteFile(dir.File("docs"), packed);
    const std::string command = "python3 " + dir.File("driver.py") + " " + dir.File("docs");
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(nullptr, pipe);
    std::string answers;
    char buffer[4096];
    for (size_t got; (got = fread(buffer, 1, sizeof(buffer), pipe)) > 0;)
        answers.append(buffer, got);
    ASSERT_EQ(0, pclose(pipe));
    ASSERT_EQ(docs.size(), answers.size());

    int wellFormed = 0;
    int mismatches = 0;
    for (size_t i = 0; i < docs.size(); ++i) {
        const bool expected = answers[i] == '1' && OpensWithDeclaration(docs[i]);
        const XmlCheck::Verdict verdict = XmlCheck::CheckDocument(docs[i].data(), docs[i].size());
        wellFormed += verdict.wellFormed;
        if (verdict.wellFormed) {
            EXPECT_EQ(docs[i].substr(verdict.rootAt, verdict.rootLength),
                      XmlCheck::RootElement(docs[i].data(), docs[i].size())) << "document " << i;
        }
        if (verdict.wellFormed == expected || (expected && XmlCheck::IsStricterThanXml(verdict.reason)))
            continue;
        if (++mismatches <= 5)
            ADD_FAILURE() << "document " << i << ": expat " << (expected ? "takes" : "refuses") << " it, the check says \""
                          << verdict.reason << "\" at " << verdict.offset << ":\n" << Printable(docs[i]);
    }
    EXPECT_EQ(0, mismatches);
    // Both verdicts are well represented, or the generator has gone wrong.
    EXPECT_GT(wellFormed, DOCUMENTS / 4);
    EXPECT_LT(wellFormed, DOCUMENTS * 3 / 4);
}

}  // namespace
