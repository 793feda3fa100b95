// voipcall: answers every SIP call, or places one, and prints each event.
//
//   voipcall --listen 127.0.0.1:5070 [--wav FILE | --tone HZ] [--register LINE:PASSWORD@SERVER]
//            [--call URL] [--keys 123#] [--hangup-after SECONDS] [--media-timeout SECONDS] [--stats]
//            [--vxml FILE [--var NAME=VALUE]...]   (answer with an IVR running the VoiceXML document)
//            [--answer-keys KEYS@SECONDS]... [--stay] [--media] [--busy | --no-answer]
// --hangup-after clears the placed call, or else each answered call, that many seconds after it began.
// --answer-keys sends KEYS on every answered call that many seconds after it was established (a phone
// that answers a voice menu); --stay keeps answering after the placed call has ended; --media prints
// each call's RTP packets sent and received once a second; --busy refuses calls as busy (486),
// --no-answer lets them ring.
#include "voip/core/Call.h"
#include "voip/local/LocalEndpoint.h"
#include "voip/core/Manager.h"
#include "voip/media/MediaEngine.h"
#include "voip/sip/SipConnection.h"
#include "voip/sip/SipEndpoint.h"
#include "voip/tools/ToolIvr.h"


#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> g_stop{false};
std::mutex g_printMutex;

void Print(const std::string& line)
{
    std::lock_guard<std::mutex> lock(g_printMutex);
    std::cout << line << std::endl;
}

class ToolManager : public voip::Manager
{
public:
    ~ToolManager() override { ShutDownEndpoints(); }
};

int Usage()
{
    std::cerr
        << "usage: voipcall --listen HOST:PORT [--wav FILE | --tone HZ] [--register LINE:PASSWORD@SERVER]\n"
           "                [--call URL] [--keys KEYS] [--hangup-after SECONDS] [--media-timeout SECONDS]"
           " [--stats]\n"
           "                [--vxml FILE [--var NAME=VALUE]...] [--answer-keys KEYS@SECONDS]... [--stay]"
           " [--media]\n"
           "                [--busy | --no-answer]\n";
    return 2;
}

void PrintPacing(voip::MediaEngine& media)
{
    std::vector<int> late = media.TakeLateness();
    if (late.empty())
        return;
    std::sort(late.begin(), late.end());
    Print("pacing threads=" + std::to_string(media.PacingThreads()) + " ticks=" + std::to_string(late.size()) +
          " late_p50_us=" + std::to_string(late[late.size() / 2]) +
          " late_p99_us=" + std::to_string(late[late.size() * 99 / 100]) +
          " late_max_us=" + std::to_string(late.back()));
}

struct TimedKeys
{
    std::string keys;
    std::chrono::milliseconds after;
};

