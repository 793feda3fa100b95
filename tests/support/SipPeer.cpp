#include "tests/support/SipPeer.h"

#include "tests/support/Loopback.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace voip {

namespace {

// The rows of a SIPp CSV file, split at ';'.
std::vector<std::vector<std::string>> Csv(const std::string& path)
{
    std::vector<std::vector<std::string>> rows;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.empty())
            continue;
        std::vector<std::string> row;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, ';');)
            row.push_back(field);
        rows.push_back(row);
    }
    return rows;
}

bool EndsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

} // namespace

bool SippProcess::Start(const std::vector<std::string>& args)
{
    std::vector<std::string> all = {"sipp"};
    all.insert(all.end(), args.begin(), args.end());
    auto named = [&](const std::string& option) {
        return std::find(args.begin(), args.end(), option) != args.end();
    };
    if (!named("-i"))
        all.insert(all.end(), {"-i", "127.0.0.1"});
    if (!named("-p"))
        all.insert(all.end(), {"-p", std::to_string(testsupport::FreeUdpPort())});
    if (!named("-mp"))
        all.insert(all.end(), {"-mp", std::to_string(testsupport::FreeUdpPort(4, true))});
    all.insert(all.end(), {"-nostdin", "-trace_err", "-trace_screen"});
    return Run(all);
}

SippProcess::Results SippProcess::Statistics() const
{
    Results results;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(Folder(), ignored)) {
        const std::string path = entry.path().string();
        const auto rows = Csv(path);
        if (EndsWith(path, "_rtt.csv")) {
            for (size_t i = 1; i < rows.size(); ++i)
                if (rows[i].size() >= 2)
                    results.latenciesMs.push_back(std::stod(rows[i][1]));
        } else if (EndsWith(path, "_.csv") && rows.size() >= 2) {
            // The counts are cumulative, and the last row may be written before the last calls ended.
            const auto& head = rows.front();
            for (size_t row = 1; row < rows.size(); ++row)
                for (size_t i = 0; i < head.size() && i < rows[row].size(); ++i) {
                    if (head[i] == "SuccessfulCall(C)")
                        results.successful = std::max(results.successful, std::stoi(rows[row][i]));
                    if (head[i] == "FailedCall(C)")
                        results.failed = std::max(results.failed, std::stoi(rows[row][i]));
                }
        }
    }
    return results;
}

std::string Scenario(const std::string& name)
{
    return std::string(SELVANE_SIPP_DIR) + "/" + name + ".xml";
}

std::string Scenario(const std::string& name, const std::vector<std::pair<std::string, std::string>>& values,
                     const std::string& folder)
{
    std::ifstream in(Scenario(name));
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const auto& [key, value] : values)
        for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size()))
            text.replace(at, key.size(), value);
    const std::string path = folder + "/" + name + ".xml";
    std::ofstream(path) << text;
    return path;
}

RawRtpPeer::RawRtpPeer() : fd_(testsupport::BoundUdpSocket())
{
    port = testsupport::PortOf(fd_);
}

RawRtpPeer::~RawRtpPeer() { close(fd_); }

void RawRtpPeer::Send(int toPort, uint32_t timestamp, int payloadType, bool marker, const uint8_t* payload)
{
    uint8_t p[16] = {0x80, static_cast<uint8_t>((marker ? 0x80 : 0) | payloadType)};
    ++seq_;
    p[2] = static_cast<uint8_t>(seq_ >> 8);
    p[3] = static_cast<uint8_t>(seq_);
    for (int i = 0; i < 4; ++i) {
        p[4 + i] = static_cast<uint8_t>(timestamp >> (24 - 8 * i));
        p[8 + i] = static_cast<uint8_t>(0x12345678u >> (24 - 8 * i));
        if (payload)
            p[12 + i] = payload[i];
    }
    const sockaddr_in addr = testsupport::LoopbackAddress(toPort);
    sendto(fd_, p, sizeof p, 0, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
}

void RawRtpPeer::SendEvent(int toPort, uint32_t timestamp, int event, bool end, bool marker, uint16_t duration)
{
    const uint8_t payload[4] = {static_cast<uint8_t>(event), static_cast<uint8_t>((end ? 0x80 : 0) | 10),
                                static_cast<uint8_t>(duration >> 8), static_cast<uint8_t>(duration)};
    Send(toPort, timestamp, 101, marker, payload);
}

std::string RawRtpPeer::Receive(int timeoutMs)
{
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0)
        return {};
    char buffer[2048];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

int64_t RawRtpPeer::ReceiveTimestamp(int timeoutMs)
{
    const std::string b = Receive(timeoutMs);
    if (b.size() < 12)
        return -1;
    auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(b[i])); };
    return static_cast<int64_t>(byte(4) << 24 | byte(5) << 16 | byte(6) << 8 | byte(7));
}

} // namespace voip
