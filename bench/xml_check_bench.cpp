// apc-xml-check-bench: speed of the configurator's document check on a
// realistic configuration of 1 MiB and of 16 MiB (the largest installed).
// Prints MB/s (10^6 bytes per second), best of several runs, and exits 1 when
// a size stays below the target of 500 MB/s.
#include <chrono>
#include <cstdio>
#include <string>

#include "configurator/xml_check.h"

namespace {

const double TARGET_MB_PER_S = 500.0;

// A gateway configuration: system settings, then one block per FXS line with
// attributes, references, a CDATA dial plan, comments and non-ASCII text,
// repeated until the document has about size bytes.
std::string ConfigurationDocument(size_t size)
{
    std::string doc =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!-- provisioning server: generated configuration -->\n"
        "<config version=\"5.1.3\" xmlns:gw=\"urn:example:gateway\">\n"
        "  <system>\n"
        "    <hostname>gw-02e2e0001402</hostname>\n"
        "    <ntp server=\"10.0.0.1\" interval=\"3600\"/>\n"
        "    <syslog host=\"10.0.0.2\" port=\"514\" level=\"warning\"/>\n"
        "  </system>\n"
        "  <lines>\n";
    const std::string tail = "  </lines>\n</config>\n";
    for (unsigned line = 1; doc.size() + tail.size() < size; ++line) {
        const std::string id = std::to_string(line);
        doc += "    <line id=\"" + id + "\" enabled=\"true\">\n"
               "      <sip user=\"2" + id + "\" password=\"s3cr3t&amp;" + id + "\" display-name=\"Line " + id +
               " &#x2013; Lobby\" registrar=\"sip.example.net\" port=\"5060\" transport=\"udp\"/>\n"
               "      <codec name=\"PCMU\" ptime=\"20\" priority=\"1\"/>\n"
               "      <codec name=\"G722\" ptime=\"20\" priority=\"2\"/>\n"
               "      <dialplan><![CDATA[(*xx|[2-9]xxx|0[1-9]xxxxxxxx|00x.T)]]></dialplan>\n"
               "      <!-- line " + id + ": reception -->\n"
               "      <description>Büro Empfang, Tür 3 &lt;Nebenstelle&gt; — Zone Nord</description>\n"
               "      <gain rx=\"-3\" tx=\"0\"/><echo-canceller enabled=\"true\" tail=\"64\"/>\n"
               "    </line>\n";
    }
    return doc + tail;
}

// Best throughput of runs checks, in MB/s; false when the document is refused.
bool Measure(const std::string& doc, int runs, double& best)
{
    best = 0;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const XmlCheck::Verdict verdict = XmlCheck::CheckDocument(doc.data(), doc.size());
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (!verdict.wellFormed) {
            std::printf("refused at %zu: %s\n", verdict.offset, verdict.reason);
            return false;
        }
        if (took.count() > 0 && doc.size() / took.count() / 1e6 > best)
            best = doc.size() / took.count() / 1e6;
    }
    return true;
}

}  // namespace

int main()
{
    bool met = true;
    const struct {
        const char* name;
        size_t size;
        int runs;
    } cases[] = {{"1 MiB", 1u << 20, 200}, {"16 MiB", XmlCheck::MAX_DOCUMENT_BYTES - 4096, 20}};
    for (const auto& c : cases) {
        const std::string doc = ConfigurationDocument(c.size);
        double best = 0;
        if (!Measure(doc, c.runs, best))
            return 1;
        const bool ok = best >= TARGET_MB_PER_S;
        met = met && ok;
        std::printf("xml check, %s configuration (%zu bytes): %.0f MB/s, %.2f ms (best of %d); target %.0f MB/s %s\n",
                    c.name, doc.size(), best, doc.size() / best / 1e3, c.runs, TARGET_MB_PER_S,
                    ok ? "met" : "NOT met");
    }
    return met ? 0 : 1;
}