// The local leg and the SIP leg of a call, whichever side placed it.
void LegsOf(const voip::Call& call, std::shared_ptr<voip::LocalConnection>& local,
            std::shared_ptr<voip::SipConnection>& sip)
{
    for (size_t i = 0; i < 2; ++i) {
        auto connection = call.GetConnection(i);
        if (auto l = std::dynamic_pointer_cast<voip::LocalConnection>(connection))
            local = l;
        if (auto s = std::dynamic_pointer_cast<voip::SipConnection>(connection))
            sip = s;
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::string listen, wav, reg, target, keys, vxml;
    voip::StringOptions vars;
    double tone = 440;
    int hangupAfter = -1, mediaTimeout = 60;
    bool stats = false, stay = false, media = false, busy = false, noAnswer = false;
    std::vector<TimedKeys> answerKeys;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : std::string(); };
        if (arg == "--listen")
            listen = value();
        else if (arg == "--wav")
            wav = value();
        else if (arg == "--tone")
            tone = std::atof(value().c_str());
        else if (arg == "--register")
            reg = value();
        else if (arg == "--call")
            target = value();
        else if (arg == "--keys")
            keys = value();
        else if (arg == "--hangup-after")
            hangupAfter = std::atoi(value().c_str());
        else if (arg == "--media-timeout")
            mediaTimeout = std::atoi(value().c_str());
        else if (arg == "--stats")
            stats = true;
        else if (arg == "--stay")
            stay = true;
        else if (arg == "--media")
            media = true;
        else if (arg == "--busy")
            busy = true;
        else if (arg == "--no-answer")
            noAnswer = true;
        else if (arg == "--answer-keys") {
            std::string v = value();
            size_t at = v.rfind('@');
            if (at == std::string::npos || at == 0)
                return Usage();
            answerKeys.push_back({v.substr(0, at), std::chrono::milliseconds(static_cast<long>(
                                                        std::atof(v.c_str() + at + 1) * 1000))});
        }
        else if (arg == "--vxml")
            vxml = value();
        else if (arg == "--var") {
            std::string v = value();
            size_t eq = v.find('=');
            if (eq == std::string::npos)
                return Usage();
            vars[v.substr(0, eq)] = v.substr(eq + 1);
        } else
            return Usage();
    }
    if (listen.empty())
        return Usage();

    std::signal(SIGINT, [](int) { g_stop = true; });
    std::signal(SIGTERM, [](int) { g_stop = true; });

    ToolManager manager;
    auto& local = manager.AddEndpoint(std::make_unique<voip::LocalEndpoint>(manager));
    local.SetBusy(busy);
    local.SetAutoAnswer(!noAnswer);
    auto& sip = manager.AddEndpoint(std::make_unique<voip::tool::ToolSipEndpoint>(manager, Print));
    sip.SetMediaTimeout(std::chrono::seconds(mediaTimeout));
    std::atomic<bool> placedEnded{false};
    local.SetEventHandler([&](const std::string& event) {
        Print(event);
        if (event.compare(0, 9, "released ") == 0)
            placedEnded = true;
    });
    if (!wav.empty()) {
        std::string error;
        if (!local.PlayFile(wav, error)) {
            std::cerr << "voipcall: " << error << "\n";
            return 1;
        }
    } else {
        local.PlayTone(tone);
    }
    if (!sip.StartListeners({listen})) {
        std::cerr << "voipcall: cannot listen on " << listen << "\n";
        return 1;
    }
    if (!vxml.empty()) {
        std::ifstream in(vxml);
        std::string document((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in) {
            std::cerr << "voipcall: cannot read " << vxml << "\n";
            return 1;
        }
        manager.AddEndpoint(std::make_unique<voip::tool::ToolIvrEndpoint>(manager, document, vars, Print));
        manager.AddRouteEntry(".* = ivr:");
    } else {
        manager.AddRouteEntry(".* = local:");
    }
    Print("listening " + sip.GetLocalAddress() + ":" + std::to_string(sip.GetListenerPort()));

    voip::StringOptions options;
    if (!reg.empty()) {
        size_t colon = reg.find(':'), at = reg.rfind('@');
        if (colon == std::string::npos || at == std::string::npos || at < colon)
            return Usage();
        voip::SipRegistrationParams params;
        params.addressOfRecord = reg.substr(0, colon);
        params.password = reg.substr(colon + 1, at - colon - 1);
        params.registrarAddress = reg.substr(at + 1);
        std::string aor;
        sip.Register(params, aor);
        Print("registering " + aor);
        options[voip::kCallingPartyNumber] = params.addressOfRecord;
        options[voip::kCallingDisplayName] = params.addressOfRecord;
    }

    std::string token;
    if (!target.empty()) {
        if (!manager.SetUpCall("local:", target, token, nullptr, 0, options)) {
            std::cerr << "voipcall: cannot call " << target << "\n";
            return 1;
        }
        Print("calling " + target + " " + token);
    }

    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    auto statsDue = started + std::chrono::seconds(1);
    // Answered calls by token, with when they were first seen, for --hangup-after.
    std::map<std::string, Clock::time_point> answered;
    // Established calls placed by others, with when they were first seen and the key groups sent.
    struct Answered
    {
        Clock::time_point since;
        size_t keysSent = 0;
    };
    std::map<std::string, Answered> incoming;
    bool keysSent = keys.empty();
    auto mediaDue = started + std::chrono::seconds(1);
    while (!g_stop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        auto now = Clock::now();
        if (!answerKeys.empty() || (media && now >= mediaDue)) {
            std::map<std::string, Answered> current;
            for (const auto& t : manager.GetCallTokens()) {
                auto call = manager.FindCall(t);
                if (!call || !call->IsEstablished())
                    continue;
                std::shared_ptr<voip::LocalConnection> localLeg;
                std::shared_ptr<voip::SipConnection> sipLeg;
                LegsOf(*call, localLeg, sipLeg);
                if (media && now >= mediaDue && sipLeg)
                    Print("media " + t + " sent=" + std::to_string(sipLeg->GetPacketsSent()) +
                          " received=" + std::to_string(sipLeg->GetPacketsReceived()));
                if (t == token || !localLeg)
                    continue;
                auto it = incoming.find(t);
                Answered a = it == incoming.end() ? Answered{now, 0} : it->second;
                while (a.keysSent < answerKeys.size() && now - a.since >= answerKeys[a.keysSent].after) {
                    localLeg->SendKeys(answerKeys[a.keysSent].keys);
                    Print("keys " + t + " " + answerKeys[a.keysSent].keys);
                    ++a.keysSent;
                }
                current[t] = a;
            }
            incoming.swap(current);
            if (now >= mediaDue)
                mediaDue = now + std::chrono::seconds(1);
        }
        if (!token.empty()) {
            if (placedEnded) {
                if (!stay)
                    break;
                // From now on it is a phone that answers, and --hangup-after applies to answered calls.
                token.clear();
                continue;
            }
            auto call = manager.FindCall(token);
            if (!keysSent && call && call->IsEstablished()) {
                auto a = std::dynamic_pointer_cast<voip::LocalConnection>(call->GetConnection(0));
                keysSent = a && a->SendKeys(keys);
            }
            if (hangupAfter >= 0 && now - started > std::chrono::seconds(hangupAfter)) {
                manager.ClearCallSynchronous(token);
                break;
            }
        } else if (hangupAfter >= 0) {
            std::map<std::string, Clock::time_point> current;
            for (const auto& t : manager.GetCallTokens()) {
                auto it = answered.find(t);
                current[t] = it == answered.end() ? now : it->second;
                if (now - current[t] > std::chrono::seconds(hangupAfter))
                    manager.ClearCall(t);
            }
            answered.swap(current);
        }
        if (stats && now >= statsDue) {
            PrintPacing(sip.Media());
            Print("calls " + std::to_string(manager.GetCallCount()));
            statsDue = now + std::chrono::seconds(1);
        }
    }
    if (stats)
        PrintPacing(sip.Media());
    return 0;
}
