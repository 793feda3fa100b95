#include "exchange/SdpRelay.h"

#include <sstream>
#include <vector>

namespace exchange {

namespace {

std::vector<std::string> Lines(const std::string& sdp)
{
    std::vector<std::string> lines;
    std::istringstream in(sdp);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            lines.push_back(line);
    }
    return lines;
}

std::string Join(const std::vector<std::string>& lines)
{
    std::string out;
    for (const std::string& l : lines)
        out += l + "\r\n";
    return out;
}

bool IsDirection(const std::string& line)
{
    return line == "a=sendrecv" || line == "a=sendonly" || line == "a=recvonly" || line == "a=inactive";
}

} // namespace

SdpMedia ParseSdpMedia(const std::string& sdp)
{
    SdpMedia m;
    std::string sessionAddress, mediaAddress;
    bool inAudio = false, seenAudio = false;
    for (const std::string& line : Lines(sdp)) {
        if (line.rfind("m=", 0) == 0) {
            inAudio = !seenAudio && line.rfind("m=audio ", 0) == 0;
            if (inAudio) {
                seenAudio = true;
                std::istringstream in(line.substr(8));
                in >> m.port;
            }
        } else if (line.rfind("c=IN IP4 ", 0) == 0) {
            std::string address = line.substr(9);
            size_t slash = address.find('/');
            if (slash != std::string::npos)
                address.resize(slash);
            if (!seenAudio)
                sessionAddress = address;
            else if (inAudio)
                mediaAddress = address;
        } else if ((inAudio || !seenAudio) && (line == "a=sendonly" || line == "a=inactive")) {
            m.sendonly = line == "a=sendonly";
            m.inactive = line == "a=inactive";
        }
    }
    m.address = mediaAddress.empty() ? sessionAddress : mediaAddress;
    m.valid = seenAudio && m.port > 0 && m.port < 65536 && !m.address.empty();
    return m;
}

std::string RewriteSdp(const std::string& sdp, const std::string& address, int port)
{
    std::vector<std::string> out;
    bool audioDone = false;
    for (const std::string& line : Lines(sdp)) {
        if (line.rfind("c=IN IP4 ", 0) == 0) {
            out.push_back("c=IN IP4 " + address);
        } else if (line.rfind("o=", 0) == 0) {
            size_t at = line.rfind(' ');
            out.push_back(at == std::string::npos ? line : line.substr(0, at + 1) + address);
        } else if (!audioDone && line.rfind("m=audio ", 0) == 0) {
            audioDone = true;
            size_t rest = line.find(' ', 8);
            out.push_back("m=audio " + std::to_string(port) + (rest == std::string::npos ? "" : line.substr(rest)));
        } else if (line.rfind("a=rtcp:", 0) == 0) {
            continue;
        } else {
            out.push_back(line);
        }
    }
    return Join(out);
}

std::string SetSdpDirection(const std::string& sdp, const std::string& direction)
{
    std::vector<std::string> out;
    bool inAudio = false, added = false;
    for (const std::string& line : Lines(sdp)) {
        if (IsDirection(line))
            continue;
        if (line.rfind("m=", 0) == 0) {
            if (inAudio && !added) {
                out.push_back("a=" + direction);
                added = true;
            }
            inAudio = line.rfind("m=audio ", 0) == 0;
        }
        out.push_back(line);
    }
    if (inAudio && !added)
        out.push_back("a=" + direction);
    return Join(out);
}

} // namespace exchange
