// What the provisioning server has done for each gateway, by MAC: its
// SUBSCRIBEs, the NOTIFY and its answer, the documents it downloaded. Shown
// on the status page (HTML and JSON). Memory is bounded: at most maxRows
// gateways get a row, and every text taken from the network is cut short.
// Not thread-safe: the server's one loop calls it.
#ifndef PNP_SERVER_FLEET_STATUS_H
#define PNP_SERVER_FLEET_STATUS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "pnp_server/net_util.h"

namespace Pnp {

class FleetStatus {
public:
    // maxRows 0: nothing is recorded and the page is off.
    explicit FleetStatus(size_t maxRows);

    bool Enabled() const { return mMaxRows > 0; }

    // A SUBSCRIBE answered 200 (retransmission: one answered already).
    void OnSubscribe(const std::string& mac, const Ipv4Endpoint& source, bool retransmission);
    // A NOTIFY transaction started (the first one or one sent anew).
    void OnNotifySent(const std::string& mac);
    void OnNotifyAnswer(const std::string& mac, int code, const std::string& reason);
    // No final answer came, or the table of NOTIFYs awaiting one was full.
    void OnNotifyGivenUp(const std::string& mac, const std::string& why);
    // An answer to a document request, put on the row of the gateway whose
    // last SUBSCRIBE came from that address.
    void OnDocument(uint32_t peerAddress, const std::string& target, int code, size_t bytes);

    // The page: refreshes itself every 2 s; totals, then one row per gateway by MAC.
    std::string Html() const;
    // The same data; times in milliseconds since the epoch, null when none.
    std::string Json() const;

private:
    struct Row {
        std::string mac;
        Ipv4Endpoint address;           // of the last SUBSCRIBE
        int64_t firstSubscribeMs = 0;
        int64_t lastSubscribeMs = 0;
        unsigned subscribes = 0;
        int64_t notifyMs = 0;           // the last NOTIFY transaction's start
        unsigned notifies = 0;
        std::string answer;             // "200 OK", "no answer: given up", ...; empty while awaited
        int64_t answerMs = 0;
        std::string document;           // the target of the last document request
        int documentCode = 0;
        size_t documentBytes = 0;
        int64_t documentMs = 0;
        unsigned downloads = 0;         // documents served with 200
    };
    struct Totals {
        unsigned long subscribes = 0;
        unsigned long retransmissions = 0;
        unsigned long notifies = 0;
        unsigned long answered = 0;     // 2xx
        unsigned long refused = 0;      // 3xx-6xx
        unsigned long givenUp = 0;
        unsigned long downloads = 0;
        unsigned long long bytes = 0;
        unsigned long unlisted = 0;     // events of gateways beyond the row bound
    };

    Row* Find(const std::string& mac);
    std::vector<const Row*> SortedRows() const;
    unsigned long Provisioned() const;

    size_t mMaxRows;
    std::vector<Row> mRows;
    std::unordered_map<std::string, size_t> mByMac;
    std::unordered_map<uint32_t, size_t> mByAddress;
    Totals mTotals;
};

}  // namespace Pnp

#endif
