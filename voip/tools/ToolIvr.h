// voipcall's IVR: answers calls with a VoiceXML document and prints what the dialogue does.
#pragma once

#include "voip/core/CallEndReason.h"
#include "voip/ivr/IvrEndpoint.h"
#include "voip/sip/SipConnection.h"
#include "voip/sip/SipEndpoint.h"

#include <functional>
#include <string>

namespace voip::tool {

class ToolIvrConnection : public IvrConnection
{
public:
    using Printer = std::function<void(const std::string&)>;

    ToolIvrConnection(Call& call, IvrEndpoint& endpoint, const std::string& token, const std::string& address,
                      const std::string& document, const StringOptions& vars, Printer print)
        : IvrConnection(call, endpoint, token, address, 0, {}), document_(document), vars_(vars),
          print_(std::move(print))
    {
    }

    void OnEstablished() override
    {
        print_("ivr established " + GetToken() + " caller=" + GetRemotePartyNumber());
        for (const auto& [name, value] : vars_)
            SetVar(name, value);
        if (GetInitialDocument().empty())
            StartVXML(document_);
        else
            IvrConnection::OnEstablished();
    }
    bool OnUserInputString(const std::string& value) override
    {
        print_("ivr input " + GetToken() + " " + value);
        return IvrConnection::OnUserInputString(value);
    }
    void OnReleased() override
    {
        print_("ivr released " + GetToken() + " " + CallEndReasonName(GetCallEndReason()));
        IvrConnection::OnReleased();
    }
    void OnEndDialog() override
    {
        print_("ivr end " + GetToken() + " " + VxmlEndName(GetDialogEndReason()));
        for (const auto& [name, value] : GetVars())
            print_("ivr var " + GetToken() + " " + name + "=" + value);
        IvrConnection::OnEndDialog();
    }

private:
    std::string document_;
    StringOptions vars_;
    Printer print_;
};

class ToolIvrEndpoint : public IvrEndpoint
{
public:
    ToolIvrEndpoint(Manager& manager, std::string document, StringOptions vars,
                    ToolIvrConnection::Printer print)
        : IvrEndpoint(manager), document_(std::move(document)), vars_(std::move(vars)),
          print_(std::move(print))
    {
    }
    std::shared_ptr<Connection> CreateConnection(Call& call, const std::string& token, void*,
                                                 const std::string& address, unsigned,
                                                 const StringOptions&) override
    {
        return std::make_shared<ToolIvrConnection>(call, *this, token, address, document_, vars_, print_);
    }

private:
    std::string document_;
    StringOptions vars_;
    ToolIvrConnection::Printer print_;
};

// The SIP legs of voipcall: a transfer asked of one, the peer's answer and how its call went.
class ToolSipConnection : public SipConnection
{
public:
    using Printer = std::function<void(const std::string&)>;

    ToolSipConnection(SipEndpoint& endpoint, Call& call, const std::string& token, const std::string& address,
                      unsigned options, const StringOptions& stringOptions, Printer print)
        : SipConnection(endpoint, call, token, address, options, stringOptions), print_(std::move(print))
    {
    }
    bool TransferConnection(const std::string& destination) override
    {
        bool sent = SipConnection::TransferConnection(destination);
        print_("transfer " + GetToken() + " " + destination + (sent ? "" : " not sent"));
        return sent;
    }
    void OnTransferAnswered(int status, const std::string& phrase) override
    {
        print_("transfer " + GetToken() + " answered " + std::to_string(status) + " " + phrase);
    }
    void OnTransferProgress(int status, const std::string& phrase) override
    {
        print_("transfer " + GetToken() + " progress " + std::to_string(status) + " " + phrase);
    }

private:
    Printer print_;
};

class ToolSipEndpoint : public SipEndpoint
{
public:
    ToolSipEndpoint(Manager& manager, ToolSipConnection::Printer print) : SipEndpoint(manager), print_(std::move(print))
    {
    }
    std::shared_ptr<Connection> CreateConnection(Call& call, const std::string& token, void*,
                                                 const std::string& address, unsigned options,
                                                 const StringOptions& stringOptions) override
    {
        return std::make_shared<ToolSipConnection>(*this, call, token, address, options, stringOptions, print_);
    }

private:
    ToolSipConnection::Printer print_;
};

} // namespace voip::tool
