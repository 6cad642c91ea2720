// The provisioning server's record of each gateway and its status page.
#include "pnp_server/fleet_status.h"

#include <time.h>

#include <algorithm>
#include <cstdio>

namespace Pnp {

namespace {

// Texts from the network are kept at most this long.
const size_t MAX_TEXT = 128;

int64_t WallClockMs()
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::string Cut(const std::string& text)
{
    return text.size() <= MAX_TEXT ? text : text.substr(0, MAX_TEXT) + "...";
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
    return text;
}

// Markup and control characters, and every byte above ASCII (as the code
// point of that value), as character references: the page is valid UTF-8
// whatever came in.
std::string HtmlText(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7f || c == '&' || c == '<' || c == '>' || c == '"' || c == '\'') {
            char reference[8];
            std::snprintf(reference, sizeof(reference), "&#%u;", byte);
            out += reference;
        } else {
            out += c;
        }
    }
    return out;
}

// A JSON string; bytes above ASCII as \u00XX, as on the HTML page.
std::string JsonText(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x7f) {
            char escape[8];
            std::snprintf(escape, sizeof(escape), "\\u%04x", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string JsonTime(int64_t ms)
{
    return ms == 0 ? std::string("null") : std::to_string(ms);
}

// "HH:MM:SS.mmm" local time, as in the server's log; empty for none.
std::string TimeOfDay(int64_t ms)
{
    if (ms == 0)
        return std::string();
    const time_t seconds = static_cast<time_t>(ms / 1000);
    tm local;
    localtime_r(&seconds, &local);
    char text[16];
    std::snprintf(text, sizeof(text), "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(ms % 1000));
    return text;
}

std::string Cell(const std::string& text)
{
    return "<td>" + text + "</td>";
}

}  // namespace

FleetStatus::FleetStatus(size_t maxRows) : mMaxRows(maxRows)
{
}

FleetStatus::Row* FleetStatus::Find(const std::string& mac)
{
    auto found = mByMac.find(mac);
    return found == mByMac.end() ? nullptr : &mRows[found->second];
}

void FleetStatus::OnSubscribe(const std::string& mac, const Ipv4Endpoint& source, bool retransmission)
{
    if (!Enabled())
        return;
    ++mTotals.subscribes;
    if (retransmission)
        ++mTotals.retransmissions;
    const std::string key = Lower(Cut(mac));
    Row* row = Find(key);
    if (row == nullptr) {
        if (mRows.size() >= mMaxRows) {
            ++mTotals.unlisted;
            return;
        }
        mByMac.emplace(key, mRows.size());
        mRows.emplace_back();
        row = &mRows.back();
        row->mac = key;
    }
    const int64_t now = WallClockMs();
    if (row->firstSubscribeMs == 0)
        row->firstSubscribeMs = now;
    row->lastSubscribeMs = now;
    ++row->subscribes;
    row->address = source;
    mByAddress[source.address] = static_cast<size_t>(row - mRows.data());
}

void FleetStatus::OnNotifySent(const std::string& mac)
{
    if (!Enabled())
        return;
    ++mTotals.notifies;
    Row* row = Find(Lower(Cut(mac)));
    if (row == nullptr)
        return;
    row->notifyMs = WallClockMs();
    ++row->notifies;
    row->answer.clear();
    row->answerMs = 0;
}

void FleetStatus::OnNotifyAnswer(const std::string& mac, int code, const std::string& reason)
{
    if (!Enabled())
        return;
    ++(code >= 200 && code < 300 ? mTotals.answered : mTotals.refused);
    Row* row = Find(Lower(Cut(mac)));
    if (row == nullptr)
        return;
    row->answer = std::to_string(code) + " " + Cut(reason);
    row->answerMs = WallClockMs();
}

void FleetStatus::OnNotifyGivenUp(const std::string& mac, const std::string& why)
{
    if (!Enabled())
        return;
    ++mTotals.givenUp;
    Row* row = Find(Lower(Cut(mac)));
    if (row == nullptr)
        return;
    row->answer = why;
    row->answerMs = WallClockMs();
}

void FleetStatus::OnDocument(uint32_t peerAddress, const std::string& target, int code, size_t bytes)
{
    if (!Enabled())
        return;
    if (code == 200) {
        ++mTotals.downloads;
        mTotals.bytes += bytes;
    }
    auto found = mByAddress.find(peerAddress);
    if (found == mByAddress.end())
        return;
    Row& row = mRows[found->second];
    row.document = Cut(target);
    row.documentCode = code;
    row.documentBytes = bytes;
    row.documentMs = WallClockMs();
    if (code == 200)
        ++row.downloads;
}

std::vector<const FleetStatus::Row*> FleetStatus::SortedRows() const
{
    std::vector<const Row*> rows;
    rows.reserve(mRows.size());
    for (const Row& row : mRows)
        rows.push_back(&row);
    std::sort(rows.begin(), rows.end(), [](const Row* a, const Row* b) { return a->mac < b->mac; });
    return rows;
}

unsigned long FleetStatus::Provisioned() const
{
    return static_cast<unsigned long>(
        std::count_if(mRows.begin(), mRows.end(), [](const Row& row) { return row.downloads > 0; }));
}

std::string FleetStatus::Html() const
{
    const std::pair<const char*, unsigned long long> totals[] = {
        {"gateways", mRows.size()}, {"provisioned", Provisioned()},
        {"SUBSCRIBEs", mTotals.subscribes}, {"SUBSCRIBE retransmissions", mTotals.retransmissions},
        {"NOTIFYs sent", mTotals.notifies}, {"NOTIFYs answered 2xx", mTotals.answered},
        {"NOTIFYs refused", mTotals.refused}, {"NOTIFYs given up", mTotals.givenUp},
        {"documents served", mTotals.downloads}, {"bytes served", mTotals.bytes},
        {"SUBSCRIBEs beyond the row limit", mTotals.unlisted},
    };
    std::string page =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><meta http-equiv=\"refresh\" content=\"2\">"
        "<title>pnp-server status</title><style>"
        "body{font-family:sans-serif;font-size:13px;margin:12px}table{border-collapse:collapse}"
        "td,th{border:1px solid #bbb;padding:2px 6px;text-align:left}th{background:#eee}"
        "#totals{margin-bottom:12px}</style></head><body>\n<h1>pnp-server status</h1>\n<table id=\"totals\">\n";
    for (const auto& [name, value] : totals)
        page += "<tr><th>" + std::string(name) + "</th><td>" + std::to_string(value) + "</td></tr>\n";
    page += "</table>\n<table id=\"gateways\">\n<tr><th>MAC</th><th>address</th><th>first SUBSCRIBE</th>"
            "<th>last SUBSCRIBE</th><th>SUBSCRIBEs</th><th>NOTIFY sent</th><th>NOTIFYs</th><th>answer</th>"
            "<th>document</th><th>status</th><th>bytes</th><th>served</th><th>downloads</th></tr>\n";
    for (const Row* row : SortedRows()) {
        page += "<tr>" + Cell(HtmlText(row->mac)) + Cell(row->address.ToString()) +
                Cell(TimeOfDay(row->firstSubscribeMs)) + Cell(TimeOfDay(row->lastSubscribeMs)) +
                Cell(std::to_string(row->subscribes)) + Cell(TimeOfDay(row->notifyMs)) +
                Cell(std::to_string(row->notifies)) + Cell(HtmlText(row->answer)) + Cell(HtmlText(row->document)) +
                Cell(row->documentCode == 0 ? std::string() : std::to_string(row->documentCode)) +
                Cell(row->documentCode == 0 ? std::string() : std::to_string(row->documentBytes)) +
                Cell(TimeOfDay(row->documentMs)) + Cell(std::to_string(row->downloads)) + "</tr>\n";
    }
    return page + "</table>\n</body></html>\n";
}

std::string FleetStatus::Json() const
{
    std::string json = "{\"totals\":{\"gateways\":" + std::to_string(mRows.size()) +
                       ",\"provisioned\":" + std::to_string(Provisioned()) +
                       ",\"subscribes\":" + std::to_string(mTotals.subscribes) +
                       ",\"subscribe_retransmissions\":" + std::to_string(mTotals.retransmissions) +
                       ",\"notifies\":" + std::to_string(mTotals.notifies) +
                       ",\"notifies_answered\":" + std::to_string(mTotals.answered) +
                       ",\"notifies_refused\":" + std::to_string(mTotals.refused) +
                       ",\"notifies_given_up\":" + std::to_string(mTotals.givenUp) +
                       ",\"downloads\":" + std::to_string(mTotals.downloads) +
                       ",\"bytes\":" + std::to_string(mTotals.bytes) +
                       ",\"unlisted_subscribes\":" + std::to_string(mTotals.unlisted) + "},\"gateways\":[";
    bool first = true;
    for (const Row* row : SortedRows()) {
        json += first ? "\n" : ",\n";
        first = false;
        json += "{\"mac\":" + JsonText(row->mac) + ",\"address\":" + JsonText(row->address.ToString()) +
                ",\"first_subscribe_ms\":" + JsonTime(row->firstSubscribeMs) +
                ",\"last_subscribe_ms\":" + JsonTime(row->lastSubscribeMs) +
                ",\"subscribes\":" + std::to_string(row->subscribes) +
                ",\"notify_ms\":" + JsonTime(row->notifyMs) + ",\"notifies\":" + std::to_string(row->notifies) +
                ",\"answer\":" + JsonText(row->answer) + ",\"answer_ms\":" + JsonTime(row->answerMs) +
                ",\"document\":" + JsonText(row->document) + ",\"document_status\":" +
                std::to_string(row->documentCode) + ",\"document_bytes\":" + std::to_string(row->documentBytes) +
                ",\"document_ms\":" + JsonTime(row->documentMs) +
                ",\"downloads\":" + std::to_string(row->downloads) + "}";
    }
    return json + "]}\n";
}

}  // namespace Pnp
