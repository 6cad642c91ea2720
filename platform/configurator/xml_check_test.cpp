// The document check: its reasons and offsets on a table, and its verdicts
// against python3's expat on the neighbours of two documents.
#include "configurator/xml_check.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
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

// Every one-byte deletion and every insertion of a snippet into two documents rich in markup. What is
// not a well-formed neighbour there is an error the check must find.
const char* const SEEDS[] = {
    "\xEF\xBB\xBF<?xml version='1.0' encoding='utf-8' standalone='no' ?>\n<!-- c --><?pi x?><a:b x=\"&lt;&#x10FFFF;'\""
    " y='\"&#65;'><![CDATA[<&]]]><c\t/></a:b >\n<?pi?><!---->\n",
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<config version=\"5.1.3\">\n <line id=\"1\" x.y-z=\"&apos;&quot;&gt;"
    "&amp;\">t\xC3\xA9xt \xE2\x82\xAC \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF &#xd7FF;&#57344;<?pi data?\?><!-- c-x -->"
    "</line >\n</config>"};
const char* const SNIPPETS[] = {
    "<", ">", "&", "\"", "'", ";", "/", "-", "]", "?", "!", "=", " ", "#", "x", ":", "\x00", "\x0B", "\xFF", "\xC3",
    "\x80", "\xED\xA0\x80", "\xEF\xBF\xBE", "\xC0\x80", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80",
    "\xF5\x80\x80\x80", "]]>", "--", "<!--", "-->", "?>", "<?", "<![CDATA[", "&#0;", "&#xD800;", "&#x110000;", "&foo;",
    "</x>", "<x>", "<x/>", " a='1'", "xml", "<!x>", "&#;", "<?XmL?>", "<a/>"};

TEST(XmlCheckTest, VerdictsEqualExpatsOnEveryNeighbourOfTwoDocuments)
{
    if (system("python3 -c 'import pyexpat' > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "python3 with pyexpat is not available";
    std::vector<std::string> docs;
    for (const std::string& seed : {std::string(SEEDS[0]), std::string(SEEDS[1])}) {
        docs.push_back(seed);
        for (size_t at = 0; at <= seed.size(); ++at) {
            if (at < seed.size())
                docs.push_back(std::string(seed).erase(at, 1));
            for (const char* snippet : SNIPPETS)
                docs.push_back(std::string(seed).insert(at, snippet, std::max<size_t>(1, strlen(snippet))));
        }
    }
    std::string packed;
    for (const std::string& doc : docs) {
        for (int shift = 24; shift >= 0; shift -= 8)   // the length, big-endian
            packed += static_cast<char>(doc.size() >> shift);
        packed += doc;
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
                          << verdict.reason << "\" at " << verdict.offset << ":\n" << testing::PrintToString(docs[i]);
    }
    EXPECT_EQ(0, mismatches);
    EXPECT_GT(wellFormed, static_cast<int>(docs.size()) / 10);   // the seeds are well-formed, and much near them
}

}  // namespace
